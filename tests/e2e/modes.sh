#!/usr/bin/env bash
# End to end: `Varrow.exe disable` and `Varrow.exe uninstall`, run as an
# installer runs them, on a Wine prefix of their own seeded with the demo
# installation (32-bit registry view) and with libraries set aside as
# monitoring leaves them, while a process holds one monitor copy loaded. Prints "N passed, N failed"; exit 1 on a failure.
# Expects what scripts/test.sh sets up: the build and the template prefix.
source "$(dirname "$0")/../../scripts/common.sh"
source "$ROOT/scripts/demo/demo.sh"
source "$ROOT/tests/e2e/checks.sh"

PREFIX=$BUILD/wine-e2e-$$
cleanup() { WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1 || true; rm -rf "$PREFIX"; }
trap cleanup EXIT

w() { WINEPREFIX=$PREFIX wine "$@" </dev/null >/dev/null 2>&1; }
# What each library held when the prefix was seeded (a stand-in text, or a
# built library such as the simulated VCI), kept under $PREFIX/seeded.
keep_seeded() { local win; mkdir -p "$PREFIX/seeded"
                for win in "$@"; do cp "$(host "$win")" "$PREFIX/seeded/${win##*\\}"; done; }
original() { printf '%s' "$PREFIX/seeded/${1##*\\}"; }
holds() { [ -f "$1" ] && cmp -s "$1" "$2"; }
export_key() {  # export_key KEY FILE: the key in the 32-bit view, or "missing"
  WINEPREFIX=$PREFIX wine reg export "$1" "$2" /reg:32 /y </dev/null >/dev/null 2>&1 || echo missing >"$2"
}
snapshot() {  # snapshot NAME: the machine keys the modes read and must not change
  export_key 'HKLM\SOFTWARE\OVRA' "$PREFIX/$1-vendor.reg"
  export_key 'HKLM\SOFTWARE\PassThruSupport.04.04' "$PREFIX/$1-j2534.reg"
}
same_snapshot() { cmp -s "$PREFIX/$1-vendor.reg" "$PREFIX/$2-vendor.reg" &&
                  cmp -s "$PREFIX/$1-j2534.reg" "$PREFIX/$2-j2534.reg"; }
leftovers() {  # leftovers WINPATH: how many leftover copies wait beside the library
  find "$(dirname "$(host "$1")")" -maxdepth 1 -name '~*.varrow-old' | wc -l
}
files_listing() { (cd "$PREFIX/drive_c" && find 'Program Files (x86)' windows/syswow64 -maxdepth 4 \
                   -iname '*.dll' -newer "$PREFIX/.varrow-demo-seeded" -o -iname '_*.dll' | sort) ; }

log "end-to-end run of the command-line modes"
rm -rf "$PREFIX"
demo_prepare_prefix "$PREFIX" >/dev/null 2>&1
PT='C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll'
PDU='C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll'
FNK='C:\Program Files (x86)\Fennick Auto Labs\Bridge 2\fnkpt32.dll'
DRN='C:\Program Files (x86)\Durnow Systems\PT-Mini\dspt0404.dll'
RP_ON='C:\windows\syswow64\FNKRP32.dll'
RP_OFF='C:\windows\syswow64\DRNRP32.dll'
MONITOR=$(host 'C:\Program Files (x86)\OVRA\VCI\Monitor\OvraJ2534Mon32.dll')
keep_seeded "$PT" "$PDU" "$FNK" "$DRN" "$RP_ON" "$RP_OFF"

# Monitoring on, as a switch-on leaves it: the library aside, the monitor copy in its place.
for lib in "$PT" "$PDU" "$FNK" "$RP_ON"; do
  mv "$(host "$lib")" "$(aside "$lib")"
  cp "$MONITOR" "$(host "$lib")"
done
# A diagnostic program has the monitor copy of PT loaded (a real library here).
cp "$BIN/varrow_stub_library.dll" "$(host "$PT")"
MARKER='C:\varrow-holding'
WINEPREFIX=$PREFIX wine "$BIN/varrow_library_holder.exe" "$PT" "$MARKER" </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 300); do [ -e "$(host "$MARKER")" ] && break; sleep 0.1; done
check "a process holds the monitor copy loaded" test -e "$(host "$MARKER")"
# A switch-on that failed half way: the library aside, nothing at its path.
mv "$(host "$DRN")" "$(aside "$DRN")"
w reg add 'HKCU\SOFTWARE\OVRA\OVRA_VCI\DefaultDevice' /v SerialNumber /t REG_DWORD /d 7 /f
snapshot before
export_key 'HKCU\SOFTWARE\OVRA' "$PREFIX/user-before.reg"

w "$DEMO_PROGRAM_EXE" disable
for lib in "$PT" "$PDU" "$FNK" "$DRN" "$RP_ON" "$RP_OFF"; do
  check "disable: ${lib##*\\} is back byte for byte" holds "$(host "$lib")" "$(original "$lib")"
  check "disable: nothing of ${lib##*\\} left aside" test ! -e "$(aside "$lib")"
done
snapshot after-disable
check "disable: the machine keys are unchanged" same_snapshot before after-disable
export_key 'HKCU\SOFTWARE\OVRA' "$PREFIX/user-after.reg"
check "disable: the user's settings are unchanged" cmp -s "$PREFIX/user-before.reg" "$PREFIX/user-after.reg"

check "disable: the loaded monitor copy waits under a leftover name" test "$(leftovers "$PT")" = 1
rm -f "$(host "$MARKER")"
wait "$holder" || true

listing=$(files_listing)
w "$DEMO_PROGRAM_EXE" DISABLE
check "disable twice: nothing changes the second time" test "$listing" = "$(files_listing)"
check "disable twice: the leftover is gone once unloaded" test "$(leftovers "$PT")" = 0

# Uninstall: every loaded user's vendor tree goes, nothing else; then disable.
mv "$(host "$FNK")" "$(aside "$FNK")"
cp "$MONITOR" "$(host "$FNK")"
w reg add 'HKU\.Default\SOFTWARE\OVRA\OVRA_VCI\LastUsed\A' /v X /t REG_SZ /d y /f
w reg add 'HKCU\SOFTWARE\OVRA\Other' /v Keep /t REG_DWORD /d 1 /f
w "$DEMO_PROGRAM_EXE" -quiet uninstall
check "uninstall: the current user's vendor tree is gone" \
  bash -c "! WINEPREFIX='$PREFIX' wine reg query 'HKCU\\SOFTWARE\\OVRA\\OVRA_VCI' </dev/null >/dev/null 2>&1"
check "uninstall: the default user's vendor tree is gone" \
  bash -c "! WINEPREFIX='$PREFIX' wine reg query 'HKU\\.Default\\SOFTWARE\\OVRA\\OVRA_VCI' </dev/null >/dev/null 2>&1"
check "uninstall: other keys of the vendor stay" \
  bash -c "WINEPREFIX='$PREFIX' wine reg query 'HKCU\\SOFTWARE\\OVRA\\Other' /v Keep </dev/null >/dev/null 2>&1"
check "uninstall: then disables" holds "$(host "$FNK")" "$(original "$FNK")"
snapshot after-uninstall
check "uninstall: the machine keys are unchanged" same_snapshot before after-uninstall

echo "command-line modes: $passed passed, $failed failed"
[ "$failed" = 0 ]
