# The same Windows program built for x86-64, for Wine on machines that
# cannot execute 32-bit x86 code.
set(ZARVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(ZARVEL_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
