# libdivsufsort as one target, brindax_divsufsort: the suffix arrays of the
# publisher's "difference" deltas. Only brindax-publish links it; the updater
# applies those deltas with code of its own.
#   Linux: Debian's libdivsufsort-dev, found with pkg-config.
#   Windows: built from Debian's source package by
#   scripts/windows/build-libdivsufsort.sh into the build tree; configuring
#   runs it when the library is missing.
if(TARGET brindax_divsufsort)
  return()
endif()

if(WIN32)
  set(BRINDAX_DIVSUFSORT_PREFIX "${CMAKE_BINARY_DIR}/_deps/libdivsufsort" CACHE PATH
      "Install prefix of the Windows build of libdivsufsort")
  option(BRINDAX_DIVSUFSORT_AUTO_BUILD "Build libdivsufsort for Windows while configuring when it is missing" ON)
  set(_brindax_divsufsort_library "${BRINDAX_DIVSUFSORT_PREFIX}/lib/libdivsufsort.a")
  if(NOT EXISTS "${_brindax_divsufsort_library}" AND BRINDAX_DIVSUFSORT_AUTO_BUILD)
    message(STATUS "Building libdivsufsort for ${BRINDAX_WINDOWS_ARCH} into ${BRINDAX_DIVSUFSORT_PREFIX}")
    execute_process(
      COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/windows/build-libdivsufsort.sh"
              "${BRINDAX_WINDOWS_ARCH}" "${BRINDAX_DIVSUFSORT_PREFIX}"
      RESULT_VARIABLE _brindax_divsufsort_result)
    if(NOT _brindax_divsufsort_result EQUAL 0)
      message(FATAL_ERROR "scripts/windows/build-libdivsufsort.sh failed (${_brindax_divsufsort_result})")
    endif()
  endif()
  if(NOT EXISTS "${_brindax_divsufsort_library}")
    message(FATAL_ERROR "No Windows libdivsufsort in ${BRINDAX_DIVSUFSORT_PREFIX}; run "
                        "scripts/windows/build-libdivsufsort.sh ${BRINDAX_WINDOWS_ARCH} ${BRINDAX_DIVSUFSORT_PREFIX}")
  endif()
  add_library(brindax_divsufsort STATIC IMPORTED GLOBAL)
  set_target_properties(brindax_divsufsort PROPERTIES
    IMPORTED_LOCATION "${_brindax_divsufsort_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${BRINDAX_DIVSUFSORT_PREFIX}/include")
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort)
add_library(brindax_divsufsort INTERFACE IMPORTED GLOBAL)
set_target_properties(brindax_divsufsort PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::DIVSUFSORT)
