#!/bin/sh
# Builds and runs the benchmark under Wine; prints one Markdown table.
#   scripts/bench.sh [BUILD_DIR]   (an x86_64 build directory, default build64)
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build64}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target rolm_bench rolm_shipped >/dev/null
. "$here/wine-env.sh"
echo "rolm benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -m), $("$ROLM_WINE" --version 2>/dev/null)"
"$here/wine-run.sh" "$build/wineprefix" "$build/bin/rolm_bench.exe" 2>/dev/null | tr -d '\r'
