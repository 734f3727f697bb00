# Cross build for 32-bit Windows (i686-w64-mingw32): the product.
set(BRINDAX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# No emulator: this 32-bit build is never run on the build machine.
