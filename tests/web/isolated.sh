#!/bin/sh
# Runs a command in private mount, network and process namespaces, as the
# service tests do (tests/service/isolation.cpp): empty tmpfs over /opt and
# /tmp, so the program finds only what is installed here and its own pid
# file, a loopback of its own, so port 9030 and every test port belong to
# the command alone, and a process namespace, so nothing it started outlives
# it.  The source and build trees are bound back when they lie under /tmp or
# /opt.  The build tree is then installed as `make install` does, under
# /opt/velmora/camera: the program and the three libraries at their fixed
# paths.  The command runs in the build tree with HOME=/tmp/home.  Needs
# root (CI runs as root).
#
# Usage: isolated.sh SOURCE_DIR BUILD_DIR -- command [args...]
set -eu
if [ $# -lt 4 ] || [ "$3" != "--" ]; then
  echo "usage: $0 SOURCE_DIR BUILD_DIR -- command [args...]" >&2
  exit 2
fi
src=$(cd "$1" && pwd -P)
build=$(cd "$2" && pwd -P)
shift 3

if [ "${KOBIX_WEB_ISOLATED:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "isolated.sh: the web tests need root (private namespaces)" >&2
    exit 1
  fi
  export KOBIX_WEB_ISOLATED=1
  exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
    "$0" "$src" "$build" -- "$@"
fi

# Handles on both trees, taken inside the new namespace (a bind source must
# be), to bind them back over the empty file systems.
exec 3<"$src" 4<"$build"
mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /opt
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp
for pair in "3 $src" "4 $build"; do
  fd=${pair%% *}
  dir=${pair#* }
  case "$dir/" in
    /tmp/*|/opt/*)
      if ! mountpoint -q "$dir"; then
        mkdir -p "$dir"
        mount --no-canonicalize --bind "/proc/self/fd/$fd" "$dir"
      fi
      ;;
  esac
done
exec 3<&- 4<&-
ip link set lo up

cmake --install "$build" --prefix /opt/velmora/camera >/dev/null

export HOME=/tmp/home
mkdir -p "$HOME"
cd "$build"
exec "$@"
