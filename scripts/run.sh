#!/bin/sh
# Starts the installed service in the foreground.  Without a display Qt uses
# its offscreen platform (unless QT_QPA_PLATFORM says otherwise), so the
# service also runs on a headless machine.  The service reads "logmgr.xml"
# from its working directory: the install prefix.  With no camera attached
# the service runs beside a virtual document camera, so a newcomer sees it
# work; that camera can be plugged and unplugged from the terminal.  The
# demo page (web/demo.html) is served beside it on 127.0.0.1, port
# KOBIX_DEMO_PORT (default 9031); the server ends with the service.
# KOBIX_VIRTUAL_CAMERA=1 uses the virtual camera even when a camera is
# attached.
set -eu
PREFIX=${PREFIX:-/opt/velmora/camera}
SRC=$(cd "$(dirname "$0")/.." && pwd)
DEMO_PORT=${KOBIX_DEMO_PORT:-9031}
if command -v python3 >/dev/null 2>&1; then
  echo "Demo page: http://127.0.0.1:$DEMO_PORT/demo.html (open it in a browser on this machine)"
  python3 "$SRC/scripts/serve-web.py" "$SRC/web" "$DEMO_PORT" </dev/null &
else
  echo "Demo page: not served (python3 is missing); open $SRC/web/demo.html from a web server"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
cd "$PREFIX"
if [ "${KOBIX_VIRTUAL_CAMERA:-}" != 1 ] && ls /dev/video* >/dev/null 2>&1; then
  exec "$PREFIX/bin/kobix-web"
fi
export VCAM_BUILD=${VCAM_BUILD:-$SRC/build}
exec "$SRC/tools/vcam/run-with-vcam.sh" "$PREFIX/bin/kobix-web"
