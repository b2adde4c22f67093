# The demo installation: what the driver package's installer leaves on a
# technician's machine, laid into a Wine prefix. Source it after common.sh.
#
#   demo_prepare_prefix DIR   clone the template into DIR when DIR is missing,
#                             seed it once (marker DIR/.varrow-demo-seeded),
#                             then refresh the program's files from $BIN.
#   demo_seed DIR             the package's MSI, installed quietly, and the
#                             other makers' libraries, registrations and RP1210 file.
#   demo_seed_others DIR      only the other makers' part.
#   demo_install_program DIR  Varrow.exe, Varrow-*.dll, Pellor-*.chm and VciCheck.exe
#                             from $BIN, and the built J2534 libraries (below).
#
# Layout (Windows paths inside the prefix; registry in the 32-bit view):
#   C:\Program Files (x86)\OVRA\VCI\...            the package (installer/package.wxs):
#                                                    program, language libraries, help,
#                                                    J2534\OvraPT32.dll (the simulated VCI),
#                                                    PDU\OvraPdu32.dll (the simulated D-PDU
#                                                    VCI), Monitor\ (both monitor libraries)
#   C:\ProgramData\OVRA\Logs\                        LogFileLocation
#   C:\Program Files (x86)\Fennick Auto Labs\Bridge 2\fnkpt32.dll   other J2534 library
#   C:\Program Files (x86)\Durnow Systems\PT-Mini\dspt0404.dll      other J2534 library
#   C:\windows\RP121032.ini, C:\windows\syswow64\FNKRP32.dll, DRNRP32.dll   RP1210
# Registry values: installer/registry.wxi (the package's), scripts/demo/machine.reg
# (the other makers' registrations).

DEMO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEMO_PROGRAM_DIR='C:\Program Files (x86)\OVRA\VCI'
DEMO_PROGRAM_EXE="$DEMO_PROGRAM_DIR\\Varrow.exe"

# The other makers' libraries: stand-in files that the program only moves,
# copies and deletes, never loads: a do-nothing 32-bit library (the tests' stub,
# whose header and export table Varrow reads) with a distinct text after it.
DEMO_LIBRARIES=(
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

# demo_msi: the package's MSI the build made (the newest, when there are several).
demo_msi() {
  local msi
  # The prefixes are 64-bit: the package for 64-bit Windows when it was built.
  msi=$(ls -t "$BUILD"/installer/OvraVci-*-x64.msi 2>/dev/null | head -n1)
  [ -n "$msi" ] || msi=$(ls -t "$BUILD"/installer/OvraVci-*.msi 2>/dev/null | head -n1)
  [ -n "$msi" ] || { echo "no MSI in $BUILD/installer (is wixl installed?)" >&2; return 1; }
  printf '%s' "$msi"
}

# demo_msiexec DIR ARGS...: msiexec in the prefix DIR, quiet, its exit code returned.
demo_msiexec() {
  local prefix=$1 rc=0
  shift
  WINEPREFIX=$prefix wine msiexec "$@" /qn </dev/null >/dev/null 2>&1 || rc=$?
  return "$rc"
}

# The header of a 32-bit (i386) Windows library, as far as Varrow reads it to
# choose the monitor: "MZ", the signature's offset at 0x3C, "PE\0\0" and the machine.
demo_i386_header() {
  printf 'MZ'
  head -c 58 /dev/zero
  printf '\x40\x00\x00\x00PE\x00\x00\x4c\x01\x00\x00'
}

demo_seed_others() {
  local prefix=$1 win host
  for win in "${DEMO_LIBRARIES[@]}"; do
    host=$(demo_unix_path "$prefix" "$win")
    mkdir -p "$(dirname "$host")"
    # A 32-bit library's header, then a distinct text per file, so a look at a
    # library tells which one stands there.
    if [ -f "$BIN/varrow_stub_library.dll" ]; then
      { cat "$BIN/varrow_stub_library.dll"; printf 'Demo stand-in for %s (not a real library).\r\n' "${win##*\\}"; } >"$host"
    else
      { demo_i386_header; printf 'Demo stand-in for %s (not a real library).\r\n' "${win##*\\}"; } >"$host"
    fi
  done
  printf '[RP1210Support]\r\nAPIImplementations=FNKRP32,DRNRP32\r\n' \
    >"$(demo_unix_path "$prefix" 'C:\windows\RP121032.ini')"
  local reg="Z:${DEMO_DIR//\//\\}\\machine.reg"
  WINEPREFIX=$prefix wine reg import "$reg" /reg:32 >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w
}

demo_seed() {
  local prefix=$1 msi
  log "seeding the demo installation into $prefix"
  msi=$(demo_msi) || return 1
  demo_seed_others "$prefix"
  demo_msiexec "$prefix" /i "Z:${msi//\//\\}" || { echo "the package's MSI did not install into $prefix" >&2; return 1; }
  WINEPREFIX=$prefix wineserver -w
  # The check reads back through the 32-bit view, as the program does.
  if ! WINEPREFIX=$prefix wine reg query 'HKLM\SOFTWARE\OVRA\OVRA_VCI' /v Brand /reg:32 2>/dev/null \
      | grep -q 'tln'; then
    echo "the demo registry is missing in $prefix" >&2
    return 1
  fi
  WINEPREFIX=$prefix wineserver -w
  touch "$prefix/.varrow-demo-seeded"
}

# The built libraries that stand in the demo and where: "built file|Windows path".
DEMO_BUILT_LIBRARIES=(
  'OvraSimPT32.dll|C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll'
  'OvraJ2534Mon32.dll|C:\Program Files (x86)\OVRA\VCI\Monitor\OvraJ2534Mon32.dll'
  'OvraSimPdu32.dll|C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll'
  'OvraPduMon32.dll|C:\Program Files (x86)\OVRA\VCI\Monitor\OvraPduMon32.dll'
)

# demo_install_libraries DIR: the built libraries from $BIN over their stand-ins.
# A library set aside by monitoring is refreshed where it is set aside, and the
# monitor copy in its place from the monitor library. A file that a running
# program holds stays as it is.
demo_install_libraries() {
  local prefix=$1 entry built win host aside
  for entry in "${DEMO_BUILT_LIBRARIES[@]}"; do
    built=$BIN/${entry%%|*}
    win=${entry#*|}
    [ -f "$built" ] || continue
    host=$(demo_unix_path "$prefix" "$win")
    aside="$(dirname "$host")/_$(basename "$host")"
    mkdir -p "$(dirname "$host")"
    if [ -e "$aside" ]; then
      cp "$built" "$aside" 2>/dev/null || true
      # The D-PDU library's place takes the D-PDU monitor, the others the J2534 one.
      case $win in
        *'\PDU\'*) cp "$BIN/OvraPduMon32.dll" "$host" 2>/dev/null || true ;;
        *) cp "$BIN/OvraJ2534Mon32.dll" "$host" 2>/dev/null || true ;;
      esac
    else
      cp "$built" "$host" 2>/dev/null || true
    fi
  done
}

demo_install_program() {
  local prefix=$1 dir f
  dir=$(demo_unix_path "$prefix" "$DEMO_PROGRAM_DIR")
  mkdir -p "$dir"
  # Language libraries and help files the build no longer makes go away too.
  rm -f "$dir"/Varrow.exe "$dir"/Varrow-*.dll "$dir"/Pellor-*.chm "$dir"/VciCheck.exe
  cp "$BIN/Varrow.exe" "$dir/"
  for f in "$BIN"/Varrow-*.dll "$BIN"/Pellor-*.chm "$BIN"/VciCheck.exe; do
    [ -e "$f" ] && cp "$f" "$dir/"
  done
  demo_install_libraries "$prefix"
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

# Driving the program's dialog from the shell, as a user's clicks do (needs a
# screen and LC_ALL=C.UTF-8 for the English title): the window helper is
# built into the build folder when missing or older than its source.
DEMO_TITLE="J2534 Configuration Application"
DEMO_HELPER=$BUILD/window_helper.exe
declare -A DEMO_FORMAT_BUTTON=([1]=1011 [2]=1014 [3]=1012 [4]=1013)  # ASCII XML CSV HTML
demo_helper() {
  if [ ! -x "$DEMO_HELPER" ] || [ "$DEMO_DIR/window_helper.c" -nt "$DEMO_HELPER" ]; then
    i686-w64-mingw32-gcc-posix -O2 -municode -static -o "$DEMO_HELPER" "$DEMO_DIR/window_helper.c"
  fi
  timeout 60 wine "$DEMO_HELPER" "$@" </dev/null >/dev/null 2>&1
}

# demo_device_tab NAME: the tab of the J2534 device NAME on the J2534 page (from
# 0). Varrow shows one tab per registration in the order the registry lists
# them, as VciCheck does. demo_ovra_tab: the OVRA VCI's.
demo_device_tab() {
  local line
  line=$(wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" </dev/null 2>/dev/null | tr -d '\r' |
         grep -E '^  [^ ]' | grep -n -x -F "  $1" | cut -d: -f1)
  [ -n "$line" ] && echo $((line - 1))
}
demo_ovra_tab() { demo_device_tab 'OVRA VCI'; }

# demo_view_tab VIEW VERSION NAME: the tab of J2534 device NAME registered in
# VIEW (32 or 64) under VERSION (04.04 or 05.00), from 0. On 64-bit Windows
# Varrow shows the 32-bit view's 04.04 and 05.00 registrations, then the native
# view's, each in registry order, as VciCheck --list lists them.
demo_view_tab() {
  wine "$DEMO_PROGRAM_DIR\\VciCheck.exe" --list </dev/null 2>/dev/null | tr -d '\r' |
    awk -v view="$1" -v version="$2" -v name="$3" '
      /^32-bit view/ { v = 32 } /^native 64-bit view/ { v = 64 }
      /^  J2534 / { if (v == view && $2 == version && substr($0, 16, length(name) + 2) == name "  ") { print n; exit }
                    n++ }'
}

# demo_apply_buttons TAB BUTTON...: starts Varrow, More>>, the J2534 tab TAB, a
# press of each control BUTTON (check boxes toggle), OK; true when the program
# ended after OK.
demo_apply_buttons() {
  local tab=$1 program rc=0 button
  shift
  wine "$DEMO_PROGRAM_EXE" </dev/null >/dev/null 2>&1 &
  program=$!
  demo_helper wait "$DEMO_TITLE" && demo_helper click "$DEMO_TITLE" 1043 &&
    demo_helper tab "$DEMO_TITLE" 1000 "$tab" || rc=1
  for button in "$@"; do
    [ "$rc" = 0 ] && { demo_helper press "$DEMO_TITLE" "$button" || rc=1; }
  done
  [ "$rc" = 0 ] && { demo_helper press "$DEMO_TITLE" 1 && demo_helper gone "$DEMO_TITLE" || rc=1; }
  [ "$rc" = 0 ] || kill "$program" 2>/dev/null
  wait "$program" || true
  return "$rc"
}

# demo_apply_monitoring FORMAT TAB [tick]: the same with (a tick of "monitoring"
# and) the J2534 format FORMAT (1-4).
demo_apply_monitoring() {
  local format=$1 tab=$2 tick=${3:-}
  demo_apply_buttons "$tab" ${tick:+1002} "${DEMO_FORMAT_BUTTON[$format]}"
}
