# Shared part of the cross builds for Windows with Debian's mingw-w64 (POSIX
# thread model). The including toolchain file sets BRINDAX_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   /usr/bin/${BRINDAX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${BRINDAX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  /usr/bin/${BRINDAX_MINGW_TRIPLE}-windres)
set(CMAKE_AR           /usr/bin/${BRINDAX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${BRINDAX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${BRINDAX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib comes from libz-mingw-w64-dev; link its static archive, never
# zlib1.dll, so that the programs need only system DLLs.
set(ZLIB_USE_STATIC_LIBS ON)
