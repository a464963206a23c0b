#!/bin/sh
# Builds rolm.exe and runs it under Wine: with arguments, that one command
# ("scripts/run.sh ping 127.0.0.1"); without, a short tour of the families.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/wine-env.sh
if [ "$ROLM_WINE" = /usr/lib/wine/wine ]; then preset=mingw-wine; dir=build; else preset=mingw64-wine; dir=build64; fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target rolm_cli rolmview
rolm() { echo "\$ rolm $*"; scripts/wine-run.sh "$PWD/$dir/wineprefix" "$dir/bin/rolm.exe" "$@"; }
if [ $# -gt 0 ]; then rolm "$@"; exit $?; fi
rolm trace "hello from rolm"
rolm filetime 12345678
rolm error 5
