# The installer end to end's checks of both registry views (sourced by
# tests/e2e/installer.sh, which sets PREFIX, PACKAGE (x86 or x64), BIN, BIN64
# and the check helpers): the D-PDU root description file of each view, the
# 64-bit half of the x64 package, another maker's 64-bit J2534 library, and
# VciCheck's listing per view.

DIR64='C:\Program Files\OVRA\VCI'
PT64="$DIR64\\J2534\\OvraPT64.dll"
PDU64="$DIR64\\PDU\\OvraPdu64.dll"
FNK64='C:\Program Files\Fennick Auto Labs\Bridge 2\fnkpt64.dll'
ROOT32='C:\ProgramData\Fennick Auto Labs\pdu_api_root.xml'
ROOT64='C:\Program Files\Fennick Auto Labs\pdu_api_root.xml'

# views VIEW...: the views the package writes: 32, and 64 for the x64 package.
package_views() { if [ "$PACKAGE" = x64 ]; then echo 32 64; else echo 32; fi; }
root_of() { if [ "$1" = 64 ]; then echo "$ROOT64"; else echo "$ROOT32"; fi; }
reg_value_in() {  # reg_value_in VIEW KEY NAME
  wine reg query "$2" /v "$3" /reg:"$1" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$3 *REG_[A-Z_]* *//p"
}

# Before the install: another maker's root file in each view (CRLF, its own
# layout), and for the x64 package its 64-bit J2534 library, registered in the
# native view.
views_seed() {
  local view file
  for view in 32 64; do
    file=$(host "$(root_of "$view")")
    mkdir -p "$(dirname "$file")"
    printf '<?xml version="1.0" encoding="utf-8"?>\r\n<!-- Fennick D-PDU -->\r\n<MVCI_PDU_API_ROOT>\r\n\t<MVCI_PDU_API>\r\n\t\t<SHORT_NAME>FNK_BRIDGE_%s</SHORT_NAME>\r\n\t\t<LIBRARY_FILE URI="file:///C:/Fennick/fnkpdu%s.dll"/>\r\n\t</MVCI_PDU_API>\r\n</MVCI_PDU_API_ROOT>\r\n' \
      "$view" "$view" >"$file"
    cp "$file" "$PREFIX/root$view-before.xml"
    wine reg add 'HKLM\SOFTWARE\D-PDU API' /v 'Root File' /t REG_SZ /d "$(root_of "$view")" /reg:$view /f \
      </dev/null >/dev/null 2>&1
  done
  [ "$PACKAGE" = x64 ] || return 0
  mkdir -p "$(dirname "$(host "$FNK64")")"
  cp "$BIN64/OvraSimPT64.dll" "$(host "$FNK64")"
  cp "$(host "$FNK64")" "$PREFIX/fnk64-before.dll"
  local k='HKLM\SOFTWARE\PassThruSupport.04.04\Fennick Bridge 2'
  wine reg add "$k" /v Name /t REG_SZ /d 'Fennick Bridge 2' /reg:64 /f </dev/null >/dev/null 2>&1
  wine reg add "$k" /v Vendor /t REG_SZ /d 'Fennick Auto Labs' /reg:64 /f </dev/null >/dev/null 2>&1
  wine reg add "$k" /v FunctionLibrary /t REG_SZ /d "$FNK64" /reg:64 /f </dev/null >/dev/null 2>&1
  views_export before
}

# views_export TAG: the native view's keys the package touches, for before/after.
views_export() {
  local key name
  for key in 'HKLM\SOFTWARE\OVRA' 'HKLM\SOFTWARE\PassThruSupport.04.04' 'HKLM\SOFTWARE\PassThruSupport.05.00' \
             'HKLM\SOFTWARE\D-PDU API'; do
    name=${key##*\\}
    wine reg export "$key" "$PREFIX/native-$name-$1.reg" /reg:64 /y </dev/null >/dev/null 2>&1 ||
      echo missing >"$PREFIX/native-$name-$1.reg"
  done
}

# The other maker's entry, byte for byte, still in the file.
other_entry_kept() {
  python3 - "$1" "$2" <<'EOF'
import sys
before, now = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()
start = before.index(b'\t<MVCI_PDU_API>'); end = before.index(b'</MVCI_PDU_API>') + 15
sys.exit(0 if before[start:end] in now and now.startswith(before[:start]) else 1)
EOF
}

# After an install: each view's root file holds our entry, naming that view's
# library and the description files, beside the other maker's untouched one;
# the x64 package's 64-bit files and native registrations.
views_check_installed() {
  local view file lib
  for view in $(package_views); do
    file=$(host "$(root_of "$view")")
    if [ "$view" = 64 ]; then lib='file:///C:/Program%20Files/OVRA/VCI/PDU/OvraPdu64.dll'
    else lib='file:///C:/Program%20Files%20%28x86%29/OVRA/VCI/PDU/OvraPdu32.dll'; fi
    check "$1: the $view-bit view's root file holds our entry" grep -q '<SHORT_NAME>OVRA_VCI</SHORT_NAME>' "$file"
    check "$1: our $view-bit entry names the $view-bit library" grep -q -F "<LIBRARY_FILE URI=\"$lib\"/>" "$file"
    check "$1: our $view-bit entry names the module description file" grep -q -F "${lib%OvraPdu*}OvraVci_MDF.xml" "$file"
    check "$1: the other maker's $view-bit entry is untouched" other_entry_kept "$PREFIX/root$view-before.xml" "$file"
    check "$1: the $view-bit view's Root File value is the other maker's" \
      test "$(reg_value_in "$view" 'HKLM\SOFTWARE\D-PDU API' 'Root File')" = "$(root_of "$view")"
  done
  check "$1: the cable description file" test -f "$(host "$DIR\\PDU\\OvraVci_CDF.xml")"
  [ "$PACKAGE" = x64 ] || return 0
  local f
  for f in VciCheck64.exe J2534\\OvraPT64.dll PDU\\OvraPdu64.dll PDU\\OvraVci_MDF.xml Monitor\\OvraJ2534Mon64.dll \
           Monitor\\OvraPduMon64.dll; do
    check "$1: 64-bit $f" test -f "$(host "$DIR64\\$f")"
  done
  check "$1: the native J2534 registration names the 64-bit library" \
    test "$(reg_value_in 64 'HKLM\SOFTWARE\PassThruSupport.04.04\OVRA VCI' FunctionLibrary)" = "$PT64"
  check "$1: the 32-bit J2534 registration names the 32-bit library" \
    test "$(reg_value_in 32 'HKLM\SOFTWARE\PassThruSupport.04.04\OVRA VCI' FunctionLibrary)" = "$PT"
  check "$1: the native vendor D-PDU key names the 64-bit library" \
    test "$(reg_value_in 64 'HKLM\SOFTWARE\OVRA\OVRA_VCI\PDU API Support' FunctionLibrary)" = "$PDU64"
  check "$1: MonitorLibrary64 (J2534, 32-bit view)" \
    test "$(reg_value_in 32 'HKLM\SOFTWARE\OVRA\OVRA_VCI\DefaultSettings\Monitoring\J2534 API' MonitorLibrary64)" = "$DIR64\\Monitor\\OvraJ2534Mon64.dll"
  check "$1: MonitorLibrary64 (D-PDU, 32-bit view)" \
    test "$(reg_value_in 32 'HKLM\SOFTWARE\OVRA\OVRA_VCI\DefaultSettings\Monitoring\PDU API' MonitorLibrary64)" = "$DIR64\\Monitor\\OvraPduMon64.dll"
  check "$1: no MonitorLibrary64 in the native view" \
    test -z "$(reg_value_in 64 'HKLM\SOFTWARE\OVRA\OVRA_VCI\DefaultSettings\Monitoring\J2534 API' MonitorLibrary64)"
}

# VciCheck's listing per view.
views_check_listing() {
  wine "$(host "$DIR\\VciCheck.exe")" --list </dev/null >"$PREFIX/list.txt" 2>/dev/null
  tr -d '\r' <"$PREFIX/list.txt" >"$PREFIX/list-lf.txt"
  check "VciCheck --list: the 32-bit view's OVRA VCI library, found, i386" \
    grep -q -F "library:  $PT  (found, i386)" "$PREFIX/list-lf.txt"
  check "VciCheck --list: the 32-bit root file's entries" grep -q -F "D-PDU root file $ROOT32: 2 entries" "$PREFIX/list-lf.txt"
  check "VciCheck --list: a missing library is a finding" grep -q -F 'fnkpdu32.dll  (missing)' "$PREFIX/list-lf.txt"
  [ "$PACKAGE" = x64 ] || return 0
  check "VciCheck --list: the native view is listed" grep -q '^native 64-bit view:' "$PREFIX/list-lf.txt"
  check "VciCheck --list: the native OVRA VCI library, found, AMD64" \
    grep -q -F "library:  $PT64  (found, AMD64)" "$PREFIX/list-lf.txt"
  check "VciCheck --list: the native root file's entries" grep -q -F "D-PDU root file $ROOT64: 2 entries" "$PREFIX/list-lf.txt"
  wine "$(host "$DIR64\\VciCheck64.exe")" --list </dev/null 2>/dev/null | tr -d '\r' >"$PREFIX/list64.txt"
  check "VciCheck64 --list: the same libraries, found, of the same types" \
    bash -c 'grep -q -F "library:  $1  (found, AMD64)" "$3" && grep -q -F "library:  $2  (found, i386)" "$3"' \
    _ "$PT64" "$PT" "$PREFIX/list64.txt"
}

# Monitoring on in the native view, by hand (the 64-bit monitor in place of
# the other maker's 64-bit library and of ours, the originals set aside).
views_monitor_by_hand() {
  [ "$PACKAGE" = x64 ] || return 0
  local lib
  for lib in "$FNK64" "$PT64"; do
    mv "$(host "$lib")" "$(aside "$lib")"
    cp "$(host "$DIR64\\Monitor\\OvraJ2534Mon64.dll")" "$(host "$lib")"
  done
  check "64-bit monitoring on: the other maker's 64-bit library is set aside" same "$(aside "$FNK64")" "$PREFIX/fnk64-before.dll"
}

# After the removal: each view's root file is the other maker's again, byte
# for byte; the native view's keys and the 64-bit library are as before.
views_check_removed() {
  local view
  for view in 32 64; do
    check "$1: the $view-bit view's root file is as before, byte for byte" \
      same "$PREFIX/root$view-before.xml" "$(host "$(root_of "$view")")"
  done
  [ "$PACKAGE" = x64 ] || return 0
  check "$1: the other maker's 64-bit library is back byte for byte" same "$(host "$FNK64")" "$PREFIX/fnk64-before.dll"
  check "$1: nothing of it is left aside" test ! -e "$(aside "$FNK64")"
  views_export after
  local name
  for name in OVRA PassThruSupport.04.04 PassThruSupport.05.00 'D-PDU API'; do
    check "$1: the native view's $name is as before" same "$PREFIX/native-$name-before.reg" "$PREFIX/native-$name-after.reg"
  done
  check "$1: the native Program Files holds no file of the package" \
    test -z "$(find "$(host "$DIR64")" -type f 2>/dev/null)"
}

# After everything: a 64-bit library registered in the 32-bit view is a
# finding of VciCheck's listing, not a crash (a header made here: "MZ", the
# offset of "PE\0\0" and the AMD64 machine field).
views_check_mismatch() {
  local lib='C:\Diagnostics\wrong64.dll' k='HKLM\SOFTWARE\PassThruSupport.04.04\Wrong Bitness'
  { printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00PE\x00\x00\x64\x86'; } >"$(host "$lib")"
  wine reg add "$k" /v FunctionLibrary /t REG_SZ /d "$lib" /reg:32 /f </dev/null >/dev/null 2>&1
  wine "$DIAG" --list </dev/null 2>/dev/null | tr -d '\r' >"$PREFIX/list-wrong.txt"
  check "VciCheck --list: a 64-bit library in the 32-bit view is a finding" \
    grep -q -F "$lib  (found, AMD64: does not fit the 32-bit view)" "$PREFIX/list-wrong.txt"
  check "VciCheck --list: with findings, exit code 1" \
    bash -c 'wine "$1" --list </dev/null >/dev/null 2>&1; test $? = 1' _ "$DIAG"
  wine reg delete "$k" /reg:32 /f </dev/null >/dev/null 2>&1
}

# A repair with a link in the place of the 32-bit view's root file (to a copy
# of the other maker's file without our entry): the file it names is left
# byte for byte, and the MSI log says so; then the file is put back.
views_check_link() {
  local file target
  file=$(host "$ROOT32")
  target=$PREFIX/drive_c/windows/root-target.xml
  cp "$file" "$PREFIX/root32-installed.xml"
  cp "$PREFIX/root32-before.xml" "$target"
  rm -f "$file"
  ln -s "$target" "$file"
  check "a link in the root file's place: the repair succeeds" \
    test "$(msi /i "$(winpath "$msi_old")" /l\*v "$(winpath "$PREFIX/repair.log")")" = 0
  check "a link in the root file's place: what it names is untouched" same "$target" "$PREFIX/root32-before.xml"
  check "a link in the root file's place: the MSI log says it is left alone" \
    grep -a -q 'PduRootAdd: 32-bit view: left alone' "$PREFIX/repair.log"
  rm -f "$file" "$target"
  cp "$PREFIX/root32-installed.xml" "$file"
}

# The MSI's components: the 64-bit half's with the 64-bit bit (256), every
# other one without it (msiinfo's Component table).
views_check_components() {
  local want64=' Check64 J2534Library64 J2534V05Library64 PduLibrary64 Monitors64 NativeValues VendorFolder64 '
  local bad
  bad=$(msiinfo export "$1" Component | awk -F'\t' 'NR > 3 {print $1, $4}' | while read -r id attributes; do
    if [[ $want64 == *" $id "* ]]; then (( attributes & 256 )) || echo "$id"; else (( attributes & 256 )) && echo "$id"; fi
  done)
  check "the $PACKAGE MSI's components have the right 64-bit bit (${bad:-all})" test -z "$bad"
}
