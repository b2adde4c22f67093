#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest.
#
# The program's output goes to a file of its own, and CTest is handed that
# file's text once the program has ended. Wine starts its own service
# processes (services, the desktop, device hosts) on demand, from whichever
# program first needs them, and they inherit that program's standard output
# and error: were those CTest's pipes, CTest would wait for the services to
# end and record a time-out for a test that passed.
#
# Wine's own loader now and then dies of SIGSEGV while a process ends (exit
# status 139, a host signal that no Windows program can produce: a crash
# inside the program ends with a Windows exception code instead). Such a run
# is repeated, at most twice, and said so.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  wine "$@" >"$out" 2>&1 </dev/null
  rc=$?
  cat "$out"
  [ "$rc" != 139 ] && exit "$rc"
  echo "wine-run: Wine itself crashed (signal 11) on attempt $attempt; running again" >&2
done
exit "$rc"
