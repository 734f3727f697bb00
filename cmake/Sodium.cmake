# libsodium as one target, brindax_sodium.
#   Linux: Debian's libsodium-dev, found with pkg-config.
#   Windows: a static library built from Debian's source package by
#   scripts/windows/build-libsodium.sh into the build tree; configuring runs
#   the script when the prefix is still empty.

if(TARGET brindax_sodium)
  return()
endif()

if(WIN32)
  set(BRINDAX_SODIUM_PREFIX "${CMAKE_BINARY_DIR}/_deps/libsodium" CACHE PATH
      "Install prefix of the Windows build of libsodium")
  option(BRINDAX_SODIUM_AUTO_BUILD "Build libsodium for Windows while configuring when it is missing" ON)
  set(_brindax_sodium_library "${BRINDAX_SODIUM_PREFIX}/lib/libsodium.a")
  if(NOT EXISTS "${_brindax_sodium_library}" AND BRINDAX_SODIUM_AUTO_BUILD)
    message(STATUS "Building libsodium for ${BRINDAX_WINDOWS_ARCH} into ${BRINDAX_SODIUM_PREFIX}")
    execute_process(
      COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/windows/build-libsodium.sh"
              ${BRINDAX_WINDOWS_ARCH} "${BRINDAX_SODIUM_PREFIX}"
      RESULT_VARIABLE _brindax_sodium_result)
    if(NOT _brindax_sodium_result EQUAL 0)
      message(FATAL_ERROR "scripts/windows/build-libsodium.sh failed (${_brindax_sodium_result})")
    endif()
  endif()
  if(NOT EXISTS "${_brindax_sodium_library}")
    message(FATAL_ERROR "No Windows libsodium in ${BRINDAX_SODIUM_PREFIX}; run "
                        "scripts/windows/build-libsodium.sh ${BRINDAX_WINDOWS_ARCH} ${BRINDAX_SODIUM_PREFIX}")
  endif()
  add_library(brindax_sodium STATIC IMPORTED GLOBAL)
  set_target_properties(brindax_sodium PROPERTIES
    IMPORTED_LOCATION "${_brindax_sodium_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${BRINDAX_SODIUM_PREFIX}/include"
    # Static linking: sodium.h must not declare DLL imports. Its random
    # numbers come from advapi32 (RtlGenRandom), a system DLL.
    INTERFACE_COMPILE_DEFINITIONS "SODIUM_STATIC=1"
    INTERFACE_LINK_LIBRARIES advapi32)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
add_library(brindax_sodium INTERFACE IMPORTED GLOBAL)
set_target_properties(brindax_sodium PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::SODIUM)
