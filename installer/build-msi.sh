#!/usr/bin/env bash
# Builds the package's MSI with wixl (Debian package wixl):
#   installer/build-msi.sh VERSION OUTPUT.msi BIN_FOLDER SETUP_ACTIONS_DLL [BIN64_FOLDER]
# VERSION is a.b.c (a major upgrade needs a higher one); BIN_FOLDER holds the
# built files package.wxs names. With BIN64_FOLDER (the 64-bit build's files)
# the package is the one for 64-bit Windows (x64), else the one for 32-bit
# Windows (x86). The simulated J2534 v05.00 VCI is packed when its files are
# there. Needs wixl and msitools (msiinfo, msibuild).
set -euo pipefail
usage="usage: $0 VERSION OUTPUT.msi BIN_FOLDER SETUP_ACTIONS_DLL [BIN64_FOLDER]"
[ "$#" = 4 ] || [ "$#" = 5 ] || { echo "$usage" >&2; exit 2; }
version=$1 out=$2 bin=$3 actions=$4 bin64=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[[ $version =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] || { echo "version must be a.b.c: $version" >&2; exit 2; }
# wixl takes file sources relative to the source's folder.
have05=no
[ -f "$bin/OvraSim05PT32.dll" ] && { [ -z "$bin64" ] || [ -f "$bin64/OvraSim05PT64.dll" ]; } && have05=yes
arch=(-a x86 -D Arch=x86)
[ -n "$bin64" ] && arch=(-a x64 -D Arch=x64 -D Bin64="$(realpath --relative-to="$here" "$bin64")")
held='[#OvraPT32];[#OvraPdu32];[#J2534Monitor];[#PduMonitor];[#VciCheckExe];[#VarrowExe]'
[ "$have05" = yes ] && held+=';[#OvraPT05_32]'
[ -n "$bin64" ] && held+=';[#OvraPT64];[#OvraPdu64];[#J2534Monitor64];[#PduMonitor64];[#VciCheck64Exe]'
[ -n "$bin64" ] && [ "$have05" = yes ] && held+=';[#OvraPT05_64]'

bin=$(realpath --relative-to="$here" "$bin")
actions=$(realpath --relative-to="$here" "$actions")
tmp="$out.tmp"
rm -f "$tmp"
wixl "${arch[@]}" -I "$here" -D Version="$version" -D Bin="$bin" -D Actions="$actions" -D Have05="$have05" -D HeldFiles="$held" \
  -o "$tmp" "$here/package.wxs"
# wixl writes a rollback or commit action as an immediate one (without the
# in-script bit and its own): those bits are set here, from the Execute
# attribute of each action in package.wxs, and checked.
for kind in rollback:256 commit:512; do
  execute=${kind%%:*} bit=${kind#*:}
  for id in $(tr '\n' ' ' <"$here/package.wxs" | grep -o '<CustomAction [^>]*>' |
              grep "Execute=\"$execute\"" | sed -n 's/.*Id="\([A-Za-z0-9_]*\)".*/\1/p'); do
    type=$(msiinfo export "$tmp" CustomAction | awk -F'\t' -v id="$id" '$1 == id {print $2}')
    [ -n "$type" ] || { echo "no custom action $id in the MSI" >&2; exit 1; }
    type=$(( type | 1024 | bit ))
    msibuild "$tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = $type WHERE \`Action\` = '$id'"
  done
done
mv "$tmp" "$out"
