#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's own prefix.
# Usage: wine-run.sh BUILD_DIR PROGRAM [ARGS...]
#        wine-run.sh BUILD_DIR --prepare   (only creates the prefix and starts
#                                           the wineserver)
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

# Xvfb runs no window manager: with Wine's default "managed" top-level windows,
# every hide or destroy of a window waits 2 s for a window manager to answer.
ready="$WINEPREFIX/.vorod-prefix-2"
if [ ! -f "$ready" ]; then
  (
    flock 9
    if [ ! -f "$ready" ]; then
      # Wine's helper processes outlive these commands: they must not
      # inherit the lock.
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null 9>&-
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null 9>&-
      touch "$ready"
    fi
  ) 9>"$build/.wineprefix.lock"
fi

# Keep one wineserver alive for the run; a second start is refused harmlessly.
"$wineserver" -p >/dev/null 2>&1 </dev/null
[ "${1:-}" = "--prepare" ] && exit 0

out=$(mktemp "${TMPDIR:-/tmp}/vorod-wine.XXXXXX")
"$wine" "$@" >"$out" 2>&1 </dev/null
rc=$?
# Now and then, on a loaded machine, Wine fails to start a program at all: it
# exits at once and prints nothing. Every program of ours prints something,
# so that is a launch failure, not the program's: start it once more.
if [ $rc -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run: $1 exited with $rc before printing anything; starting it again" >&2
  "$wine" "$@" >"$out" 2>&1 </dev/null
  rc=$?
fi
cat "$out"
rm -f "$out"
exit $rc
