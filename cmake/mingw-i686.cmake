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

# Debian's mingw zlib (libz-mingw-w64-dev) is taken statically, so the
# programs need no zlib1.dll beside them. Debian has no mingw bzip2.
set(ZLIB_USE_STATIC_LIBS ON)

# GCC 12 optimising 32-bit code warns falsely inside the standard library:
# overlapping copies in std::string's operator+ (GCC bug 105651), and
# out-of-bounds moves and over-reads in std::vector::insert. With -Werror
# those would break ordinary code; the native builds keep these warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict -Wno-array-bounds -Wno-stringop-overread")
