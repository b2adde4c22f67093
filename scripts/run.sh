#!/usr/bin/env bash
# Installs what is missing, builds, and starts Varrow.exe under Wine on the demo
# installation (prefix build/wine-demo, kept between runs). Arguments are passed
# to the program: `bash scripts/run.sh disable` runs the disable mode.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/demo/demo.sh"
ensure_packages
build
export WINEPREFIX=$ROOT/build/wine-demo
demo_prepare_prefix "$WINEPREFIX"

own_screen=""
if [ -z "${DISPLAY:-}" ]; then
  VARROW_OWN_SCREEN=1 start_screen
  own_screen=1
  log "no DISPLAY set: started a virtual screen (Xvfb) on $DISPLAY; the window is not visible there (Ctrl-C ends the program)"
fi
finish() {
  if [ -n "$own_screen" ]; then
    wineserver -k >/dev/null 2>&1 || true
    stop_screen
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

log "starting $DEMO_PROGRAM_EXE $*"
set +e
wine "$DEMO_PROGRAM_EXE" "$@"
rc=$?
set -e
exit "$rc"
