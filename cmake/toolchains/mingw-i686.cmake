# 32-bit Windows programs from Debian's MinGW-w64 (g++-mingw-w64-i686-posix). Run them with wine32:i386
# where the kernel executes 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVO_MINGW_TRIPLET i686-w64-mingw32)
set(TARVO_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
