# Shared by the end-to-end scripts that also drive 64-bit hosts (source it after
# checks.sh, once PREFIX is set): the 64-bit half of the installation as the
# package lays it out on 64-bit Windows (native Program Files, registrations in
# the native view), and monitoring switched on for a 64-bit library by hand, the
# way Varrow does it: the library set aside as "_" + its name, the 64-bit
# monitor copied in its place, the settings under the API's "(64-bit)" key.
ARCH64_DIR='C:\Program Files\OVRA\VCI'
declare -A ARCH_PT=([32]='C:\Program Files (x86)\OVRA\VCI\J2534\OvraPT32.dll' [64]="$ARCH64_DIR\\J2534\\OvraPT64.dll")
declare -A ARCH_PDU=([32]='C:\Program Files (x86)\OVRA\VCI\PDU\OvraPdu32.dll' [64]="$ARCH64_DIR\\PDU\\OvraPdu64.dll")
declare -A ARCH_VCICHECK=([32]="$DEMO_PROGRAM_DIR\\VciCheck.exe" [64]="$ARCH64_DIR\\VciCheck64.exe")
declare -A ARCH_BIN=([32]="$BIN" [64]="$BIN64")
declare -A ARCH_SUFFIX=([32]="" [64]=" (64-bit)")  # of the user's settings keys
declare -A ARCH_EXTENSION=([1]=txt [2]=xml [3]=csv [4]=html)

# arch_settings_key API ARCH LIBRARY: the user key of LIBRARY's settings ("J2534 API", "PDU API").
arch_settings_key() {
  printf 'HKCU\\SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\%s%s\\%s' "$1" "${ARCH_SUFFIX[$2]}" "${3//\\/_}"
}

# arch64_install: the built 64-bit simulated VCIs and VciCheck64 in the native
# Program Files, the J2534 one registered as the OVRA VCI and the D-PDU one as
# the vendor's D-PDU library, both in the native view.
arch64_install() {
  local pt=${ARCH_PT[64]} pdu=${ARCH_PDU[64]} key='HKLM\SOFTWARE\PassThruSupport.04.04\OVRA VCI' v
  mkdir -p "$(dirname "$(host "$pt")")" "$(dirname "$(host "$pdu")")"
  cp "$BIN64/OvraSimPT64.dll" "$(host "$pt")"
  cp "$BIN64/OvraSimPdu64.dll" "$(host "$pdu")"
  cp "$BIN64/VciCheck64.exe" "$(host "${ARCH_VCICHECK[64]}")"
  {
    wine reg add "$key" /v Name /d 'OVRA VCI' /f /reg:64
    wine reg add "$key" /v Vendor /d OVRA /f /reg:64
    wine reg add "$key" /v FunctionLibrary /d "$pt" /f /reg:64
    for v in CAN ISO15765 PDUAPISupported; do wine reg add "$key" /v $v /t REG_DWORD /d 1 /f /reg:64; done
    wine reg add 'HKLM\SOFTWARE\OVRA\OVRA_VCI\PDU API Support' /v FunctionLibrary /d "$pdu" /f /reg:64
  } </dev/null >/dev/null 2>&1
}

# arch64_monitor_on API LIBRARY MONITOR [NAME TYPE DATA]...: the 64-bit library
# LIBRARY set aside (once) and the built MONITOR in its place, with the given
# values in its settings key.
arch64_monitor_on() {
  local api=$1 library=$2 monitor=$3 key
  shift 3
  [ -e "$(aside "$library")" ] || mv "$(host "$library")" "$(aside "$library")"
  cp "$monitor" "$(host "$library")" || return 1
  key=$(arch_settings_key "$api" 64 "$library")
  while [ "$#" -ge 3 ]; do
    wine reg add "$key" /v "$1" /t "$2" /d "$3" /f </dev/null >/dev/null 2>&1 || return 1
    shift 3
  done
}

# arch_log_location: LogFileLocation as the installer wrote it (32-bit view).
arch_log_location() {
  wine reg query 'HKLM\SOFTWARE\OVRA\OVRA_VCI' /v LogFileLocation /reg:32 </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *LogFileLocation *REG_[A-Z_]* *//p'
}
