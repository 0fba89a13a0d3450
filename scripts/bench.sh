#!/usr/bin/env bash
# Builds everything and runs vorod-bench under Wine. Arguments go to it:
# seconds of each real-time run (default 60) and the parts to run (pass,
# realtime, start, roundtrip; default all), e.g. scripts/bench.sh 60.
# The realtime and roundtrip parts leave their data in build/bench/, from
# which scripts/bench-pictures.py draws docs/realtime.png and
# docs/roundtrip.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
scripts/setup-debian.sh python3-matplotlib
rm -rf build/bench
status=0
scripts/wine-run.sh build build/bin/vorod-bench.exe "$@" || status=$?
# Debian's own Python, which has Debian's matplotlib.
/usr/bin/python3 scripts/bench-pictures.py build/bench docs
exit $status
