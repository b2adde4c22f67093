# Shared by run.sh, test.sh and the benchmarks: packages, build, Wine prefix, screen.
# Source it from bash; it sets ROOT, BUILD, BIN (the 32-bit tree), BUILD64, BIN64
# (the 64-bit tree: the libraries shipped for both architectures, VciCheck64 and
# their tests) and helper functions.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VARROW_BUILD:-$ROOT/build/mingw}
BIN=$BUILD/bin
BUILD64=${VARROW_BUILD64:-$ROOT/build/mingw64}
BIN64=$BUILD64/bin
export XDG_CONFIG_HOME=$ROOT/build/xdg/config XDG_DATA_HOME=$ROOT/build/xdg/data XDG_CACHE_HOME=$ROOT/build/xdg/cache
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64

log() { printf '== %s\n' "$*" >&2; }

# Fonts with the letters of the Chinese, Japanese, Russian and Arabic dialogs,
# for the test and demo prefixes only (scripts/fonts.reg names them).
PREFIX_FONTS="/usr/share/fonts/truetype/wqy/wqy-microhei.ttc /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

# Installs the Debian packages that are missing (nothing when all are there).
ensure_packages() {
  local missing=0
  for c in i686-w64-mingw32-g++-posix i686-w64-mingw32-windres x86_64-w64-mingw32-g++-posix \
      x86_64-w64-mingw32-windres wine wineserver Xvfb cmake chmcmd wixl msiinfo chromium; do
    command -v "$c" >/dev/null 2>&1 || missing=1
  done
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing=1
  dpkg -s wine32:i386 >/dev/null 2>&1 || missing=1
  [ -d /usr/share/wine/fonts ] || missing=1
  for f in $PREFIX_FONTS; do [ -f "$f" ] || missing=1; done
  [ "$missing" = 0 ] && return 0
  log "installing missing Debian packages"
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    wine wine32:i386 wine64 libwine:i386 g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686 \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    cmake make googletest xvfb xauth fonts-wine fonts-wqy-microhei fonts-dejavu-core fp-utils \
    x11-apps imagemagick msitools wixl chromium >/dev/null
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || { echo "no 64-bit compiler after installing" >&2; exit 1; }
}

build() {
  log "building"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
  local out rc
  out=$(mktemp)
  set +e
  # In CI (CI set) every warning is an error; a local build only prints them.
  local werror=OFF
  [ -n "${CI:-}" ] && werror=ON
  # The 64-bit tree first: the 32-bit tree's installer packs its files.
  (cd "$ROOT" && cmake --preset mingw64 -B "$BUILD64" -DVARROW_WERROR=$werror >/dev/null &&
    cmake --build "$BUILD64" -j2 -- --no-print-directory -s &&
    cmake --preset mingw -B "$BUILD" -DVARROW_WERROR=$werror >/dev/null &&
    cmake --build "$BUILD" -j2 -- --no-print-directory -s) >"$out" 2>&1
  rc=$?
  set -e
  grep -v -E '^\[ *[0-9]+%\]' "$out" >&2 || true
  rm -f "$out"
  if [ "$rc" != 0 ]; then echo "build failed" >&2; exit 1; fi
}

# A booted prefix made once; each run works on a clone of it. The marker holds
# the template's version: a template of an older one is made again.
TEMPLATE=$ROOT/build/wine-template
TEMPLATE_VERSION=3
ensure_template() {
  [ "$(cat "$TEMPLATE/.varrow-ready" 2>/dev/null)" = "$TEMPLATE_VERSION" ] && return 0
  log "booting a Wine prefix (once)"
  rm -rf "$TEMPLATE"
  WINEPREFIX=$TEMPLATE WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$TEMPLATE wineserver -w
  # No window manager under Xvfb: unmanaged windows avoid a stall on every hidden window.
  WINEPREFIX=$TEMPLATE wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  # Font substitutes and fallbacks for the faces the program asks for.
  WINEPREFIX=$TEMPLATE wine reg import "Z:${ROOT//\//\\}\\scripts\\fonts.reg" /reg:64 >/dev/null 2>&1
  WINEPREFIX=$TEMPLATE wineserver -w
  mkdir -p "$TEMPLATE/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf $PREFIX_FONTS "$TEMPLATE/drive_c/windows/Fonts/" 2>/dev/null || true
  echo "$TEMPLATE_VERSION" >"$TEMPLATE/.varrow-ready"
}

# clone_prefix DIR: a private copy of the template (hard links, real copies of the hives).
clone_prefix() {
  local dir=$1
  rm -rf "$dir"
  cp -al "$TEMPLATE" "$dir"
  for f in system.reg user.reg userdef.reg; do
    rm -f "$dir/$f"; cp "$TEMPLATE/$f" "$dir/$f"
  done
}

# start_screen: an Xvfb of our own when no display is set; stop_screen ends it.
XVFB_PID=""
start_screen() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${VARROW_OWN_SCREEN:-}" ]; then return 0; fi
  local fdfile; fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -n1 "$fdfile")"
  rm -f "$fdfile"
}
stop_screen() { [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; XVFB_PID=""; }

# start_private_wine NAME: a fresh clone of the template as WINEPREFIX
# (build/wine-NAME-<pid>), a screen of its own and a warm Wine server, all
# undone when the calling script exits.
start_private_wine() {
  ensure_template
  export WINEPREFIX=$ROOT/build/wine-$1-$$
  clone_prefix "$WINEPREFIX"
  VARROW_OWN_SCREEN=1 start_screen
  trap 'wineserver -k >/dev/null 2>&1 || true; stop_screen; rm -rf "$WINEPREFIX"' EXIT
  # A warm server first: otherwise CTest waits on pipes that Wine's services inherit.
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
