#!/bin/sh
# Runs every benchmark program that the build registered in bench/programs.txt.
set -eu
build=${1:-build}
list="$build/bench/programs.txt"
if [ ! -s "$list" ]; then
  echo "no benchmarks built yet"
  exit 0
fi
while read -r prog; do
  [ -n "$prog" ] || continue
  echo "== $(basename "$prog")"
  "$prog"
done < "$list"
