# Cross-build for 32-bit Windows with Debian's mingw-w64 (the -posix
# compilers: the plain ones lack std::mutex, which GoogleTest needs).
# Test programs run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAVRIX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static, so the programs need no mingw runtime DLLs under wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# GCC 12 warns falsely about overlapping copies inside std::string's
# operator+ when optimising 32-bit code (GCC bug 105651); with -Werror that
# would break ordinary string concatenation.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
