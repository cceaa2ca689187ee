# Cross build for Windows with Debian's mingw-w64 (posix thread model, so
# std::thread and std::mutex work). Only the mingw sysroot is searched for
# headers, libraries and packages: nothing of the build machine's /usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DD_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${DD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine (WINEPREFIX and WINEDEBUG come from the environment).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
