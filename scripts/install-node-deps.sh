#!/bin/sh
# Installs the npm packages of the browser tests (tests/web/package.json,
# pinned by its package-lock.json) into tests/web/node_modules.  No browser
# is downloaded: the tests use Debian's chromium (scripts/packages.txt).
# Quick when the installed packages match the lock file.
set -eu
dir=$(cd "$(dirname "$0")/../tests/web" && pwd)
if ! command -v npm >/dev/null 2>&1; then
  echo "install-node-deps: npm is missing (the browser tests need Node.js 20 or later with npm)" >&2
  exit 1
fi
stamp="$dir/node_modules/.kobix-installed"
want=$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi
echo "Installing the npm packages of tests/web"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1
(cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
echo "$want" > "$stamp"
