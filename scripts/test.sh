#!/bin/sh
# Builds everything and runs every test under Wine.
# Where this kernel runs 32-bit code the tests run in the 32-bit build;
# elsewhere they run in the 64-bit build, and the 32-bit build is still
# compiled (warnings are errors) so it can't break unseen.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/wine-env.sh
if [ "$ROLM_WINE" = /usr/lib/wine/wine ]; then
    preset=mingw-wine
else
    preset=mingw64-wine
    echo "test: this kernel runs no 32-bit programs; testing the x86_64 build, compiling the i686 build"
    cmake -S . -B build/i686-check -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
        -DROLM_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/i686-check -j2
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
