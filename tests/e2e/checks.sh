# Shared by the end-to-end scripts (source it after scripts/demo/demo.sh and
# once PREFIX is set): the pass/fail count and the paths of a seeded prefix.
passed=0
failed=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
# The host path of a Windows path in the prefix, and of its set-aside twin.
host() { demo_unix_path "$PREFIX" "$1"; }
aside() { local win=$1; host "${win%\\*}\\_${win##*\\}"; }
# monitor_copy_of COPY MONITOR: COPY is MONITOR with its export table written
# for the library it stands in for: the same size, and every byte that differs
# lies in the monitor's table block (.vfwd) or its export directory (.edata).
monitor_copy_of() {
  [ -f "$1" ] && [ "$(stat -c %s "$1")" = "$(stat -c %s "$2")" ] || return 1
  ! cmp -s "$1" "$2" || return 1  # written, not as built
  local ranges="" idx name size vma lma off rest
  while read -r idx name size vma lma off rest; do
    case $name in .vfwd | .edata) ranges+="$((16#$off)) $((16#$size)) " ;; esac
  done < <(x86_64-w64-mingw32-objdump -h "$2")
  [ "$(wc -w <<<"$ranges")" = 4 ] || return 1
  # cmp answers 1 when the files differ, which they do.
  { cmp -l "$1" "$2" || true; } | awk -v ranges="$ranges" '
    BEGIN { n = split(ranges, r, " ") }
    { at = $1 - 1; inside = 0
      for (i = 1; i < n; i += 2) if (at >= r[i] && at < r[i] + r[i + 1]) inside = 1
      if (!inside) bad = 1 }
    END { exit bad }'
}
# monitor_stands_in ARCH COPY MONITOR: the monitor copy at a library's path.
# Varrow's copy step writes the 32-bit copy's export table (monitor_copy_of);
# the 64-bit D-PDU copies are made by hand (arch64.sh), as built.
monitor_stands_in() {
  if [ "$1" = 32 ]; then monitor_copy_of "$2" "$3"; else cmp -s "$2" "$3"; fi
}
