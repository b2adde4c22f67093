#!/usr/bin/env bash
# Builds the package's MSI with wixl (Debian package wixl):
#   installer/build-msi.sh VERSION OUTPUT.msi BIN_FOLDER SETUP_ACTIONS_DLL
# VERSION is a.b.c (a major upgrade needs a higher one); BIN_FOLDER holds the
# built files package.wxs names.
set -euo pipefail
[ "$#" = 4 ] || { echo "usage: $0 VERSION OUTPUT.msi BIN_FOLDER SETUP_ACTIONS_DLL" >&2; exit 2; }
version=$1 out=$2 bin=$3 actions=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[[ $version =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] || { echo "version must be a.b.c: $version" >&2; exit 2; }
# wixl takes file sources relative to the source's folder.
bin=$(realpath --relative-to="$here" "$bin")
actions=$(realpath --relative-to="$here" "$actions")
tmp="$out.tmp"
rm -f "$tmp"
wixl -a x86 -I "$here" -D Version="$version" -D Bin="$bin" -D Actions="$actions" -o "$tmp" "$here/package.wxs"
mv "$tmp" "$out"
