# Cross-build with MinGW-w64 for ROLM_MINGW_TARGET (i686-w64-mingw32 or
# x86_64-w64-mingw32); test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)

# Thread model: posix by default, since GoogleTest needs std::mutex, which the
# win32 model lacks. Its runtime (winpthread) imports GetTickCount64, which XP
# lacks, so the shipped programs are built by a second configure with the
# win32-model toolchain named here (see cmake/shipped-programs.cmake).
if(NOT DEFINED ROLM_MINGW_THREADS)
    set(ROLM_MINGW_THREADS posix)
    set(ROLM_SHIPPED_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/${ROLM_MINGW_TARGET}-win32.cmake)
endif()
set(CMAKE_C_COMPILER   ${ROLM_MINGW_TARGET}-gcc-${ROLM_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${ROLM_MINGW_TARGET}-g++-${ROLM_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${ROLM_MINGW_TARGET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ROLM_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Searches stay under those roots, so a consumer's CMAKE_PREFIX_PATH (where
# rolm was installed, say) would be looked for under /usr/<target> too: each
# of its entries becomes a root of its own.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
