#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest. Wine's own loader now and then
# dies of SIGSEGV while a process ends (exit status 139, a host signal that no
# Windows program can produce: a crash inside the program ends with a Windows
# exception code instead). Such a run is repeated, at most twice, and said so.
for attempt in 1 2 3; do
  wine "$@"
  rc=$?
  [ "$rc" != 139 ] && exit "$rc"
  echo "wine-run: Wine itself crashed (signal 11) on attempt $attempt; running again" >&2
done
exit "$rc"
