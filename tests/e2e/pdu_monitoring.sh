#!/usr/bin/env bash
# End to end: D-PDU monitoring that produces a log. On a Wine prefix of its own
# seeded with the demo installation (the OVRA VCI's D-PDU library is the
# simulated D-PDU VCI, the D-PDU monitor library the built one), Varrow's own
# dialog switches monitoring on for the D-PDU library (More>>, the OVRA VCI's
# J2534 tab, the PDU page's check boxes and a format, OK: window messages, as
# a user's clicks). VciCheck's D-PDU session then runs through the registered
# library with callbacks and with polling, and the log must parse in its
# format and hold the session; this for each of the four formats with "Store
# with J2534 Data" off; the same checks then for a 64-bit host: VciCheck64
# through the 64-bit D-PDU monitor with the 64-bit simulated D-PDU VCI
# registered in the native view (the monitor put in place by hand as Varrow
# does; the log is the PDU page's default, from the 32-bit view's
# LogFileLocation and brand). Then "Store with J2534 Data" on (the entries
# join the J2534 log), then the original missing. Last, `Varrow.exe disable`
# puts the library back.
# Prints "N passed, N failed"; exit 1 on a failure. Expects the build and the
# template prefix (scripts/test.sh).
source "$(dirname "$0")/../../scripts/common.sh"
source "$ROOT/scripts/demo/demo.sh"
source "$ROOT/tests/e2e/checks.sh"
source "$ROOT/tests/e2e/arch64.sh"

export LC_ALL=C.UTF-8  # the English dialog, whose title demo.sh knows
export WINEPREFIX=$BUILD/wine-e2e-pdu-$$
PREFIX=$WINEPREFIX
declare -A FORMAT_NAME=([1]=ASCII [2]=XML [3]=CSV [4]=HTML)
declare -A PDU_FORMAT_BUTTON=([1]=1033 [2]=1036 [3]=1034 [4]=1035)
PDU='C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll'
PDU_SETTINGS='HKCU\SOFTWARE\OVRA\OVRA_VCI\Monitoring\PDU API\C:_Program Files (x86)_OVRA_VCI_PDU_OvraPdu32.dll'
J2534_SETTINGS='HKCU\SOFTWARE\OVRA\OVRA_VCI\Monitoring\J2534 API\C:_Program Files (x86)_OVRA_VCI_J2534_OvraPT32.dll'
CALLS=(PDUConstruct PDUGetModuleIds PDUModuleConnect PDUGetObjectId PDUIoCtl PDUCreateComLogicalLink
       PDUSetComParam PDUConnect PDUStartComPrimitive PDUGetEventItem PDUDestroyItem PDUDisconnect
       PDUDestroyComLogicalLink PDUModuleDisconnect PDUDestruct)
VIN_BYTES="49 02 01 57 4F 56 52 41"  # the answer to 09 02: the start of the simulated VIN

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  rm -rf "$PREFIX"
}
trap cleanup EXIT
vci_check() { wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
vci_check_arch() { local arch=$1; shift; wine "${ARCH_VCICHECK[$arch]}" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
setting() {  # setting KEY NAME
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

log "end-to-end run of D-PDU monitoring with the simulated D-PDU VCI"
for built in "$BIN"/{OvraSimPdu32.dll,OvraPduMon32.dll,OvraSimPT32.dll,OvraJ2534Mon32.dll,VciCheck.exe} \
    "$BIN64"/{OvraSimPdu64.dll,OvraPduMon64.dll,VciCheck64.exe}; do
  if [ ! -f "$built" ]; then
    echo "D-PDU monitoring end to end: $built was not built" >&2
    exit 1
  fi
done
rm -rf "$PREFIX"
demo_prepare_prefix "$PREFIX" >/dev/null 2>&1
start_screen
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
arch64_install
check "the demo's D-PDU library is the simulated D-PDU VCI" cmp -s "$(host "$PDU")" "$BIN/OvraSimPdu32.dll"
for arch in 32 64; do
  direct=$(vci_check_arch "$arch" --pdu) || true
  check "VciCheck's D-PDU session without the monitor succeeds ($arch-bit)" grep -q '^All steps succeeded' <<<"$direct"
done
tab=$(demo_ovra_tab)
check "VciCheck lists the OVRA VCI" test -n "$tab"

# Store with J2534 Data off: J2534 monitoring on (so that the box can be
# cleared), D-PDU monitoring on, the box cleared (the factory value is 1).
# apply ARCH FORMAT: D-PDU monitoring on with FORMAT: through Varrow's dialog for the
# 32-bit library, by hand as Varrow does for the 64-bit one.
first=(1002 1024 1038)
apply() {
  if [ "$1" = 32 ]; then
    demo_apply_buttons "${tab:-0}" "${first[@]}" "${PDU_FORMAT_BUTTON[$2]}" && first=()
  else
    arch64_monitor_on 'PDU API' "${ARCH_PDU[64]}" "$BIN64/OvraPduMon64.dll" OutputFormat REG_DWORD "$2" \
      StoreWithPrimaryAPI REG_DWORD 0
  fi
}
for arch in 32 64; do
for format in 1 2 3 4; do
  name="${FORMAT_NAME[$format]} ($arch-bit)"
  lib=${ARCH_PDU[$arch]}
  settings=$(arch_settings_key 'PDU API' "$arch" "$lib")
  check "$name: D-PDU monitoring is switched on with the ${FORMAT_NAME[$format]} format" apply "$arch" "$format"
  check "$name: the simulated D-PDU VCI is set aside" cmp -s "$(aside "$lib")" "${ARCH_BIN[$arch]}/OvraSimPdu$arch.dll"
  check "$name: the D-PDU monitor stands at the library's path" \
    monitor_stands_in "$arch" "$(host "$lib")" "${ARCH_BIN[$arch]}/OvraPduMon$arch.dll"
  check "$name: the settings say format $format, not stored with the J2534 data" \
    test "$(setting "$settings" OutputFormat)/$(setting "$settings" StoreWithPrimaryAPI)" = "0x$format/0x0"
  # Varrow writes the log file's name; without it the monitor takes the PDU page's default.
  output=$(setting "$settings" OutputFile) || true
  [ -n "$output" ] || output="$(arch_log_location)PDU\\Torva-Link.${ARCH_EXTENSION[$format]}"
  log_file=$(host "$output")
  rm -f "$log_file"
  session=$(vci_check_arch "$arch" --pdu) || true
  check "$name: VciCheck's D-PDU session through the monitor succeeds" grep -q '^All steps succeeded' <<<"$session"
  check "$name: the session read the VIN" grep -q 'VIN WOVRA00SIM0000001' <<<"$session"
  check "$name: the session read the stored DTCs of both ECUs" grep -q '7E8: P0301 P0420; 7E9: P0715' <<<"$session"
  check "$name: the session read the serial numbers of both ECUs" \
    grep -q '7E8: EN24031500017; 7E9: TC24031500042' <<<"$session"
  check "$name: the log parses and holds the session with its callbacks" \
    python3 "$ROOT/tests/e2e/check_log.py" "$format" "$log_file" "${CALLS[@]}" PDURegisterEventCallback \
      EventCallback --bytes "$VIN_BYTES"
  check "$name: the log decodes the ComPrimitive's VIN request and the result item's VIN" \
    python3 "$ROOT/tests/e2e/check_log.py" "$format" "$log_file" \
      --decoded "CoPData: OBD mode 09 (vehicle information) request: VIN" \
      --decoded 'Data: OBD mode 09 (vehicle information) response: VIN = "WOVRA00SIM0000001"'
  cp "$log_file" "$PREFIX/pdu-log-$format${arch/32/}" 2>/dev/null
  session=$(vci_check_arch "$arch" --pdu --poll) || true
  check "$name: the polling session through the monitor succeeds" grep -q '^All steps succeeded' <<<"$session"
  check "$name: the polling session's log parses and holds it" \
    python3 "$ROOT/tests/e2e/check_log.py" "$format" "$log_file" "${CALLS[@]}" --bytes "$VIN_BYTES"
done
done
if [ -n "${VARROW_E2E_KEEP_LOGS:-}" ]; then cp "$PREFIX"/pdu-log-* "$VARROW_E2E_KEEP_LOGS"/ 2>/dev/null || true; fi

# Store with J2534 Data on: the D-PDU entries join the J2534 log beside the
# J2534 monitor's entries of another process.
check "store: Varrow's dialog ticks Store with J2534 Data" demo_apply_buttons "${tab:-0}" 1038
check "store: the settings say so" test "$(setting "$PDU_SETTINGS" StoreWithPrimaryAPI)" = "0x1"
j2534_format=$(setting "$J2534_SETTINGS" OutputFormat)
j2534_format=$((${j2534_format:-1}))
j2534_output=$(setting "$J2534_SETTINGS" OutputFile)
j2534_log=$(host "${j2534_output:-C:\\missing}")
rm -f "$j2534_log"
check "store: VciCheck's J2534 session succeeds" grep -q '^All steps succeeded' <<<"$(vci_check "OVRA VCI")"
check "store: VciCheck's D-PDU session succeeds" grep -q '^All steps succeeded' <<<"$(vci_check --pdu)"
check "store: the J2534 log parses and holds both sessions" \
  python3 "$ROOT/tests/e2e/check_log.py" "$j2534_format" "$j2534_log" PassThruOpen PassThruReadMsgs \
    "${CALLS[@]}" EventCallback --bytes "$VIN_BYTES"

# The original missing: every call fails, nothing crashes, the log says why.
mv "$(aside "$PDU")" "$PREFIX/simulated-pdu.dll"
session=$(vci_check --pdu) || true  # fails, as it must
check "missing original: the session fails with PDU_ERR_FCT_FAILED" grep -q 'PDU_ERR_FCT_FAILED' <<<"$session"
check "missing original: VciCheck ends normally" grep -q 'step(s) failed' <<<"$session"
check "missing original: the log names the missing library" grep -q '_OvraPdu32.dll could not be loaded' "$j2534_log"
mv "$PREFIX/simulated-pdu.dll" "$(aside "$PDU")"
if [ -n "${VARROW_E2E_KEEP_LOGS:-}" ]; then cp "$j2534_log" "$VARROW_E2E_KEEP_LOGS/store-log" 2>/dev/null || true; fi

wine "$DEMO_PROGRAM_EXE" disable </dev/null >/dev/null 2>&1
check "disable: the simulated D-PDU VCI is back byte for byte" cmp -s "$(host "$PDU")" "$BIN/OvraSimPdu32.dll"
check "disable: nothing is left aside" test ! -e "$(aside "$PDU")"

echo "D-PDU monitoring end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
