#!/bin/sh
# Runs a program with one virtual document camera (umockdev testbed plus the
# V4L2 shim), for machines without a camera.  Plug and unplug it from the
# terminal (type "help"), or from another shell:
#   vcam-harness --send "$VCAM_CONTROL" 'unplug 0'
# Usage: run-with-vcam.sh [--vid HEX --pid HEX] [harness options] -- program [args...]
#        run-with-vcam.sh program [args...]
# Environment: VCAM_BUILD (build folder holding tools/vcam/vcam-harness,
# default: build next to this source tree), VCAM_CONTROL (control socket,
# default /tmp/vcam-<pid>.sock).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${VCAM_BUILD:-$here/../../build}
harness="$build/tools/vcam/vcam-harness"
if [ ! -x "$harness" ]; then
  echo "run-with-vcam: $harness is not built (make build)" >&2
  exit 2
fi
case " $* " in
  *" -- "*) ;;
  *) set -- -- "$@" ;;
esac
control=${VCAM_CONTROL:-/tmp/vcam-$$.sock}
export VCAM_CONTROL="$control"
echo "No camera attached: running with a virtual document camera (/dev/video0)."
echo "Commands: type 'help' here, or: $harness --send $control 'unplug 0'"
stdin_opt=""
if [ -t 0 ]; then
  stdin_opt="--stdin"
fi
exec "$harness" --cameras 1 --control "$control" $stdin_opt "$@"
