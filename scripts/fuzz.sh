#!/bin/sh
# Runs the fuzz targets of a fuzz build tree (make fuzz), one after the
# other, each for FUZZ_SECONDS seconds (default 180), or until FUZZ_RUNS
# inputs have run when that is set and comes first.  Inputs that reach new code are kept in
# <build>/fuzz-corpus/<target>, crashes, leaks and slow inputs in
# <build>/fuzz-artifacts/<target>; the committed seeds in fuzz/corpus are
# read, never written.  Runs niced, one process at a time.
# Usage: scripts/fuzz.sh <build dir> [target...]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
targets=${*:-$(cd "$here/fuzz/corpus" && ls)}
seconds=${FUZZ_SECONDS:-180}
failed=""
for t in $targets; do
  exe="$build/fuzz/$t"
  [ -x "$exe" ] || { echo "fuzz: $exe is not built" >&2; failed="$failed $t"; continue; }
  mkdir -p "$build/fuzz-corpus/$t" "$build/fuzz-artifacts/$t"
  # A dictionary of the target's tokens: fuzz/dict/<target>.dict, or the
  # one of its family (fuzz_request.dict for fuzz_request_nolib).
  dict=""
  for d in "$here/fuzz/dict/$t.dict" "$here/fuzz/dict/${t%_*}.dict"; do
    [ -f "$d" ] && { dict="-dict=$d"; break; }
  done
  limit="-max_total_time=$seconds"
  [ -z "${FUZZ_RUNS:-}" ] || limit="$limit -runs=$FUZZ_RUNS"
  echo "== $t ($limit)"
  # Standard output is closed: the service prints a line per request.
  nice -n 10 "$exe" $limit $dict -timeout=10 -rss_limit_mb=2560 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$t/" "$build/fuzz-corpus/$t" "$here/fuzz/corpus/$t" \
    >"$build/fuzz-artifacts/$t.log" 2>&1
  rc=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
    "$build/fuzz-artifacts/$t.log"
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t failed (exit $rc), see $build/fuzz-artifacts/$t.log" >&2
    failed="$failed $t"
  fi
done
[ -z "$failed" ] || { echo "fuzz: failed:$failed" >&2; exit 1; }
