# libzip: its CMake package when there is one (the Windows builds point
# libzip_DIR at their own, see cmake/Windows.cmake), else pkg-config.
if(WIN32)
  # The static Windows build links zlib through the imported target
  # ZLIB::ZLIB, which its package expects to exist already. Never fall back
  # to pkg-config here: that would find the build machine's libzip.
  if(NOT TARGET ZLIB::ZLIB)
    find_package(ZLIB REQUIRED)
  endif()
  # (The static build's zipconf.h defines ZIP_STATIC itself, so zip.h
  # declares no DLL imports.)
  find_package(libzip CONFIG REQUIRED)
  set(BRINDAX_LIBZIP_TARGET libzip::zip)
  return()
endif()

find_package(libzip CONFIG QUIET)
if(TARGET libzip::zip)
  set(BRINDAX_LIBZIP_TARGET libzip::zip)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  set(BRINDAX_LIBZIP_TARGET PkgConfig::LIBZIP)
endif()
