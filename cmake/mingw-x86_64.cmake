# Cross-build for 64-bit Windows with Debian's mingw-w64; for machines that
# cannot run 32-bit programs, and so that the 64-bit build cannot rot.
set(TAVRIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
