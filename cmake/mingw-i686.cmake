# Cross-compiles for 32-bit x86 Windows with Debian's mingw-w64 toolchain.
set(ZARVEL_MINGW_TRIPLET i686-w64-mingw32)
set(ZARVEL_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
