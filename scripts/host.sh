#!/usr/bin/env bash
# Builds the driver and runs the console host against it; arguments go to the
# host (asio-console --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null

status=0
scripts/wine-run.sh build build/bin/asio-console.exe "$@" || status=$?
WINEPREFIX="$PWD/build/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
