#!/usr/bin/env bash
# Makes docs/log-html.png: the way a newcomer takes on the demo installation
# (monitoring ticked for the OVRA VCI in Varrow's dialog with the HTML format,
# OK, the check run through the simulated VCI), then the HTML log as a
# browser shows it (headless Chromium from the Debian packages, installed
# when missing). Runs in a fresh prefix and a virtual screen of its own.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/demo/demo.sh"
ensure_packages  # chromium among them
build

export LC_ALL=C.UTF-8
export WINEPREFIX=$ROOT/build/wine-log-shot
rm -rf "$WINEPREFIX"
demo_prepare_prefix "$WINEPREFIX"
VARROW_OWN_SCREEN=1 start_screen
WORK=$(mktemp -d)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  rm -rf "$WINEPREFIX" "$WORK"
}
trap cleanup EXIT
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

tab=$(demo_ovra_tab) || { echo "the OVRA VCI is not registered" >&2; exit 1; }
demo_apply_monitoring 4 "$tab" tick || { echo "the dialog could not switch monitoring on" >&2; exit 1; }
wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "OVRA VCI" </dev/null | tr -d '\r'
html=$(demo_unix_path "$WINEPREFIX" 'C:\ProgramData\OVRA\Logs\J2534\OvraPT32.html')
[ -f "$html" ] || { echo "no HTML log at $html" >&2; exit 1; }
cp "$html" "$WORK/log.html"

mkdir -p "$ROOT/docs"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$WORK/profile" --hide-scrollbars --window-size=1600,1560 \
  --screenshot="$ROOT/docs/log-html.png" "file://$WORK/log.html" >/dev/null 2>&1
log "wrote docs/log-html.png"
