# 64-bit Windows, win32 thread model: the shipped programs of the x86_64 build.
set(ROLM_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake)
