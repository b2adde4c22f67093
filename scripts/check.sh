#!/usr/bin/env bash
# Installs what is missing, builds, and runs VciCheck.exe under Wine on the demo
# installation (the prefix of run.sh, build/wine-demo): without arguments it
# lists the registered J2534 devices; `bash scripts/check.sh "OVRA VCI"` runs a
# session through the OVRA VCI's registered library (the simulated VCI, or
# the monitor in its place when monitoring is on). Its exit code is VciCheck's.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/demo/demo.sh"
ensure_packages
build >/dev/null
export WINEPREFIX=$ROOT/build/wine-demo
demo_prepare_prefix "$WINEPREFIX"
set +e
wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "$@" | tr -d '\r'
rc=${PIPESTATUS[0]}
set -e
exit "$rc"
