# 32-bit x86 Windows (PE32), the tool's home platform.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
set(WINE_LOADER /usr/lib/wine/wine)
# A 32-bit Windows of its own, as on the machines it is meant for.
set(WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
