#!/bin/sh
# Starts the installed service in the foreground.  Without a display Qt uses
# its offscreen platform, so the service also runs on a headless machine.
set -eu
PREFIX=${PREFIX:-/opt/velmora/camera}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
cd "$PREFIX"
exec "$PREFIX/bin/kobix-web"
