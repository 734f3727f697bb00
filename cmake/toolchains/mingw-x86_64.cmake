# Cross build for 64-bit Windows (x86_64-w64-mingw32).
set(BRINDAX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Programs of this build run under wine64 (ctest and test discovery);
# cmake/Windows.cmake wraps it to use a Wine prefix inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
