#!/bin/sh
# v4l2-compliance with streaming against the virtual camera, under the
# harness's umockdev testbed.  Exits 0 only when no test fails.
# Usage: tools/vcam/compliance.sh [build-dir] [frames]
set -eu
build=${1:-build}
frames=${2:-10}
harness="$build/tools/vcam/vcam-harness"
if [ ! -x "$harness" ]; then
  echo "compliance: $harness is not built" >&2
  exit 2
fi
if ! command -v v4l2-compliance >/dev/null 2>&1; then
  echo "compliance: v4l2-compliance not found (Debian package v4l-utils)" >&2
  exit 2
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$harness" -- v4l2-compliance -d /dev/video0 -s "$frames" >"$log" 2>&1 || status=$?
cat "$log"
summary=$(grep '^Total for ' "$log" || true)
if [ -z "$summary" ]; then
  echo "compliance: no summary from v4l2-compliance (status $status)" >&2
  exit 1
fi
case "$summary" in
  *"Failed: 0"*) ;;
  *) echo "compliance: failures: $summary" >&2; exit 1 ;;
esac
echo "compliance: passed ($(grep -c 'warn:' "$log" || true) warning(s))"
exit "$status"
