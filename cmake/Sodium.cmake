# libsodium as the target brindax_sodium (BLAKE2b digests of file contents).
# Linux only for now: the system's library through pkg-config. Without it the
# target is missing and the programs that need it are not built.
if(WIN32 OR TARGET brindax_sodium)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
add_library(brindax_sodium INTERFACE)
target_link_libraries(brindax_sodium INTERFACE PkgConfig::SODIUM)
