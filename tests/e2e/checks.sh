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
