#!/usr/bin/env bash
# Builds the Windows-free text rules natively with AddressSanitizer and
# UndefinedBehaviorSanitizer and fuzzes each rule for a bounded time:
# libFuzzer when clang has it, else a seeded random driver with g++.
# Usage: bash tests/native/run.sh [seconds per rule]   (default 3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${VARROW_BUILD:-$ROOT/build/mingw}/native
SECONDS_PER_RULE=${1:-3}
RULES=11
mkdir -p "$OUT"
SOURCES=("$ROOT/tests/native/text_rules_fuzz.cpp" "$ROOT/locale/version_rules.cpp"
         "$ROOT/monitoring/path_rules.cpp" "$ROOT/monitoring/format_rules.cpp"
         "$ROOT/monitoring/pe_rules.cpp" "$ROOT/settings/number_text.cpp")
FLAGS=(-std=c++20 -O1 -g -I"$ROOT" -fsanitize=address,undefined -fno-sanitize-recover=all
       -fno-omit-frame-pointer -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
# In CI (CI set) every warning is an error, as in the cross build.
[ -n "${CI:-}" ] && FLAGS+=(-Werror)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1

# fuzz_target NAME RULES SOURCES...: builds one fuzz target and fuzzes each of its rules.
fuzz_target() {
  local name=$1 rules=$2 mode=""
  shift 2
  if command -v clang++ >/dev/null 2>&1 &&
     clang++ "${FLAGS[@]}" -fsanitize=fuzzer "$@" -o "$OUT/$name" 2>"$OUT/build.log"; then
    mode=libfuzzer
  elif command -v g++ >/dev/null 2>&1 &&
     g++ "${FLAGS[@]}" "$@" "$ROOT/tests/native/random_driver.cpp" -o "$OUT/$name" 2>"$OUT/build.log"; then
    mode=random
  else
    echo "native fuzzing: no compiler with the sanitizers (see $OUT/build.log)" >&2
    exit 1
  fi

  echo "== native fuzzing of $name ($mode, ${SECONDS_PER_RULE}s per rule)"
  local failed=0 rule log runs
  for rule in $(seq 0 $((rules - 1))); do
    log="$OUT/$name-rule-$rule.log"
    if [ "$mode" = libfuzzer ]; then
      mkdir -p "$OUT/corpus-$name-$rule"
      VARROW_FUZZ_RULE=$rule "$OUT/$name" -max_total_time="$SECONDS_PER_RULE" \
        -max_len=1200 -seed=$((rule + 1)) -print_final_stats=1 -artifact_prefix="$OUT/" "$OUT/corpus-$name-$rule" >"$log" 2>&1 || failed=1
      runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    else
      VARROW_FUZZ_RULE=$rule timeout $((SECONDS_PER_RULE * 10 + 30)) \
        "$OUT/$name" $((SECONDS_PER_RULE * 20000)) $((rule + 1)) >"$log" 2>&1 || failed=1
      runs=$(awk '{print $1}' "$log" | tail -n1)
    fi
    echo "   rule $rule: ${runs:-?} inputs"
    if [ "$failed" != 0 ]; then
      echo "native fuzzing: $name rule $rule failed, see $log" >&2
      tail -n 30 "$log" >&2
      exit 1
    fi
  done
}

fuzz_target text_rules_fuzz "$RULES" "${SOURCES[@]}"
# The leftover names of the library swap.
fuzz_target leftover_rules_fuzz 1 "$ROOT/tests/native/leftover_rules_fuzz.cpp" \
  "$ROOT/monitoring/leftover_rules.cpp" "$ROOT/monitoring/path_rules.cpp"
# The simulated VCI: the vehicle, its bus nodes, the ISO 15765 transport and the device's J2534 rules.
fuzz_target sim_rules_fuzz 4 "$ROOT/tests/native/sim_rules_fuzz.cpp" "$ROOT/simulator/vehicle/vehicle.cpp" \
  "$ROOT/simulator/vehicle/vehicle_tables.cpp" "$ROOT/simulator/vehicle/vehicle_node.cpp" \
  "$ROOT/simulator/vehicle/isotp.cpp" "$ROOT/simulator/j2534/sim_device.cpp" \
  "$ROOT/simulator/j2534/sim_channel.cpp" "$ROOT/simulator/scenario/scenario.cpp" \
  "$ROOT/simulator/scenario/scenario_log.cpp"
# The simulated VCI's 05.00 rules, over the 04.04 device and the vehicle.
fuzz_target sim05_rules_fuzz 1 "$ROOT/tests/native/sim05_rules_fuzz.cpp" "$ROOT/simulator/j2534_v05/sim05_device.cpp" \
  "$ROOT/simulator/j2534_v05/sim05_controls.cpp" "$ROOT/simulator/vehicle/vehicle.cpp" \
  "$ROOT/simulator/vehicle/vehicle_tables.cpp" "$ROOT/simulator/vehicle/vehicle_node.cpp" \
  "$ROOT/simulator/vehicle/isotp.cpp" "$ROOT/simulator/j2534/sim_device.cpp" \
  "$ROOT/simulator/j2534/sim_channel.cpp" "$ROOT/simulator/scenario/scenario.cpp" \
  "$ROOT/simulator/scenario/scenario_log.cpp"
# The recorded scenario: any bytes as a monitor log, and the answers it gives.
fuzz_target scenario_fuzz 1 "$ROOT/tests/native/scenario_fuzz.cpp" "$ROOT/simulator/scenario/scenario.cpp" \
  "$ROOT/simulator/scenario/scenario_log.cpp"
# The monitor's rules (names of both versions, escaping, message capture, 05.00 structures, renderers, batches).
fuzz_target monitor_rules_fuzz 6 "$ROOT/tests/native/monitor_rules_fuzz.cpp" "$ROOT/log/text_rules.cpp" \
  "$ROOT/log/log_format.cpp" "$ROOT/log/log_html.cpp" "$ROOT/monitor/j2534/j2534_record.cpp" \
  "$ROOT/monitor/j2534/j2534_text_v05.cpp" "$ROOT/passthru/names.cpp" "$ROOT/passthru/names_v05.cpp" \
  "$ROOT/tests/native/memory_probe_native.cpp"
# The decoded conversation: payloads, frames and their reassembly, decoded entries rendered.
fuzz_target diag_decode_fuzz 3 "$ROOT/tests/native/diag_decode_fuzz.cpp" "$ROOT/log/diag_decode.cpp" \
  "$ROOT/log/decode_obd.cpp" "$ROOT/log/decode_uds.cpp" "$ROOT/log/decode_isotp.cpp" \
  "$ROOT/log/log_format.cpp" "$ROOT/log/log_html.cpp" "$ROOT/log/text_rules.cpp"
# The D-PDU rules: code names, item decoders, object names, callback slots.
fuzz_target pdu_rules_fuzz 5 "$ROOT/tests/native/pdu_rules_fuzz.cpp" "$ROOT/pdu/pdu_names.cpp" \
  "$ROOT/monitor/pdu/pdu_record.cpp" "$ROOT/monitor/pdu/pdu_item_text.cpp" \
  "$ROOT/monitor/pdu/pdu_callbacks.cpp" "$ROOT/log/text_rules.cpp" \
  "$ROOT/tests/native/memory_probe_native.cpp"
# The export tables of a monitored library and of the monitor copy written for it.
fuzz_target export_rules_fuzz 2 "$ROOT/tests/native/export_rules_fuzz.cpp" "$ROOT/monitoring/export_rules.cpp"
# The D-PDU root description file: scanning, our entry added, updated and taken out, file: URIs.
fuzz_target pdu_root_fuzz 3 "$ROOT/tests/native/pdu_root_fuzz.cpp" "$ROOT/installer/pdu_root_rules.cpp"
echo "== native fuzzing passed"
