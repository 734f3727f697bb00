# libzip: its CMake package when there is one (the Windows builds point
# CMAKE_PREFIX_PATH at their own), else pkg-config.
find_package(libzip CONFIG QUIET)
if(TARGET libzip::zip)
  set(BRINDAX_LIBZIP_TARGET libzip::zip)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  set(BRINDAX_LIBZIP_TARGET PkgConfig::LIBZIP)
endif()
