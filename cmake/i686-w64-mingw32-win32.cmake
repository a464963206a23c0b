# 32-bit Windows, win32 thread model: the shipped programs (they load on XP).
set(ROLM_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)
