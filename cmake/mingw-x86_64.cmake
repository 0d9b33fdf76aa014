# 64-bit Windows (PE32+): the same program, for hosts that can run only
# 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(WINE_LOADER /usr/lib/wine/wine64)
set(WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
