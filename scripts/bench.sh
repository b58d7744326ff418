#!/bin/sh
# Runs every benchmark program that the build registered in bench/programs.txt.
#
# Each program's whole output (its own lines and the trace lines of the
# libraries it drives) goes to a log file of its own; the terminal gets one
# line per program and, at the end, one table of every figure with its goal
# and its ratio to the baseline measured in the same run.  The figures are
# kept as CSV (bench/common/figures.h) beside the logs, one folder per run:
#
#   BUILD/bench-results/<UTC time>/figures.csv, <program>.log
#   BUILD/bench-results/latest -> the newest run
#
# Exit status: non-zero when a program failed (a goal missed is shown in the
# table, not counted as a failure).
set -eu
build=${1:-build}
list="$build/bench/programs.txt"
if [ ! -s "$list" ]; then
  echo "no benchmarks built yet"
  exit 0
fi

results="$build/bench-results"
run="$results/$(date -u +%Y%m%dT%H%M%SZ)"
mkdir -p "$run"
ln -sfn "$(basename "$run")" "$results/latest"
figures="$run/figures.csv"
echo "benchmark,figure,value,unit,goal,met,baseline,baseline_value,ratio" > "$figures"
export KOBIX_BENCH_FIGURES="$(cd "$run" && pwd)/figures.csv"

failed=0
while read -r prog; do
  [ -n "$prog" ] || continue
  name=$(basename "$prog")
  log="$run/$name.log"
  start=$(date +%s)
  status=0
  "$prog" > "$log" 2>&1 < /dev/null || status=$?
  took=$(( $(date +%s) - start ))
  if [ "$status" -eq 0 ]; then
    printf '%-28s ok      %5d s   %s\n' "$name" "$took" "$log"
  else
    printf '%-28s FAILED  %5d s   %s (exit %d; its last lines:)\n' "$name" "$took" "$log" "$status"
    tail -n 15 "$log" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done < "$list"

echo
awk -F, '
  NR == 1 { next }
  {
    value = $3 ($4 == "" ? "" : " " $4)
    met = ($6 == "no") ? "MISSED" : $6
    if (met == "MISSED") missed++
    if ($1 != last) { printf "%s\n", $1; last = $1 }
    printf "  %-50s %16s %20s %-6s %8s  %s\n", $2, value, $5, met, $9, $7
    n++
  }
  BEGIN { printf "  %-50s %16s %20s %-6s %8s  %s\n", "figure", "value", "goal", "met", "ratio", "baseline (same run)" }
  END { printf "\n%d figures, %d goals missed; CSV: %s\n", n, missed, FILENAME }
' "$figures"

if [ "$failed" -ne 0 ]; then
  echo "$failed benchmark program(s) failed"
  exit 1
fi
