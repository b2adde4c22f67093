#!/usr/bin/env bash
# Makes docs/dialog-collapsed.png and docs/dialog-expanded.png from the real
# program on the demo installation, and the expanded dialog in German, Arabic
# (right-to-left) and Chinese as docs/dialog-de.png, docs/dialog-ar.png and
# docs/dialog-zh.png, in a fresh prefix and a virtual screen of its own. Set VARROW_BUILD to take the program from another build folder.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/demo/demo.sh"
ensure_packages
build

# English pictures whatever the caller's locale (the title below is the English one).
export LC_ALL=C.UTF-8
TITLE="J2534 Configuration Application"
MORE_BUTTON=1043
OUT=$ROOT/docs
HELPER=$BUILD/window_helper.exe
if [ ! -x "$HELPER" ] || [ "$ROOT/scripts/demo/window_helper.c" -nt "$HELPER" ]; then
  log "building the window helper"
  i686-w64-mingw32-gcc-posix -O2 -municode -static -o "$HELPER" "$ROOT/scripts/demo/window_helper.c"
fi

export WINEPREFIX=$ROOT/build/wine-shot
rm -rf "$WINEPREFIX"
demo_prepare_prefix "$WINEPREFIX"
VARROW_OWN_SCREEN=1 start_screen
SHOTS=$(mktemp -d)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  rm -rf "$WINEPREFIX" "$SHOTS"
}
trap cleanup EXIT
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# shoot NAME "x y w h": the screen cropped to that rectangle, into docs/NAME.png.
shoot() {
  local name=$1 x y w h
  read -r x y w h <<<"$2"
  import -window root "$SHOTS/screen.png"
  mkdir -p "$OUT"
  convert "$SHOTS/screen.png" -crop "${w}x${h}+${x}+${y}" +repage -strip "$OUT/$name.png"
  log "wrote docs/$name.png (${w}x${h})"
}

log "starting the program on $DISPLAY"
wine "$DEMO_PROGRAM_EXE" </dev/null >/dev/null 2>&1 &
program=$!

rect=$(wine "$HELPER" wait "$TITLE" | tr -d '\r') || { echo "the dialog did not appear" >&2; exit 1; }
sleep 0.5   # the last drawing reaches the X server
shoot dialog-collapsed "$rect"

if rect=$(wine "$HELPER" click "$TITLE" "$MORE_BUTTON" | tr -d '\r'); then
  sleep 0.5
  shoot dialog-expanded "$rect"
else
  echo "More>> did not change the dialog: docs/dialog-expanded.png not refreshed" >&2
fi

wine "$HELPER" close "$TITLE" >/dev/null 2>&1 || true
wait "$program" || true

# shoot_language LOCALE TITLE NAME: the expanded dialog in another language
# (Wine takes the user's locale from the environment; the helper keeps the
# UTF-8 locale above so that it reads the title right).
shoot_language() {
  local locale=$1 title=$2 name=$3 rect
  log "starting the program in $locale"
  LC_ALL=$locale wine "$DEMO_PROGRAM_EXE" </dev/null >/dev/null 2>&1 &
  local pid=$!
  if ! timeout 60 wine "$HELPER" wait "$title" >/dev/null 2>&1; then
    echo "the $locale dialog did not appear: docs/$name.png not refreshed" >&2
    timeout 60 wine "$HELPER" close "$TITLE" >/dev/null 2>&1 || true
  elif rect=$(timeout 60 wine "$HELPER" click "$title" "$MORE_BUTTON" | tr -d '\r'); then
    sleep 0.5
    shoot "$name" "$rect"
    timeout 60 wine "$HELPER" close "$title" >/dev/null 2>&1 || true
  fi
  wait "$pid" || true
}
shoot_language de_DE.UTF-8 "J2534-Konfigurationsprogramm" dialog-de
shoot_language ar_SA.UTF-8 "تطبيق تكوين J2534" dialog-ar
shoot_language zh_CN.UTF-8 "J2534 配置应用程序" dialog-zh
