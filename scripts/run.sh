#!/bin/sh
# Starts the installed service in the foreground.  Without a display Qt uses
# its offscreen platform (unless QT_QPA_PLATFORM says otherwise), so the
# service also runs on a headless machine.  The service reads "logmgr.xml"
# from its working directory: the install prefix.  With no camera attached
# the service runs beside a virtual document camera, so a newcomer sees it
# work; that camera can be plugged and unplugged from the terminal.
set -eu
PREFIX=${PREFIX:-/opt/velmora/camera}
SRC=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
cd "$PREFIX"
if ls /dev/video* >/dev/null 2>&1; then
  exec "$PREFIX/bin/kobix-web"
fi
export VCAM_BUILD=${VCAM_BUILD:-$SRC/build}
exec "$SRC/tools/vcam/run-with-vcam.sh" "$PREFIX/bin/kobix-web"
