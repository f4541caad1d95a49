# Cross-builds the Windows console executables with mingw-w64 (the posix
# thread model of Debian's g++-mingw-w64-*-posix) for the processor that
# QUORBEL_MINGW_PROCESSOR names; mingw-i686.cmake and mingw-x86_64.cmake set it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUORBEL_MINGW_PROCESSOR})
set(target ${QUORBEL_MINGW_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${target}-g++-posix)
set(CMAKE_RC_COMPILER ${target}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
