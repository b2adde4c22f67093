# The demo installation: what the driver package's installer leaves on a
# technician's machine, laid into a Wine prefix. Source it after common.sh.
#
#   demo_prepare_prefix DIR   clone the template into DIR when DIR is missing,
#                             seed it once (marker DIR/.varrow-demo-seeded),
#                             then refresh the program's files from $BIN.
#   demo_seed DIR             the package's files, registry values and RP1210 file.
#   demo_install_program DIR  Varrow.exe, Varrow-*.dll and Pellor-*.chm from $BIN.
#
# Layout (Windows paths inside the prefix; registry in the 32-bit view):
#   C:\Program Files (x86)\OVRA\VCI\                 program, language libraries, help
#   C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll         J2534 library (PDU capable)
#   C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll          D-PDU API library
#   C:\Program Files (x86)\OVRA\VCI\Monitor\OvraJ2534Mon32.dll J2534 monitor library
#   C:\Program Files (x86)\OVRA\VCI\Monitor\OvraPduMon32.dll   D-PDU monitor library
#   C:\Program Files (x86)\Fennick Auto Labs\Bridge 2\fnkpt32.dll   other J2534 library
#   C:\Program Files (x86)\Durnow Systems\PT-Mini\dspt0404.dll      other J2534 library
#   C:\windows\RP121032.ini, C:\windows\syswow64\FNKRP32.dll, DRNRP32.dll   RP1210
#   C:\ProgramData\OVRA\Logs\                        LogFileLocation
# Registry values: scripts/demo/machine.reg.

DEMO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEMO_PROGRAM_DIR='C:\Program Files (x86)\OVRA\VCI'
DEMO_PROGRAM_EXE="$DEMO_PROGRAM_DIR\\Varrow.exe"

# Stand-in libraries: they are moved, copied and deleted by the program, never loaded.
DEMO_LIBRARIES=(
  'C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll'
  'C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll'
  'C:\Program Files (x86)\OVRA\VCI\Monitor\OvraJ2534Mon32.dll'
  'C:\Program Files (x86)\OVRA\VCI\Monitor\OvraPduMon32.dll'
  'C:\Program Files (x86)\Fennick Auto Labs\Bridge 2\fnkpt32.dll'
  'C:\Program Files (x86)\Durnow Systems\PT-Mini\dspt0404.dll'
  'C:\windows\syswow64\FNKRP32.dll'
  'C:\windows\syswow64\DRNRP32.dll'
)

# demo_unix_path DIR 'C:\x\y': the file's path on the host inside the prefix DIR.
demo_unix_path() {
  local prefix=$1 win=$2
  local rest=${win#[Cc]:\\}
  printf '%s/drive_c/%s' "$prefix" "${rest//\\//}"
}

demo_seed() {
  local prefix=$1 win host
  log "seeding the demo installation into $prefix"
  for win in "${DEMO_LIBRARIES[@]}"; do
    host=$(demo_unix_path "$prefix" "$win")
    mkdir -p "$(dirname "$host")"
    # A distinct text per file, so a look at a library tells which one stands there.
    printf 'Demo stand-in for %s (not a real library).\r\n' "${win##*\\}" >"$host"
  done
  mkdir -p "$(demo_unix_path "$prefix" 'C:\ProgramData\OVRA\Logs')"
  printf '[RP1210Support]\r\nAPIImplementations=FNKRP32,DRNRP32\r\n' \
    >"$(demo_unix_path "$prefix" 'C:\windows\RP121032.ini')"
  local reg="Z:${DEMO_DIR//\//\\}\\machine.reg"
  WINEPREFIX=$prefix wine reg import "$reg" /reg:32 >/dev/null 2>&1 || true
  # The check reads back through the 32-bit view, as the program does.
  if ! WINEPREFIX=$prefix wine reg query 'HKLM\SOFTWARE\OVRA\OVRA_VCI' /v Brand /reg:32 2>/dev/null \
      | grep -q 'tln'; then
    echo "the demo registry could not be imported into $prefix" >&2
    return 1
  fi
  WINEPREFIX=$prefix wineserver -w
  touch "$prefix/.varrow-demo-seeded"
}

demo_install_program() {
  local prefix=$1 dir f
  dir=$(demo_unix_path "$prefix" "$DEMO_PROGRAM_DIR")
  mkdir -p "$dir"
  # Language libraries and help files the build no longer makes go away too.
  rm -f "$dir"/Varrow.exe "$dir"/Varrow-*.dll "$dir"/Pellor-*.chm
  cp "$BIN/Varrow.exe" "$dir/"
  for f in "$BIN"/Varrow-*.dll "$BIN"/Pellor-*.chm; do
    [ -e "$f" ] && cp "$f" "$dir/"
  done
  return 0
}

demo_prepare_prefix() {
  local prefix=$1
  ensure_template
  if [ ! -d "$prefix" ]; then
    log "making the Wine prefix $prefix (once)"
    # Cloned beside and renamed, so an interrupted clone is never taken for a prefix.
    clone_prefix "$prefix.new"
    mv "$prefix.new" "$prefix"
  fi
  [ -f "$prefix/.varrow-demo-seeded" ] || demo_seed "$prefix"
  demo_install_program "$prefix"
}
