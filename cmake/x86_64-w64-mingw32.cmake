# 64-bit Windows: the same sources, for hosts whose kernel runs no 32-bit
# code (Wine then can only start 64-bit programs).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ROLM_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
