# 32-bit Windows with clang, a second compiler for the library, against
# MinGW-w64's headers and libraries and the C++ library of its win32 thread
# model (as the shipped programs use).
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-win32.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ROLM_MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${ROLM_MINGW_TARGET})

# clang looks for libstdc++'s headers and libgcc where Debian's MinGW-w64 keeps
# neither: name GCC's own folders.
file(GLOB gcc_dirs /usr/lib/gcc/${ROLM_MINGW_TARGET}/*-win32)
list(SORT gcc_dirs COMPARE NATURAL)
list(POP_BACK gcc_dirs gcc_dir)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${ROLM_MINGW_TARGET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${gcc_dir}")
