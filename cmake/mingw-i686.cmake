# Cross-build for 32-bit Windows with Debian's mingw-w64.
set(TAVRIX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# GCC 12 optimising 32-bit code warns falsely inside the standard library:
# overlapping copies in std::string's operator+ (GCC bug 105651), and
# out-of-bounds moves and over-reads in std::vector::insert. With -Werror
# those would break ordinary code; the native builds keep these warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict -Wno-array-bounds -Wno-stringop-overread")
