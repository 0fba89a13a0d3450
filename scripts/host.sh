#!/usr/bin/env bash
# Builds the driver, registers its virtual-device build with regsvr32 in a
# Wine prefix of its own (build/demo/wineprefix) and runs the console host
# against it by name, as an ASIO host finds it: by default the driver's
# answers, then 3 seconds of streaming with a check of the captured pattern.
# Arguments replace that default and go to asio-console (see --help); an
# --apartment option alone keeps the default run in that COM apartment.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null

demo=build/demo
mkdir -p "$demo"
dll="Z:$PWD/build/virtual-device-build/Quorvex-Vor-OD-ASIO-x64.dll"
if ! scripts/wine-run.sh "$demo" regsvr32 /s "$dll"; then
  echo "host.sh: regsvr32 could not register $dll" >&2
  exit 2
fi
echo "registered:    $dll"

if (($# == 0)) || [[ $# -le 2 && $1 == --apartment* ]]; then
  set -- "Quorvex Vor OD ASIO" --stream 3 --check-pattern "$@"
fi
status=0
scripts/wine-run.sh "$demo" build/bin/asio-console.exe "$@" || status=$?
WINEPREFIX="$PWD/$demo/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
