#!/bin/sh
# Runs a Windows program under Wine with the build tree's private prefix.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use, under a lock, so parallel callers never race.
set -e
prefix=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
"$here/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix"
if [ -t 1 ]; then
    exec "$ROLM_WINE" "$@"
fi
# Not a terminal (CTest, a pipe): Wine's own helper processes (services,
# explorer, a console host) may outlive the program and would keep the
# caller's pipe open, so a reader waiting for its end would hang. They get a
# file instead, copied out once the program has ended.
out=$(mktemp)
status=0
"$ROLM_WINE" "$@" >"$out" 2>&1 </dev/null || status=$?
cat "$out"
# Wine loses the exit code of a program ended by a stack overflow (it says 0):
# a test program that began its tests and never reported them has crashed.
if [ $status -eq 0 ] && grep -q '^\[==========\] Running' "$out" && ! grep -q '^\[==========\] .* ran\.' "$out"; then
    echo "wine-run.sh: the program ended before its tests did" >&2
    status=1
fi
rm -f "$out"
exit $status
