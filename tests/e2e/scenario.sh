#!/usr/bin/env bash
# End to end: record at the car, replay at the desk. On a Wine prefix of its
# own seeded with the demo installation, Varrow's dialog switches J2534 and
# D-PDU monitoring on (XML, then CSV); VciCheck's J2534 and D-PDU sessions on
# the built-in vehicle are recorded; the recorded VIN and a DTC are changed in
# the logs; VciCheck --scenario then replays each log with the built-in
# vehicle's answers switched off (ScenarioOnly=1), and must read the changed
# answers over J2534 and over D-PDU. Prints "N passed, N failed"; exit 1 on a
# failure. Expects the build and the template prefix (scripts/test.sh).
source "$(dirname "$0")/../../scripts/common.sh"
source "$ROOT/scripts/demo/demo.sh"
source "$ROOT/tests/e2e/checks.sh"

export LC_ALL=C.UTF-8
export WINEPREFIX=$BUILD/wine-e2e-scenario-$$
PREFIX=$WINEPREFIX
declare -A FORMAT_NAME=([2]=XML [3]=CSV)
declare -A PDU_FORMAT_BUTTON=([2]=1036 [3]=1034)
SIM_KEY='HKCU\SOFTWARE\OVRA\OVRA_VCI\Simulator'
PDU_SETTINGS='HKCU\SOFTWARE\OVRA\OVRA_VCI\Monitoring\PDU API\C:_Program Files (x86)_OVRA_VCI_PDU_OvraPdu32.dll'
J2534_SETTINGS='HKCU\SOFTWARE\OVRA\OVRA_VCI\Monitoring\J2534 API\C:_Program Files (x86)_OVRA_VCI_J2534_OvraPT32.dll'
# The recorded VIN, and the one edited in: the same length, other letters.
VIN_HEX="57 4F 56 52 41 30 30 53 49 4D 30 30 30 30 30 30 31"   # WOVRA00SIM0000001
EDITED_HEX="57 45 44 49 54 45 44 56 49 4E 30 30 30 30 30 30 39" # WEDITEDVIN0000009
# The engine's stored DTCs P0301 P0420 become P0171 P0420.
DTC_HEX="43 02 03 01 04 20"
EDITED_DTC_HEX="43 02 01 71 04 20"

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  [ -n "${VARROW_E2E_KEEP_LOGS:-}" ] && cp "$PREFIX"/*.log "$PREFIX"/*-edited.* "$VARROW_E2E_KEEP_LOGS"/ 2>/dev/null
  rm -rf "$PREFIX"
}
trap cleanup EXIT
vci_check() { wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "$@" </dev/null 2>/dev/null | tr -d '\r' || true; }
setting() {  # setting KEY NAME
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
# edit FILE FROM TO: the hex bytes FROM become TO wherever the log shows them
# on one line (as both formats do for a short answer).
edit() { python3 - "$@" <<'PY'
import sys
path, pairs = sys.argv[1], sys.argv[2:]
text = open(path, encoding="utf-8").read()
for old, new in zip(pairs[::2], pairs[1::2]):
    if old not in text:
        sys.exit("not in the log: " + old)
    text = text.replace(old, new)
open(path, "w", encoding="utf-8").write(text)
PY
}

log "end-to-end run of recording and replaying a scenario"
rm -rf "$PREFIX"
demo_prepare_prefix "$PREFIX" >/dev/null 2>&1
start_screen
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
tab=$(demo_ovra_tab) || true
check "VciCheck lists the OVRA VCI" test -n "$tab"

first_j2534=tick
first_pdu=(1024 1038)  # D-PDU monitoring on, "Store with J2534 Data" off
for format in 2 3; do
  name=${FORMAT_NAME[$format]}
  check "$name: J2534 monitoring applied" demo_apply_monitoring "$format" "${tab:-0}" $first_j2534
  first_j2534=""
  check "$name: D-PDU monitoring applied" demo_apply_buttons "${tab:-0}" "${first_pdu[@]}" "${PDU_FORMAT_BUTTON[$format]}"
  first_pdu=()
  j2534_log=$(host "$(setting "$J2534_SETTINGS" OutputFile)")
  pdu_log=$(host "$(setting "$PDU_SETTINGS" OutputFile)")
  rm -f "$j2534_log" "$pdu_log"
  check "$name: the J2534 session is recorded" grep -q 'VIN WOVRA00SIM0000001' <<<"$(vci_check "OVRA VCI")"
  check "$name: the D-PDU session is recorded" grep -q 'VIN WOVRA00SIM0000001' <<<"$(vci_check --pdu)"
  cp "$j2534_log" "$PREFIX/j2534-$format.log"
  cp "$pdu_log" "$PREFIX/pdu-$format.log"
  for api in j2534 pdu; do
    edited=$PREFIX/$api-edited.$format
    cp "$PREFIX/$api-$format.log" "$edited"
    check "$name $api: the log is edited" edit "$edited" "$VIN_HEX" "$EDITED_HEX" "$DTC_HEX" "$EDITED_DTC_HEX"
  done
done

# Replay with monitoring off: each library back in place.
wine "$DEMO_PROGRAM_EXE" disable </dev/null >/dev/null 2>&1
wine reg add "$SIM_KEY" /v ScenarioOnly /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
for format in 2 3; do
  name=${FORMAT_NAME[$format]}
  for api in j2534 pdu; do
    args=("OVRA VCI")
    [ "$api" = pdu ] && args=(--pdu)
    replay=$(vci_check "${args[@]}" --scenario "$(wine winepath -w "$PREFIX/$api-edited.$format" 2>/dev/null | tr -d '\r')")
    echo "$replay" >"$PREFIX/replay-$api-$format.txt"
    check "$name $api: the replay reads the edited VIN" grep -q 'VIN WEDITEDVIN0000009' <<<"$replay"
    check "$name $api: the replay reads the edited DTC" grep -q '7E8: P0171 P0420; 7E9: P0715' <<<"$replay"
    check "$name $api: VciCheck counts the answers from the recording" \
      grep -q -E 'answered from the recording: [1-9]' <<<"$replay"
  done
done
# Bad input: the built-in vehicle answers, VciCheck says why the scenario was not used.
wine reg add "$SIM_KEY" /v ScenarioOnly /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
replay=$(vci_check "OVRA VCI" --scenario 'C:\no\such.xml')
check "missing file: the built-in vehicle answers" grep -q 'VIN WOVRA00SIM0000001' <<<"$replay"
check "missing file: VciCheck says why" grep -q -i 'scenario not used.*cannot be read' <<<"$replay"
replay=$(vci_check "OVRA VCI" --scenario "$(wine winepath -w "$PREFIX/pdu-edited.2" 2>/dev/null | tr -d '\r')")
check "a D-PDU log over J2534: the built-in vehicle answers" grep -q 'VIN WOVRA00SIM0000001' <<<"$replay"
check "a D-PDU log over J2534: VciCheck says why" grep -q -i 'scenario not used.*no J2534 session' <<<"$replay"

# D-PDU has no error text: the debugger output says why.
said=$(WINEDEBUG=+debugstr wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" --pdu --scenario "$(wine winepath -w "$PREFIX/j2534-edited.3" 2>/dev/null | tr -d '\r')" </dev/null 2>&1 | tr -d '\r' || true)
check "a J2534 log over D-PDU: the built-in vehicle answers" grep -q 'VIN WOVRA00SIM0000001' <<<"$said"
check "a J2534 log over D-PDU: the debugger output says why" grep -q 'scenario not used: the log holds no D-PDU session' <<<"$said"

echo "scenario end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
