#!/usr/bin/env bash
# Builds and runs the D-PDU monitor's benchmark under Wine in a prefix of its
# own: the simulated D-PDU VCI without and through the monitor (full logging),
# side by side in one run. Reports; never fails. Usage: bash bench/pdu_bench.sh [rounds [light]]
source "$(dirname "$0")/../scripts/common.sh"
ensure_packages
build
log "building the D-PDU benchmark"
cmake --build "$BUILD" -j2 --target pdu_bench -- --no-print-directory -s 2>&1 | grep -v -E '^\[ *[0-9]+%\]' || true
[ -x "$BIN/pdu_bench.exe" ] || { echo "benchmark build failed" >&2; exit 1; }
start_private_wine bench
log "running the D-PDU benchmark ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
set +e
wine "$BIN/pdu_bench.exe" "${1:-2000}" ${2:+"$2"}
exit 0
