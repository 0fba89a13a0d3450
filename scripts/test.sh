#!/usr/bin/env bash
# Builds everything and runs every test under Wine, with an X display for the
# control-panel tests. Extra arguments go to ctest (for example -R Panel).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh

# A new prefix takes Wine about 10 s to create: that is done first, on the
# tests' display, not inside the first tests.
status=0
xvfb-run -a -s "-screen 0 1024x768x24" \
  bash -c 'scripts/wine-run.sh build --prepare && exec ctest --preset default "$@"' ctest "$@" ||
  status=$?
for prefix in build/wineprefix build/installer-test/wineprefix; do
  [ -d "$prefix" ] && WINEPREFIX="$PWD/$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
done
exit $status
