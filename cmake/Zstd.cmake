# libzstd as one target, brindax_zstd (release manifests and binary deltas).
#   Linux: Debian's libzstd-dev, found with pkg-config.
#   Windows: a static library built from Debian's source package by
#   scripts/windows/build-libzstd.sh into the build tree; configuring runs
#   the script when the prefix is still empty. The product links it in.

if(TARGET brindax_zstd)
  return()
endif()

if(WIN32)
  set(BRINDAX_ZSTD_PREFIX "${CMAKE_BINARY_DIR}/_deps/libzstd" CACHE PATH
      "Install prefix of the Windows build of libzstd")
  option(BRINDAX_ZSTD_AUTO_BUILD "Build libzstd for Windows while configuring when it is missing" ON)
  set(_brindax_zstd_library "${BRINDAX_ZSTD_PREFIX}/lib/libzstd.a")
  if(NOT EXISTS "${_brindax_zstd_library}" AND BRINDAX_ZSTD_AUTO_BUILD)
    message(STATUS "Building libzstd for ${BRINDAX_WINDOWS_ARCH} into ${BRINDAX_ZSTD_PREFIX}")
    execute_process(
      COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/windows/build-libzstd.sh"
              ${BRINDAX_WINDOWS_ARCH} "${BRINDAX_ZSTD_PREFIX}"
      RESULT_VARIABLE _brindax_zstd_result)
    if(NOT _brindax_zstd_result EQUAL 0)
      message(FATAL_ERROR "scripts/windows/build-libzstd.sh failed (${_brindax_zstd_result})")
    endif()
  endif()
  if(NOT EXISTS "${_brindax_zstd_library}")
    message(FATAL_ERROR "No Windows libzstd in ${BRINDAX_ZSTD_PREFIX}; run "
                        "scripts/windows/build-libzstd.sh ${BRINDAX_WINDOWS_ARCH} ${BRINDAX_ZSTD_PREFIX}")
  endif()
  add_library(brindax_zstd STATIC IMPORTED GLOBAL)
  set_target_properties(brindax_zstd PROPERTIES
    IMPORTED_LOCATION "${_brindax_zstd_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${BRINDAX_ZSTD_PREFIX}/include")
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
add_library(brindax_zstd INTERFACE IMPORTED GLOBAL)
set_target_properties(brindax_zstd PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::ZSTD)
