#!/usr/bin/env bash
# Counts the requests that Apply and `disable` make to the Wine server, the
# machine-independent side of their benchmark figures: under Wine every
# registry call and most file calls are a round trip to the server, and a
# slower machine pays more for each. Runs `varrow_bench.exe 1 trips` (one
# Apply of the worst crowded installation on and off, and `Varrow.exe disable`
# with 41 libraries set aside and with nothing registered, each between named
# markers, after one unmarked round) under a Wine server that traces every
# request, then prints for each section the requests by kind.
# Usage: bash bench/round_trips.sh [kinds shown per section, default 12]
source "$(dirname "$0")/../scripts/common.sh"
ensure_packages
build
cmake --build "$BUILD" -j2 --target varrow_bench -- --no-print-directory -s 2>&1 | grep -v -E '^\[ *[0-9]+%\]' || true
[ -x "$BIN/varrow_bench.exe" ] || { echo "benchmark build failed" >&2; exit 1; }
start_private_wine trips
trace=$WINEPREFIX.trace
# The warm server goes; one that traces every request takes its place.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -f -d1 2>"$trace" &
server=$!
sleep 1
wine "$BIN/varrow_bench.exe" 1 trips
wineserver -k >/dev/null 2>&1 || true
wait "$server" || true
# A request line: "<thread>: <name>( ... )"; its reply "<thread>: <name>() = ...".
# The markers are create_event requests naming "VarrowTrips:begin:<section>" or
# "VarrowTrips:end:<section>". A section counts the requests of the thread that
# marked it and of the threads first seen after its beginning (a child process).
awk -v shown="${1:-12}" '
  match($0, /^[0-9a-f]+: [a-z_0-9]+\(/) {
    split($0, head, ":"); thread = head[1]
    name = substr($0, RSTART + length(thread) + 2, RLENGTH - length(thread) - 3)
    if ($0 ~ /\) = /) next  # a reply
    if (!(thread in seen)) { seen[thread] = 1; born[thread] = open_sections }
    if (name == "create_event" && match($0, /VarrowTrips:(begin|end):[a-z-]+/)) {
      split(substr($0, RSTART, RLENGTH), marker, ":")
      if (marker[2] == "begin") {
        section = marker[3]; active[section] = 1; owner[section] = thread; open_sections = section
        order[++sections] = section
      } else {
        active[marker[3]] = 0; open_sections = ""
      }
      next
    }
    for (s in active) {
      if (!active[s]) continue
      if (thread == owner[s] || born[thread] == s) { total[s]++; kind[s, name]++ }
    }
  }
  END {
    for (i = 1; i <= sections; i++) {
      s = order[i]
      printf "%s: %d requests\n", s, total[s]
      n = 0
      for (key in kind) {
        split(key, part, SUBSEP)
        if (part[1] == s) { n++; names[n] = part[2]; counts[n] = kind[key] }
      }
      for (a = 2; a <= n; a++) for (b = a; b > 1 && counts[b - 1] < counts[b]; b--) {
        t = counts[b]; counts[b] = counts[b - 1]; counts[b - 1] = t
        t = names[b]; names[b] = names[b - 1]; names[b - 1] = t
      }
      for (a = 1; a <= n && a <= shown; a++) printf "  %6d %s\n", counts[a], names[a]
      delete names; delete counts
    }
  }' "$trace"
rm -f "$trace"
