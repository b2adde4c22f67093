#!/usr/bin/env bash
# End to end: monitoring that produces a log. On a Wine prefix of its own
# seeded with the demo installation (the OVRA VCI's library is the simulated
# VCI, the monitor library the built one), Varrow's own dialog switches
# monitoring on for the OVRA VCI (More>>, its tab, the check box, a format,
# OK: window messages, as a user's clicks); VciCheck then runs a session
# through the registered library, and the log must parse in its format and
# hold the session's calls; this for each of the four formats. The same checks
# then for a 64-bit host: monitoring switched on on the 64-bit OVRA VCI's own
# tab, VciCheck64 through the 64-bit monitor with the 64-bit simulated VCI
# registered in the native view. Last,
# `Varrow.exe disable` runs while a session holds the monitor loaded, and the
# library must be back byte for byte. The simulated J2534 05.00 VCI is
# registered (PassThruSupport.05.00, "OVRA VCI 05") and VciCheck --v05 runs its
# session through it. Prints "N passed, N failed"; exit 1 on a
# failure. Expects the build and the template prefix (scripts/test.sh).
source "$(dirname "$0")/../../scripts/common.sh"
source "$ROOT/scripts/demo/demo.sh"
source "$ROOT/tests/e2e/checks.sh"
source "$ROOT/tests/e2e/arch64.sh"

export LC_ALL=C.UTF-8  # the English dialog, whose title is below
export WINEPREFIX=$BUILD/wine-e2e-monitoring-$$
PREFIX=$WINEPREFIX
declare -A FORMAT_NAME=([1]=ASCII [2]=XML [3]=CSV [4]=HTML)
PT='C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll'
SETTINGS='HKCU\SOFTWARE\OVRA\OVRA_VCI\Monitoring\J2534 API\C:_Program Files (x86)_OVRA_VCI_J2534_OvraPT32.dll'
CALLS=(PassThruOpen PassThruReadVersion PassThruIoctl PassThruConnect PassThruStartMsgFilter
       PassThruWriteMsgs PassThruReadMsgs PassThruDisconnect PassThruClose)
VIN_BYTES="57 4F 56 52 41 30 30 53 49 4D"  # the start of the simulated ECU's VIN

holder=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  rm -rf "$PREFIX"
}
trap cleanup EXIT
vci_check() { wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "$@" </dev/null 2>/dev/null | tr -d '\r' || true; }
vci_check_arch() { local arch=$1; shift; wine "${ARCH_VCICHECK[$arch]}" "$@" </dev/null 2>/dev/null | tr -d '\r' || true; }

log "end-to-end run of monitoring with the simulated VCI"
for built in "$BIN"/{OvraSimPT32.dll,OvraSim05PT32.dll,OvraJ2534Mon32.dll,VciCheck.exe} "$BIN64"/{OvraSimPT64.dll,OvraSim05PT64.dll,OvraJ2534Mon64.dll,VciCheck64.exe}; do
  if [ ! -f "$built" ]; then
    echo "monitoring end to end: $built was not built" >&2
    exit 1
  fi
done
# Statically linked: each imports Windows DLLs only.
windows_only() {
  local others
  others=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' |
    grep -v -x -E '(kernel32|msvcrt|advapi32|user32|gdi32|shell32|shlwapi|ole32|version|comctl32|uxtheme|ntdll)\.dll' || true)
  [ -z "$others" ]
}
for built in "$BIN"/{OvraSimPT32.dll,OvraSim05PT32.dll,OvraJ2534Mon32.dll,VciCheck.exe} "$BIN64"/{OvraSimPT64.dll,OvraSim05PT64.dll,OvraJ2534Mon64.dll,VciCheck64.exe}; do
  check "${built##*/} imports Windows DLLs only" windows_only "$built"
done
rm -rf "$PREFIX"
demo_prepare_prefix "$PREFIX" >/dev/null 2>&1
start_screen
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
cp "$(host "$PT")" "$PREFIX/simulated-vci.dll"
arch64_install

tab=$(demo_ovra_tab) || true
check "VciCheck lists the OVRA VCI" test -n "$tab"
setting() { wine reg query "$SETTINGS" /v "$1" </dev/null 2>/dev/null | tr -d '\r' |
            sed -n "s/^ *$1 *REG_[A-Z_]* *//p" || true; }

# apply ARCH FORMAT: monitoring on for the OVRA VCI of that architecture with
# FORMAT, through Varrow's dialog (the 64-bit one on its own tab, after the
# 32-bit view's tabs).
declare -A TAB=([32]="${tab:-0}" [64]="$(demo_view_tab 64 04.04 'OVRA VCI')")
declare -A FIRST=([32]=tick [64]=tick)
apply() {
  demo_apply_monitoring "$2" "${TAB[$1]}" "${FIRST[$1]}" && FIRST[$1]=""
}
check "the 64-bit OVRA VCI has a tab of its own after the 32-bit ones" test "${TAB[64]:-0}" -gt "${TAB[32]}"
for arch in 32 64; do
for format in 1 2 3 4; do
  name="${FORMAT_NAME[$format]} ($arch-bit)"
  lib=${ARCH_PT[$arch]}
  SETTINGS=$(arch_settings_key 'J2534 API' "$arch" "$lib")
  check "$name: monitoring is switched on with the ${FORMAT_NAME[$format]} format" apply "$arch" "$format"
  check "$name: the simulated VCI is set aside, the monitor stands in its place" \
    cmp -s "$(aside "$lib")" "${ARCH_BIN[$arch]}/OvraSimPT$arch.dll"
  check "$name: the monitor stands at the library's path" \
    monitor_copy_of "$(host "$lib")" "${ARCH_BIN[$arch]}/OvraJ2534Mon$arch.dll"
  check "$name: the settings say format $format" test "$(setting OutputFormat)" = "0x$format"
  # Varrow writes the log file's name; without it the monitor takes the default in LogFileLocation.
  output=$(setting OutputFile)
  [ -n "$output" ] || output="$(arch_log_location)J2534\\OvraPT$arch.${ARCH_EXTENSION[$format]}"
  log_file=$(host "$output")
  rm -f "$log_file"
  session=$(vci_check_arch "$arch" "OVRA VCI")
  check "$name: VciCheck's session through the monitor succeeds" grep -q '^All steps succeeded' <<<"$session"
  check "$name: the session read the VIN" grep -q 'VIN WOVRA00SIM0000001' <<<"$session"
  check "$name: the session read the stored DTCs of both ECUs" grep -q '7E8: P0301 P0420; 7E9: P0715' <<<"$session"
  check "$name: the session read the serial numbers of both ECUs" \
    grep -q '7E8: EN24031500017; 7E9: TC24031500042' <<<"$session"
  check "$name: the log parses and holds the session's calls" \
    python3 "$ROOT/tests/e2e/check_log.py" "$format" "$log_file" "${CALLS[@]}" --bytes "$VIN_BYTES"
  check "$name: the log decodes the VIN request and its answer" \
    python3 "$ROOT/tests/e2e/check_log.py" "$format" "$log_file" \
      --decoded "OBD mode 09 (vehicle information) request: VIN" \
      --decoded 'response from ECU 1: OBD mode 09 (vehicle information) response: VIN = "WOVRA00SIM0000001"'
  # The HTML log of this session is what the browser test opens.
  if [ "$format$arch" = 432 ]; then mkdir -p "$BUILD/e2e"; cp "$log_file" "$BUILD/e2e/vcicheck-log.html"; fi
  # Each format's log, for comparing the logs of two builds.
  if [ -n "${VARROW_E2E_KEEP_LOGS:-}" ]; then
    cp "$log_file" "$VARROW_E2E_KEEP_LOGS/j2534-log-$format${arch/32/}" 2>/dev/null || true
  fi
done
done
check "32-bit and 64-bit: the 32-bit library stays where it was set aside" \
  cmp -s "$(aside "$PT")" "$PREFIX/simulated-vci.dll"
SETTINGS=$(arch_settings_key 'J2534 API' 32 "$PT")

# VciCheck's list and its failures.
listing=$(vci_check)
monitor_line() { grep -A4 -x -F "  $1" <<<"$listing" | grep -F 'monitor:' | tr -s ' '; }
check "VciCheck lists the OVRA VCI as monitored" test "$(monitor_line 'OVRA VCI' | cut -c1-13)" = " monitor: on "
check "VciCheck lists another device as not monitored" test "$(monitor_line 'Durnow PT-Mini')" = " monitor: off"
exit_code() { local rc=0; wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "$@" </dev/null >/dev/null 2>&1 || rc=$?; echo "$rc"; }
check "VciCheck fails on a library that does not load (a stand-in file)" test "$(exit_code 'Fennick Bridge 2')" = 1
check "VciCheck fails on a device that is not registered" test "$(exit_code 'No Such VCI')" = 1

# The J2534 05.00 VCI, registered as the package registers it; VciCheck's session over 05.00.
PT05='C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT05_32.dll'
R05='HKLM\SOFTWARE\PassThruSupport.05.00\OVRA VCI 05'
cp "$BIN/OvraSim05PT32.dll" "$(host "$PT05")"
for value in "Name|OVRA VCI 05" "Vendor|OVRA" "FunctionLibrary|$PT05"; do
  wine reg add "$R05" /v "${value%%|*}" /t REG_SZ /d "${value#*|}" /f /reg:32 </dev/null >/dev/null 2>&1
done
wine reg add "$R05" /v CAN /t REG_DWORD /d 1 /f /reg:32 </dev/null >/dev/null 2>&1
session05=$(vci_check --v05 "OVRA VCI 05")
check "05.00: VciCheck's session succeeds" grep -q '^All steps succeeded' <<<"$session05"
check "05.00: discovery gives the device, opened by its name" grep -q 'PassThruOpen .*STATUS_NOERROR  OVRA VCI 05' <<<"$session05"
check "05.00: the session read the VIN" grep -q '7E8: VIN WOVRA00SIM0000001' <<<"$session05"
check "05.00: the session read the stored DTCs of both ECUs" grep -q '7E8: P0301 P0420; 7E9: P0715' <<<"$session05"
check "05.00: VciCheck fails on a device that is not registered" test "$(exit_code --v05 'No Such VCI')" = 1

# disable while a session holds the monitor loaded (VciCheck --hold waits for a line).
fifo=$PREFIX/hold.fifo
trap '' PIPE  # a session that ended early must not end this script when it is told to go on
mkfifo "$fifo"
wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" "OVRA VCI" --hold <"$fifo" >"$PREFIX/held.txt" 2>/dev/null &
holder=$!
exec 7>"$fifo"
for _ in $(seq 300); do grep -q 'holding' "$PREFIX/held.txt" && break; sleep 0.1; done
check "disable: a session holds the monitor loaded" grep -q 'holding' "$PREFIX/held.txt"
wine "$DEMO_PROGRAM_EXE" disable </dev/null >/dev/null 2>&1
back() { cmp -s "$(host "$PT")" "$PREFIX/simulated-vci.dll" && [ ! -e "$(aside "$PT")" ]; }
check "disable during a session: the simulated VCI is back byte for byte, nothing aside" back
echo >&7 || true
exec 7>&-
rc=0
wait "$holder" || rc=$?
holder=""
check "disable during a session: the session ends well" test "$rc" = 0
check "disable during a session: its last steps succeeded" grep -q '^All steps succeeded' "$PREFIX/held.txt"

echo "monitoring end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
