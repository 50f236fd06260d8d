# Shared part of the MinGW-w64 toolchains; the including file sets TARVO_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the default win32 one has no std::mutex, which GoogleTest needs.
set(CMAKE_C_COMPILER ${TARVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVO_MINGW_TRIPLET}-windres)

# Libraries, headers and packages from the MinGW tree only; programs (cmake, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: Wine (and a Windows machine) then needs no MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and test discovery run the programs under Wine, through the loader of the target's word size (the
# toolchain file sets TARVO_WINE_LOADER): the wine wrapper prefers the 32-bit loader whenever wine32 is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVO_WINE_LOADER})
