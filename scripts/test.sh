#!/usr/bin/env bash
# Builds everything and runs every test under Wine, with an X display for the
# control-panel tests. Extra arguments go to ctest (for example -R Panel).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh

status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset default "$@" || status=$?
for prefix in build/wineprefix build/installer-test/wineprefix; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
done
exit $status
