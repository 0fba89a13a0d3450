#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's own prefix.
# Usage: wine-run.sh BUILD_DIR PROGRAM [ARGS...]
# CTest uses it as the cross-compiling emulator. The prefix lives in
# BUILD_DIR/wineprefix and is created on first use; one persistent wineserver
# serves the whole run. The program's output goes to a file first: Wine's
# helper processes inherit stdout and would keep a pipe open for seconds.
set -u
build=$(cd "$1" && pwd); shift

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

if [ ! -f "$WINEPREFIX/.vorod-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.vorod-ready" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null
      "$wineserver" -w
      touch "$WINEPREFIX/.vorod-ready"
    fi
  ) 9>"$build/.wineprefix.lock"
fi

# Keep one wineserver alive for the run; a second start is refused harmlessly.
"$wineserver" -p >/dev/null 2>&1 </dev/null

out=$(mktemp "${TMPDIR:-/tmp}/vorod-wine.XXXXXX")
"$wine" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
