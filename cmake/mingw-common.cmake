# Shared by the mingw-w64 cross toolchains (Debian's -posix compilers: the
# plain ones lack std::mutex, which GoogleTest needs). The including file
# sets TAVRIX_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

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

# Test programs run under wine; TAVRIX_WINE names the loader (the scripts
# name the 64-bit one directly, since Debian's wrapper prefers the 32-bit
# loader whenever it is installed).
if(NOT DEFINED TAVRIX_WINE)
  set(TAVRIX_WINE wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRIX_WINE})

# Debian's mingw zlib (libz-mingw-w64-dev) is taken statically, so the
# programs need no zlib1.dll beside them. Debian has no mingw bzip2.
# libgcrypt (libgcrypt-mingw-w64-dev, for MD5) is linked statically as well;
# archive/CMakeLists.txt picks its .a files.
set(ZLIB_USE_STATIC_LIBS ON)
