#!/bin/sh
# snippets.sh CMAKE SOURCE BUILD TOOLCHAIN WINE_RUN: each C++ block of the README a function (never called) of a
# program linked -static against the installed package, found through CMAKE_PREFIX_PATH, and started.
set -e
cmake=$1 source=$2 build=$3 toolchain=$4 run=$5 work=$3/readme-consumer
rm -rf "$work"
mkdir -p "$work/app"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
{
    echo '#include <rolm/rolm.h>'
    echo '#include <stdlib.h>'
    awk '/^```cpp/ { n++; printf "void Snippet%d(HWND hwndMain) {\n    (void)hwndMain;\n", n; on = 1; next }
         /^```/ { if (on) print "}"; on = 0; next }
         on' "$source/README.md"
    echo 'int main() { return 0; }'
} > "$work/app/main.cpp"
cat > "$work/app/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(myapp CXX)
find_package(rolm REQUIRED)
add_executable(myapp main.cpp)
target_link_libraries(myapp PRIVATE rolm::rolm)
target_link_options(myapp PRIVATE -static)
EOF
"$cmake" -S "$work/app" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/build"
"$run" "$build/wineprefix" "$work/build/myapp.exe"
