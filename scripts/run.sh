#!/bin/sh
# Starts the installed service in the foreground.  Without a display Qt uses
# its offscreen platform (unless QT_QPA_PLATFORM says otherwise), so the
# service also runs on a headless machine.  The service reads "logmgr.xml"
# from its working directory: the install prefix.
set -eu
PREFIX=${PREFIX:-/opt/velmora/camera}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
cd "$PREFIX"
exec "$PREFIX/bin/kobix-web"
