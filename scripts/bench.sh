#!/usr/bin/env bash
# Builds everything and runs vorod-bench under Wine. Arguments go to it:
# seconds of each real-time run (default 60) and the parts to run (pass,
# realtime, start, roundtrip; default all), e.g. scripts/bench.sh 60.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
exec scripts/wine-run.sh build build/bin/vorod-bench.exe "$@"
