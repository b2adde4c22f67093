#!/usr/bin/env bash
# Runs the whole benchmark several times, each run fresh (bench/run.sh: a Wine
# prefix of its own), and prints the table the README shows: for every measure
# the median of the runs' figures and their spread (lowest-highest), with the
# machine's load before each run. Usage: bash bench/fresh_runs.sh [runs [rounds]]
# (default: 3 runs of 9 rounds each)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=${1:-3}
rounds=${2:-9}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in $(seq "$runs"); do
  echo "== run $i of $runs (load $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  bash "$here/run.sh" "$rounds" >"$work/out$i" 2>"$work/err$i" || true
  # The program's table only (the monitor library's benchmark prints its own after it).
  awk '/^\| Measure \| Varrow \| Floor/ { on = 1; next } on && !/^\|/ { exit } on && !/^\|---/' \
    "$work/out$i" >"$work/table$i" || true
  grep -E '^== (time to the pages|disable:|OnInitDialog)' "$work/err$i" >&2 || true
done
echo
echo "| Measure | Varrow | Floor | Ratio | Target |"
echo "|---|---|---|---|---|"
# Each run's row: | measure | varrow | floor | ratio | target | verdict |. A
# number becomes "median (lowest to highest)" over the runs; a text that is no
# number is shown once for each value it took.
cat "$work"/table* | awk -F'|' -v runs="$runs" '
  function trim(s) { gsub(/^ +| +$/, "", s); return s }
  function median(list,   n, v, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) {
      t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
    }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  function lowest(list,   n, v, i, m) { n = split(list, v, " "); m = v[1]; for (i = 2; i <= n; i++) if (v[i] + 0 < m + 0) m = v[i]; return m }
  function highest(list,  n, v, i, m) { n = split(list, v, " "); m = v[1]; for (i = 2; i <= n; i++) if (v[i] + 0 > m + 0) m = v[i]; return m }
  # The leading number of a figure ("12.3 ms (10.1-14.0)" gives 12.3), or "".
  function number(s) { return match(s, /^[+-]?[0-9]+(\.[0-9]+)?/) ? substr(s, RSTART, RLENGTH) : "" }
  function unit(s) { sub(/^[+-]?[0-9]+(\.[0-9]+)? */, "", s); sub(/ *\(.*$/, "", s); return s }
  {
    m = trim($2)
    if (!(m in seen)) { seen[m] = 1; order[++count] = m; target[m] = trim($6) }
    for (c = 3; c <= 5; c++) {
      f = trim($c); n = number(f)
      if (n != "" && (f ~ /^[+-]?[0-9.]+( (ms|MiB|KiB))?( \(.*\))?$/)) { nums[m, c] = nums[m, c] " " n; units[m, c] = unit(f) }
      else if (!((m, c, f) in shown)) { shown[m, c, f] = 1; texts[m, c] = (texts[m, c] == "" ? f : texts[m, c] "; " f) }
    }
  }
  END {
    for (k = 1; k <= count; k++) {
      m = order[k]; line = "| " m
      for (c = 3; c <= 5; c++) {
        if (nums[m, c] != "") {
          u = units[m, c] == "" ? "" : " " units[m, c]
          line = line " | " median(nums[m, c]) u " (" lowest(nums[m, c]) " to " highest(nums[m, c]) ")"
        } else line = line " | " texts[m, c]
      }
      print line " | " target[m] " |"
    }
  }'
