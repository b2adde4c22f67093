#!/usr/bin/env bash
# End to end: the package's MSI under Wine's msiexec, on a prefix of its own
# where another maker's J2534 interface is installed. Install quietly (twice),
# check files, registry (32-bit view), log folder, Start menu and Programs and
# Features; switch monitoring on through Varrow's dialog for the OVRA VCI and
# the other maker's library; a VciCheck session; a major upgrade to the build's
# MSI from an older one whose monitor libraries differ: the user's settings and
# monitoring stay, and the monitor copies are the new ones; then removal while
# Varrow runs and a diagnostic session holds the monitor loaded: Varrow is
# closed, every library is back, no user keeps the program's settings, the
# package's files and keys are gone and the other maker's are as before; and
# removal twice. The package is the one for 64-bit Windows (x64) when the build
# made it, else the 32-bit one: with x64, also the 64-bit files and the native
# view's registrations, another maker's 64-bit library monitored by hand
# through the upgrade and the removal; with either, the D-PDU root
# description file of each view (another maker's, seeded before the install:
# our entry beside his, his file byte for byte as before after the removal)
# and VciCheck's listing per view (installer_views.sh). Prints "N passed, N
# failed"; exit 1 on a failure. Expects the build (with the MSI) and the
# template prefix (scripts/test.sh).
source "$(dirname "$0")/../../scripts/common.sh"
source "$ROOT/scripts/demo/demo.sh"
source "$ROOT/tests/e2e/checks.sh"
source "$ROOT/tests/e2e/installer_views.sh"
set +e +o pipefail  # the checks decide; a failing step must not end the run unreported

export LC_ALL=C.UTF-8  # the English dialog, whose title demo.sh knows
export WINEPREFIX=$BUILD/wine-e2e-installer-$$
PREFIX=$WINEPREFIX
DIR='C:\Program Files (x86)\OVRA\VCI'
PT="$DIR\\J2534\\OvraPT32.dll"
PDU="$DIR\\PDU\\OvraPdu32.dll"
FNK='C:\Program Files (x86)\Fennick Auto Labs\Bridge 2\fnkpt32.dll'
USER_KEY='HKCU\SOFTWARE\OVRA\OVRA_VCI'
PT_SETTINGS="$USER_KEY\\Monitoring\\J2534 API\\C:_Program Files (x86)_OVRA_VCI_J2534_OvraPT32.dll"
DIAG='C:\Diagnostics\VciCheck.exe'  # a diagnostic application of its own folder

holder="" program=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  [ -n "$program" ] && kill "$program" 2>/dev/null
  wineserver -k >/dev/null 2>&1 || true
  stop_screen
  rm -rf "$PREFIX"
}
trap cleanup EXIT

msi_new=$(demo_msi) || { echo "installer end to end: no MSI was built" >&2; exit 1; }
msi_new=${msi_new%-x64.msi}; msi_new=${msi_new%.msi}.msi  # the 32-bit package
new_version=$(basename "$msi_new" .msi); new_version=${new_version#OvraVci-}
BIN64=${BIN64:-$ROOT/build/mingw64/bin}
PACKAGE=x86
if [ -f "${msi_new%.msi}-x64.msi" ]; then
  PACKAGE=x64 msi_new=${msi_new%.msi}-x64.msi
else
  echo "installer end to end: no x64 MSI was built: the 32-bit package only" >&2
fi
log "the package: $PACKAGE"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
msi() { local rc=0; demo_msiexec "$PREFIX" "$@" || rc=$?; echo "$rc"; }
reg_value() {  # reg_value KEY NAME: the value's data as reg query shows it (32-bit view)
  wine reg query "$1" /v "$2" /reg:32 </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
key_missing() { ! wine reg query "$1" /reg:32 </dev/null >/dev/null 2>&1; }
export_key() {  # export_key KEY FILE: the key in the 32-bit view, or "missing"
  wine reg export "$1" "$2" /reg:32 /y </dev/null >/dev/null 2>&1 || echo missing >"$2"
}
# The package's entry in Programs and Features (either registry view): its version.
arp_versions() {
  local view key
  for view in 32 64; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:$view \
      </dev/null 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/{name=""} /DisplayName/ && /OVRA VCI Driver Package/{name=1}
           /DisplayVersion/{v=$NF} /^$/{if(name&&v)print v; name=""; v=""}'
  done | sort -u
}
# What is on the disk outside Wine's own folders, with checksums, for before/after.
disk_listing() {
  (cd "$PREFIX/drive_c" && find 'Program Files (x86)' 'Program Files' ProgramData Diagnostics \
     windows/syswow64/FNKRP32.dll windows/syswow64/DRNRP32.dll -type f ! -path 'ProgramData/Microsoft/*' 2>/dev/null |
     grep -v -i -E '^Program Files( \(x86\))?/(Common Files|Internet Explorer|Windows)' | sort |
     while IFS= read -r f; do printf '%s %s\n' "$(md5sum <"$f" | cut -c1-32)" "$f"; done)
}
same() { cmp -s "$1" "$2"; }
# The Start menu folder: the all-users one, or the user's where Wine puts it.
menu_entries() { find "$PREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs" \
                      "$PREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs \
                      -path '*/OVRA VCI*' 2>/dev/null; }

log "end-to-end run of the package's MSI"
rm -rf "$PREFIX"
ensure_template
clone_prefix "$PREFIX"

# An older package from the same source: a lower version, and monitor libraries
# that differ from the build's (a few bytes past their end, which Windows ignores).
old_bin=$PREFIX/old-bin
mkdir -p "$old_bin"
cp "$BIN"/Varrow.exe "$BIN"/Varrow-*.dll "$BIN"/Pellor-*.chm "$BIN"/VciCheck.exe "$BIN"/Ovra*.dll "$old_bin/"
for m in OvraJ2534Mon32.dll OvraPduMon32.dll; do printf 'older build' >>"$old_bin/$m"; done
old_bin64=
if [ "$PACKAGE" = x64 ]; then
  old_bin64=$PREFIX/old-bin64
  mkdir -p "$old_bin64"
  cp "$BIN64"/VciCheck64.exe "$BIN64"/Ovra*64.dll "$old_bin64/"
  for m in OvraJ2534Mon64.dll OvraPduMon64.dll; do printf 'older build' >>"$old_bin64/$m"; done
fi
msi_old=$PREFIX/OvraVci-1.0.0.msi
check "an older MSI builds from the same source" \
  bash "$ROOT/installer/build-msi.sh" 1.0.0 "$msi_old" "$old_bin" "$BUILD/installer/VarrowSetup.dll" $old_bin64
template=Intel; [ "$PACKAGE" = x64 ] && template=x64
check "the MSI is the $PACKAGE package" bash -c 'msiinfo suminfo "$1" | grep -q "^Template: $2;"' _ "$msi_new" "$template"
views_check_components "$msi_new"

# Another maker's interface, installed before the package; a diagnostic application.
views_seed
demo_seed_others "$PREFIX"  # (waits for the Wine server to end: the screen comes after)
start_screen
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
mkdir -p "$(dirname "$(host "$DIAG")")"
cp "$BIN/VciCheck.exe" "$(host "$DIAG")"
cp "$(host "$FNK")" "$PREFIX/fnk-before.dll"
export_key 'HKLM\SOFTWARE\PassThruSupport.04.04' "$PREFIX/j2534-before.reg"
export_key 'HKLM\SOFTWARE\OVRA' "$PREFIX/vendor-before.reg"
disk_listing >"$PREFIX/disk-before.txt"
# A standard user squatted the log folder before the first install and made
# its J2534 folder a link to a folder of the system.
victim=$PREFIX/drive_c/windows/victim
mkdir -p "$victim" "$PREFIX/drive_c/ProgramData/OVRA/Logs"
printf 'keep me' >"$victim/file.txt"
ln -s "$victim" "$PREFIX/drive_c/ProgramData/OVRA/Logs/J2534"

# Install, and install again.
check "install: msiexec /i /qn succeeds" \
  test "$(msi /i "$(winpath "$msi_old")" /l\*v "$(winpath "$PREFIX/install.log")")" = 0
LOGS=$PREFIX/drive_c/ProgramData/OVRA/Logs
check "install: the log folder holding the link is moved aside, the link in it" test -L "$LOGS.untrusted-1/J2534"
check "install: the J2534 log folder is a folder of its own" bash -c 'test -d "$1" && ! test -L "$1"' _ "$LOGS/J2534"
check "install: the D-PDU log folder" bash -c 'test -d "$1" && ! test -L "$1"' _ "$LOGS/PDU"
check "install: the linked folder is untouched" test "$(ls -A "$victim")" = file.txt
check "install: the MSI log says so" grep -a -q 'Logs (holds a link) moved aside to' "$PREFIX/install.log"
for f in Varrow.exe VciCheck.exe Varrow-en.dll Varrow-de.dll Pellor-en.chm J2534\\OvraPT32.dll \
         PDU\\OvraPdu32.dll Monitor\\OvraJ2534Mon32.dll Monitor\\OvraPduMon32.dll; do
  check "install: $f" test -f "$(host "$DIR\\$f")"
done
check "install: the J2534 library is the simulated VCI" same "$(host "$PT")" "$old_bin/OvraSimPT32.dll"
check "install: the D-PDU library is the simulated D-PDU VCI" same "$(host "$PDU")" "$old_bin/OvraSimPdu32.dll"
M='HKLM\SOFTWARE\OVRA\OVRA_VCI'
R='HKLM\SOFTWARE\PassThruSupport.04.04\OVRA VCI'
while IFS='|' read -r key name want; do
  check "install: $key $name = $want" test "$(reg_value "$key" "$name")" = "$want"
done <<EOT
$M|LogFileLocation|C:\\ProgramData\\OVRA\\Logs\\
$M|DLLLocation|$DIR
$M|Brand|tln
$M\\PDU API Support|FunctionLibrary|$PDU
$M\\DefaultSettings\\Monitoring\\J2534 API|MonitorLibrary|$DIR\\Monitor\\OvraJ2534Mon32.dll
$M\\DefaultSettings\\Monitoring\\PDU API|MonitorLibrary|$DIR\\Monitor\\OvraPduMon32.dll
$M\\DefaultSettings\\Monitoring\\PDU API|StoreWithPrimaryAPI|0x1
$M\\DefaultSettings\\Monitoring\\J2534 API\\MessageSizes|MessageSize03|0x1000
$M\\DefaultSettings\\AutoConnectionOrder\\Connection02|Enabled|0x1
$R|FunctionLibrary|$PT
$R|ConfigApplication|$DIR\\Varrow.exe
$R|PDUAPISupported|0x1
$R|CAN|0x1
$R|ISO15765|0x1
$R|J1850VPW|0x0
EOT
check "install: the J2534 API defaults have an empty OutputFile" \
  bash -c "wine reg query '$M\\DefaultSettings\\Monitoring\\J2534 API' /v OutputFile /reg:32 </dev/null 2>/dev/null | grep -q REG_SZ"
check "install: the log folder" test -d "$(host 'C:\ProgramData\OVRA\Logs')"
menu_has_entry() { menu_entries | grep -q '/OVRA VCI/Varrow\.lnk$'; }
check "install: the Start menu entry" menu_has_entry
check "install: Programs and Features shows version 1.0.0" test "$(arp_versions)" = 1.0.0
views_check_installed install
export_key 'HKLM\SOFTWARE\OVRA' "$PREFIX/vendor-installed.reg"
disk_listing >"$PREFIX/disk-installed.txt"
check "install twice: msiexec succeeds" test "$(msi /i "$(winpath "$msi_old")")" = 0
export_key 'HKLM\SOFTWARE\OVRA' "$PREFIX/vendor-twice.reg"
check "install twice: the registry is unchanged" same "$PREFIX/vendor-installed.reg" "$PREFIX/vendor-twice.reg"
check "install twice: the files are unchanged" test "$(disk_listing)" = "$(cat "$PREFIX/disk-installed.txt")"
views_check_link

# Monitoring on through Varrow, for the OVRA VCI (HTML) and the other maker's library.
tab=$(demo_device_tab 'OVRA VCI') || true
check "monitoring on for the OVRA VCI through the dialog" demo_apply_monitoring 4 "${tab:-0}" tick
tab=$(demo_device_tab 'Fennick Bridge 2') || true
check "monitoring on for the other maker's library through the dialog" demo_apply_monitoring 1 "${tab:-0}" tick
check "monitoring on: the OVRA VCI's library is set aside" same "$(aside "$PT")" "$old_bin/OvraSimPT32.dll"
check "monitoring on: the older monitor stands in its place" monitor_copy_of "$(host "$PT")" "$old_bin/OvraJ2534Mon32.dll"
check "monitoring on: the other maker's library is set aside" same "$(aside "$FNK")" "$PREFIX/fnk-before.dll"
session() { local rc=0; wine "$DIAG" "OVRA VCI" </dev/null >"$PREFIX/session.txt" 2>/dev/null || rc=$?; echo "$rc"; }
check "a VciCheck session through the monitor succeeds" test "$(session)" = 0
check "the session is logged" test -s "$(host 'C:\ProgramData\OVRA\Logs\J2534\OvraPT32.html')"
views_check_listing
views_monitor_by_hand
export_key "$USER_KEY" "$PREFIX/user-before-upgrade.reg"

# A standard user plants the list that older packages kept in a file any user
# could write, naming a file of the system: the upgrade never reads it.
mkdir -p "$PREFIX/drive_c/ProgramData/OVRA/Setup"
printf '\xff\xfeJ\x002\x005\x003\x004\x00\t\x00C\x00:\x00\\\x00w\x00i\x00n\x00d\x00o\x00w\x00s\x00\\\x00v\x00i\x00c\x00t\x00i\x00m\x00\\\x00f\x00i\x00l\x00e\x00.\x00t\x00x\x00t\x00' \
  >"$PREFIX/drive_c/ProgramData/OVRA/Setup/monitored.txt"
# The upgrade to the build's MSI.
check "upgrade: msiexec /i of the newer MSI succeeds" test "$(msi /i "$(winpath "$msi_new")")" = 0
check "upgrade: Programs and Features shows only the new version" test "$(arp_versions)" = "$new_version"
check "upgrade: the OVRA VCI stays monitored, its library the new one" same "$(aside "$PT")" "$BIN/OvraSimPT32.dll"
check "upgrade: the monitor copy is the new monitor" monitor_copy_of "$(host "$PT")" "$BIN/OvraJ2534Mon32.dll"
check "upgrade: the other maker's library stays set aside" same "$(aside "$FNK")" "$PREFIX/fnk-before.dll"
check "upgrade: the other maker's monitor copy is the new monitor" monitor_copy_of "$(host "$FNK")" "$BIN/OvraJ2534Mon32.dll"
check "upgrade: the package's monitor is the new one" same "$(host "$DIR\\Monitor\\OvraJ2534Mon32.dll")" "$BIN/OvraJ2534Mon32.dll"
check "upgrade: the D-PDU library is unmonitored and the new one" same "$(host "$PDU")" "$BIN/OvraSimPdu32.dll"
views_check_installed upgrade
if [ "$PACKAGE" = x64 ]; then
  check "upgrade: the other maker's 64-bit library stays set aside" same "$(aside "$FNK64")" "$PREFIX/fnk64-before.dll"
  check "upgrade: its monitor copy is the new 64-bit monitor" monitor_copy_of "$(host "$FNK64")" "$BIN64/OvraJ2534Mon64.dll"
  check "upgrade: the OVRA VCI's 64-bit library is the new one, set aside" same "$(aside "$PT64")" "$BIN64/OvraSimPT64.dll"
fi
export_key "$USER_KEY" "$PREFIX/user-after-upgrade.reg"
check "upgrade: the user's settings are unchanged" same "$PREFIX/user-before-upgrade.reg" "$PREFIX/user-after-upgrade.reg"
check "upgrade: the user's monitoring settings are there" test "$(reg_value "$PT_SETTINGS" OutputFormat)" = 0x4
no_setup_leftovers() {  # no list in the machine hive, no monitor copy kept aside
  test -z "$(reg_value 'HKLM\SOFTWARE\OVRA\OVRA_VCI' SetupMonitoredLibraries)" &&
    test -z "$(find "$PREFIX/drive_c" -name '~*.00000000*.varrow-old' 2>/dev/null)"
}
check "upgrade: no list and no kept copy are left behind" no_setup_leftovers
check "upgrade: the file a planted list names is untouched" \
  bash -c 'test "$(ls -A "$1")" = file.txt && test "$(cat "$1/file.txt")" = "keep me"' _ "$victim"
rm -rf "$PREFIX/drive_c/ProgramData/OVRA/Setup"
check "upgrade: a session through the new monitor succeeds" test "$(session)" = 0

# A removal that fails at its very end (VARROWFAILATEND makes the last
# deferred action fail) rolls back: monitoring is on again with the very same
# monitor copy, and every user keeps the settings.
wine reg add 'HKU\.Default\SOFTWARE\OVRA\OVRA_VCI\LastUsed\A' /v X /t REG_SZ /d y /f </dev/null >/dev/null 2>&1
export_key "$USER_KEY" "$PREFIX/user-before-failure.reg"
cp "$(host "$FNK")" "$PREFIX/fnk-copy-before.dll"
cp "$(host "$PT")" "$PREFIX/pt-copy-before.dll"
rc=$(msi /x "$(winpath "$msi_new")" VARROWFAILATEND=1)
# (1603, "fatal error", as the shell sees it: 1603 & 255.)
check "failed removal: msiexec reports the failure (code $rc)" test "$rc" = $((1603 & 255))
export_key "$USER_KEY" "$PREFIX/user-after-failure.reg"
check "failed removal: the user's settings are there" same "$PREFIX/user-before-failure.reg" "$PREFIX/user-after-failure.reg"
check "failed removal: the default user's too" test "$(reg_value 'HKU\.Default\SOFTWARE\OVRA\OVRA_VCI\LastUsed\A' X)" = y
# Windows Installer runs the rollback actions (RestoreMonitoring) and restores
# the removed files and registration; Wine's msiexec does neither (it leaves
# the package half removed), so the install that follows finds the list and
# the kept copies and does what the rollback would have.
check "failed removal: installing again succeeds" test "$(msi /i "$(winpath "$msi_new")")" = 0
check "failed removal: the other maker's library is set aside again" same "$(aside "$FNK")" "$PREFIX/fnk-before.dll"
check "failed removal: the same monitor copy stands in its place" same "$(host "$FNK")" "$PREFIX/fnk-copy-before.dll"
check "failed removal: the OVRA VCI is monitored again" same "$(aside "$PT")" "$BIN/OvraSimPT32.dll"
check "failed removal: by the same monitor copy" same "$(host "$PT")" "$PREFIX/pt-copy-before.dll"
check "failed removal: no list and no kept copy are left behind" no_setup_leftovers

# Removal while Varrow runs and a diagnostic session holds the monitor loaded.
wine "$DEMO_PROGRAM_EXE" </dev/null >/dev/null 2>&1 &
program=$!
check "removal: Varrow runs" demo_helper wait "$DEMO_TITLE"
fifo=$PREFIX/hold.fifo
trap '' PIPE
mkfifo "$fifo"
wine "$DIAG" "OVRA VCI" --hold <"$fifo" >"$PREFIX/held.txt" 2>/dev/null &
holder=$!
exec 7>"$fifo"
for _ in $(seq 300); do grep -q 'holding' "$PREFIX/held.txt" && break; sleep 0.1; done
check "removal: a session holds the monitor loaded" grep -q 'holding' "$PREFIX/held.txt"
rc=$(msi /x "$(winpath "$msi_new")")
check "removal: msiexec /x succeeds (code $rc)" test "$rc" = 0 -o "$rc" = 3010
check "removal: Varrow was told to close and ended" bash -c "! kill -0 $program 2>/dev/null"
kill "$program" 2>/dev/null  # when it did not
wait "$program" 2>/dev/null || true
program=""
echo >&7 || true
exec 7>&-
rc=0
wait "$holder" || rc=$?
holder=""
check "removal: the held session ends well" test "$rc" = 0
check "removal: the held session's last steps succeeded" grep -q '^All steps succeeded' "$PREFIX/held.txt"
check "removal: the other maker's library is back byte for byte" same "$(host "$FNK")" "$PREFIX/fnk-before.dll"
check "removal: nothing of it is left aside" test ! -e "$(aside "$FNK")"
check "removal: no user keeps the program's settings" key_missing "$USER_KEY"
check "removal: nor the default user" key_missing 'HKU\.Default\SOFTWARE\OVRA\OVRA_VCI'
export_key 'HKLM\SOFTWARE\OVRA' "$PREFIX/vendor-after.reg"
check "removal: the package's machine keys are gone" same "$PREFIX/vendor-before.reg" "$PREFIX/vendor-after.reg"
diff <(iconv -f UTF-16LE -t UTF-8 "$PREFIX/vendor-before.reg" 2>/dev/null || cat "$PREFIX/vendor-before.reg") \
     <(iconv -f UTF-16LE -t UTF-8 "$PREFIX/vendor-after.reg" 2>/dev/null || cat "$PREFIX/vendor-after.reg") >&2 || true
export_key 'HKLM\SOFTWARE\PassThruSupport.04.04' "$PREFIX/j2534-after.reg"
check "removal: the J2534 registrations are as before" same "$PREFIX/j2534-before.reg" "$PREFIX/j2534-after.reg"
views_check_removed removal
check "removal: Programs and Features no longer lists the package" test -z "$(arp_versions)"
check "removal: the Start menu entry is gone" test -z "$(menu_entries)"
# What the held session kept loaded goes at the next restart; the rest now.
pending() { wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
              /v PendingFileRenameOperations </dev/null 2>/dev/null | tr -d '\r'; }
held_left=$(cd "$PREFIX/drive_c" && find 'Program Files (x86)/OVRA' -type f -printf '%f\n' 2>/dev/null)
not_held() { grep -v -E '^(~OvraPT32\.dll\.[0-9a-fA-F]+\.varrow-old|OvraPT32\.dll(\.[0-9]+-[0-9]+\.removed)?)?$' <<<"$held_left"; }
check "removal: the package's files are gone, but what the session holds (${held_left//$'\n'/, })" \
  test -z "$(not_held)"
for f in $held_left; do
  check "removal: $f, held, is deleted at the next restart" bash -c 'grep -q -F "$1" <<<"$2"' _ "$f" "$(pending)"
done
disk_listing | grep -v -E '^[0-9a-f]+ (Program Files( \(x86\))?/OVRA/|ProgramData/OVRA/Logs/)' >"$PREFIX/disk-after.txt"
check "removal: the disk is as before, logs aside" same "$PREFIX/disk-before.txt" "$PREFIX/disk-after.txt"
diff "$PREFIX/disk-before.txt" "$PREFIX/disk-after.txt" >&2 || true

# Removal twice: the package is not installed any more, nothing changes.
rc=$(msi /x "$(winpath "$msi_new")")
# (Windows Installer answers 1605, "not installed"; Wine's msiexec 0.)
check "removal twice: msiexec ends without an error (code $rc)" test "$rc" = 1605 -o "$rc" = 0
check "removal twice: nothing changes" test "$(disk_listing | grep -v -E '^[0-9a-f]+ (Program Files( \(x86\))?/OVRA/|ProgramData/OVRA/Logs/)')" = "$(cat "$PREFIX/disk-after.txt")"

views_check_mismatch

echo "installer end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
