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
exec "$ROLM_WINE" "$@"
