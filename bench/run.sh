#!/usr/bin/env bash
# Builds the program and the benchmark driver and runs every benchmark under
# Wine in a prefix of its own, then prints a table of ratios (the program's
# figure over a floor measured side by side in the same run). A benchmark
# reports; it never fails. Usage: bash bench/run.sh [rounds [startup|leaks|apply|disable]]
# (default: 9 rounds of every measure). `bash bench/run.sh 20000 monitor` runs only the
# J2534 monitor library's call overhead (its first argument is then the calls per case),
# `bash bench/run.sh 100000 writer` only its writer against a flat-out caller;
# `bash bench/run.sh 9 scenario` how long a recorded scenario of 10 MB takes to load.
# `monitor64` and `writer64` measure the same in the 64-bit tree: the 64-bit monitor
# called by a 64-bit program (`bash bench/run.sh 20000 monitor64`).
source "$(dirname "$0")/../scripts/common.sh"
ensure_packages
build
log "building the benchmark driver"
cmake --build "$BUILD" -j2 --target varrow_bench monitor_bench scenario_bench -- --no-print-directory -s 2>&1 | grep -v -E '^\[ *[0-9]+%\]' || true
[ -x "$BIN/varrow_bench.exe" ] || { echo "benchmark build failed" >&2; exit 1; }
# The monitor's measures of the 64-bit tree: its own monitor_bench.exe.
mode=${2:-}
monitor_bin=$BIN
if [ "$mode" = monitor64 ] || [ "$mode" = writer64 ]; then
  mode=${mode%64}
  monitor_bin=$BIN64
  cmake --build "$BUILD64" -j2 --target monitor_bench -- --no-print-directory -s 2>&1 | grep -v -E '^\[ *[0-9]+%\]' || true
  [ -x "$BIN64/monitor_bench.exe" ] || { echo "64-bit benchmark build failed" >&2; exit 1; }
fi
start_private_wine bench
log "running the benchmarks ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
set +e
if [ "${2:-}" = scenario ]; then
  wine "$BIN/scenario_bench.exe" "${1:-9}"
  exit 0
fi
if [ "$mode" = writer ]; then
  wine "$monitor_bin/monitor_bench.exe" writer "${1:-100000}"
  exit 0
fi
if [ "$mode" = monitor ]; then
  wine "$monitor_bin/monitor_bench.exe" "${1:-20000}"
  exit 0
fi
wine "$BIN/varrow_bench.exe" "${1:-9}" ${2:+"$2"}
[ -z "${2:-}" ] && wine "$BIN/monitor_bench.exe" 20000
exit 0
