#!/usr/bin/env bash
# Renders the control panel, as a user sees it, into a PNG (default
# docs/control-panel.png): builds the driver, opens the panel of its
# virtual-device build through the console host on a virtual X display, and
# captures it.
# It ends every Wine program of the build's prefix: do not run it beside the
# tests.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/control-panel.png}")
scripts/build.sh >/dev/null

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -u
  scripts/wine-run.sh build build/bin/asio-console.exe --control-panel \
    --dll "Z:$PWD/build/virtual-device-build/Quorvex-Vor-OD-ASIO-x64.dll" >/dev/null &
  host=$!
  # The first window of a fresh prefix can take a few seconds under Wine.
  # The panel is centred on an otherwise black screen: capture the screen
  # and trim the black away, once something is there.
  for _ in $(seq 1 60); do
    sleep 0.5
    import -window root -trim +repage "$1" 2>/dev/null || continue
    [ "$(identify -format %w "$1")" -gt 100 ] && break
  done
  # Ends the console host (and whatever else runs in the build prefix).
  WINEPREFIX="$PWD/build/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  wait $host 2>/dev/null || true
  test -s "$1"
' _ "$out"
echo "$out"
