#!/usr/bin/env bash
# The HTML log in a real browser: headless Chromium from the Debian packages
# (scripts/common.sh installs it) driven by playwright-core from the npm
# registry, installed here with `npm ci` when node_modules is missing; it uses
# /usr/bin/chromium and downloads no browser. Opens the HTML log of the
# VciCheck session that tests/e2e/monitoring.sh keeps in build/.../e2e, and a
# log of 100,000 entries written natively by the monitor's own renderers
# (bench/html_log_bench.cpp).
# Prints "N passed, N failed" and the time the large log took to open and to
# filter; exit 1 on a failure. Expects the build and the monitoring script's log.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${VARROW_BUILD:-$ROOT/build/mingw}
HERE=$ROOT/tests/browser
OUT=$BUILD/browser
ENTRIES=${VARROW_BROWSER_ENTRIES:-100000}
echo "== the HTML log in headless Chromium"
fail() { echo "html log in a browser: $1"; echo "html log in a browser: 0 passed, 1 failed"; exit 1; }
command -v chromium >/dev/null 2>&1 || fail "chromium is not installed (scripts/common.sh installs it)"
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || fail "Node.js and npm are needed"
VCI_LOG=$BUILD/e2e/vcicheck-log.html
[ -f "$VCI_LOG" ] || fail "no log of a VciCheck session at $VCI_LOG (tests/e2e/monitoring.sh makes it)"
if [ ! -d "$HERE/node_modules/playwright-core" ]; then
  (cd "$HERE" && npm ci --no-audit --no-fund --loglevel=error) || fail "npm ci failed"
fi
mkdir -p "$OUT"
g++ -std=c++20 -O2 -I"$ROOT" "$ROOT/bench/html_log_bench.cpp" "$ROOT/log/diag_decode.cpp" "$ROOT/log/decode_obd.cpp" \
  "$ROOT/log/decode_uds.cpp" "$ROOT/log/decode_isotp.cpp" "$ROOT/log/log_format.cpp" \
  "$ROOT/log/log_html.cpp" "$ROOT/log/text_rules.cpp" -o "$OUT/html_log_bench" || fail "html_log_bench does not build"
"$OUT/html_log_bench" "$ENTRIES" "$OUT/big-log.html" || fail "html_log_bench failed"
rm -rf "$OUT/work"
node "$HERE/html_log.mjs" "$VCI_LOG" "$OUT/big-log.html" "$OUT/work"
