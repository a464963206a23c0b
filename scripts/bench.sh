#!/bin/sh
# Builds and runs the benchmark under Wine; prints one Markdown table.
#   scripts/bench.sh [BUILD_DIR] [search|trace]
# Measures the product's i686 build (default build/). Only where this kernel
# runs no 32-bit code does it fall back to the x86_64 build (default
# build64/), and its first line says so. "search" runs the Match and sign-in
# page rows alone, "trace" the TraceWrite rows.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/wine-env.sh"
if [ "$ROLM_WINE" = /usr/lib/wine/wine64 ]; then
    arch=x86_64 default=$root/build64 why=" (this kernel runs no 32-bit code)"
else
    arch=i686 default=$root/build why=""
fi
build=${1:-$default}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# The build's own target and type, whatever directory was named.
target=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=.*\/\([a-z0-9_]*\)-w64-mingw32\.cmake$/\1/p' "$build/CMakeCache.txt")
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake --build "$build" -j2 --target rolm_bench rolm_shipped >/dev/null
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "rolm benchmark, ${target:-$arch} build$why, $type, $(date -u '+%Y-%m-%d %H:%M UTC'), $cpu, $(nproc) cores, $("$ROLM_WINE" --version 2>/dev/null)"
"$here/wine-run.sh" "$build/wineprefix" "$build/bin/rolm_bench.exe" ${2:+"$2"} 2>/dev/null | tr -d '\r'
