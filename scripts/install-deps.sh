#!/bin/sh
# Installs every Debian package the build, the service and the tests need,
# then the npm packages of the browser tests (scripts/install-node-deps.sh).
# Quick when everything is already present: apt runs only for what is missing.
# Usage: scripts/install-deps.sh [extra package list files...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
lists="$here/packages.txt $*"

wanted=$(cat $lists | sed 's/#.*//' | tr -s ' \t' '\n\n' | grep -v '^$' | sort -u)
missing=""
for p in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends $missing
fi
# Only the browser tests need these: without them the service still builds
# and runs, and those tests say what is missing.
"$here/install-node-deps.sh" || echo "install-deps: the npm packages of the browser tests (tests/web) are not installed" >&2
