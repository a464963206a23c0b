#!/bin/sh
# Builds everything and runs every test under Wine.
# Where this kernel runs 32-bit code the tests run in the 32-bit build;
# elsewhere they run in the 64-bit build, and the 32-bit library and programs
# are still compiled (the Release build below) so they can't break unseen.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/wine-env.sh
if [ "$ROLM_WINE" = /usr/lib/wine/wine ]; then
    preset=mingw-wine
else
    preset=mingw64-wine
    echo "test: this kernel runs no 32-bit programs; testing the x86_64 build, compiling the i686 build"
fi
# Builds only, warnings as errors: the i686 library and shipped programs in
# Release, and again with clang as a second compiler.
for build in mingw-release clang; do
    cmake --preset "$build" >/dev/null
    cmake --build --preset "$build"
done
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
