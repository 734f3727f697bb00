# Windows builds (mingw-w64 cross compilers, see cmake/toolchains/): libzip
# from the build tree, GoogleTest from the sources in /usr/src/googletest,
# programs that need only system DLLs, Wine as the emulator for running the
# 64-bit programs here, and the properties of the product executable.

if(NOT WIN32)
  return()
endif()

enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(BRINDAX_WINDOWS_ARCH x86_64)
  set(BRINDAX_MANIFEST_ARCH amd64)
else()
  set(BRINDAX_WINDOWS_ARCH i686)
  set(BRINDAX_MANIFEST_ARCH x86)
endif()

# Every program is linked with the GCC and C++ runtimes and winpthread
# built in; the C library stays the system's MSVCRT.dll (the mingw-w64
# default). With that, nothing beside the executables has to be shipped or
# copied for Wine.
add_link_options(-static -static-libgcc -static-libstdc++)

# --- libzip ------------------------------------------------------------------
# Built from Debian's source package by scripts/windows/build-libzip.sh and
# installed into the build tree; configuring runs the script when the
# prefix is still empty.
set(BRINDAX_LIBZIP_PREFIX "${CMAKE_BINARY_DIR}/_deps/libzip" CACHE PATH
    "Install prefix of the Windows build of libzip")
option(BRINDAX_LIBZIP_AUTO_BUILD "Build libzip for Windows while configuring when it is missing" ON)
set(_brindax_libzip_config "${BRINDAX_LIBZIP_PREFIX}/lib/cmake/libzip/libzip-config.cmake")
if(NOT EXISTS "${_brindax_libzip_config}" AND BRINDAX_LIBZIP_AUTO_BUILD)
  message(STATUS "Building libzip for ${BRINDAX_WINDOWS_ARCH} into ${BRINDAX_LIBZIP_PREFIX}")
  execute_process(
    COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/windows/build-libzip.sh"
            ${BRINDAX_WINDOWS_ARCH} "${BRINDAX_LIBZIP_PREFIX}"
    RESULT_VARIABLE _brindax_libzip_result)
  if(NOT _brindax_libzip_result EQUAL 0)
    message(FATAL_ERROR "scripts/windows/build-libzip.sh failed (${_brindax_libzip_result})")
  endif()
endif()
if(NOT EXISTS "${_brindax_libzip_config}")
  message(FATAL_ERROR "No Windows libzip in ${BRINDAX_LIBZIP_PREFIX}; run "
                      "scripts/windows/build-libzip.sh ${BRINDAX_WINDOWS_ARCH} ${BRINDAX_LIBZIP_PREFIX}")
endif()
# An explicit package directory is not re-rooted into the toolchain's
# find root, unlike a prefix path.
set(libzip_DIR "${BRINDAX_LIBZIP_PREFIX}/lib/cmake/libzip" CACHE PATH "libzip CMake package" FORCE)

# --- Wine ---------------------------------------------------------------------
# The toolchain names wine64 as the emulator; wrap it so that every run uses
# a Wine prefix in the build tree and keeps Wine quiet.
if(CMAKE_CROSSCOMPILING_EMULATOR AND NOT CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine-run\\.sh$")
  set(BRINDAX_WINEPREFIX "${CMAKE_BINARY_DIR}/_wine" CACHE PATH "Wine prefix for running the tests")
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 BRINDAX_WINE)
  get_filename_component(_brindax_wine_dir "${BRINDAX_WINE}" DIRECTORY)
  find_program(BRINDAX_WINESERVER NAMES wineserver64 wineserver
               HINTS "${_brindax_wine_dir}" NO_CMAKE_FIND_ROOT_PATH)
  if(NOT BRINDAX_WINESERVER)
    set(BRINDAX_WINESERVER wineserver)
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/wine-run.sh.in
                 ${CMAKE_BINARY_DIR}/wine-run.sh
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                 @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()

# --- GoogleTest ---------------------------------------------------------------
# Compiled from Debian's sources with the cross compiler; provides the
# GTest::gtest, GTest::gmock (and *_main) targets that the modules link.
macro(brindax_windows_googletest)
  set(BRINDAX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${BRINDAX_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${BRINDAX_GOOGLETEST_SOURCE} "
                        "(apt-get install googletest)")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BRINDAX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  foreach(_brindax_gtest_target gtest gmock gtest_main gmock_main)
    if(TARGET ${_brindax_gtest_target})
      # Its headers are system headers to us: no warnings from them.
      get_target_property(_brindax_inc ${_brindax_gtest_target} INTERFACE_INCLUDE_DIRECTORIES)
      set_target_properties(${_brindax_gtest_target} PROPERTIES
                            INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_brindax_inc}")
    endif()
  endforeach()
  foreach(_brindax_gtest_target gtest gmock gtest_main gmock_main)
    if(NOT TARGET GTest::${_brindax_gtest_target})
      add_library(GTest::${_brindax_gtest_target} ALIAS ${_brindax_gtest_target})
    endif()
  endforeach()
  set(GTest_FOUND TRUE)
endmacro()

# --- the product ----------------------------------------------------------------
# brindax_configure_product(<target>): the updater executable as shipped: a
# GUI-subsystem program (WinMain entry, no console), runtimes linked in, and
# an application manifest asking for Common Controls 6.0.0.0 for this
# processor architecture.
function(brindax_configure_product target)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_link_options(${target} PRIVATE -mwindows -static -static-libgcc -static-libstdc++)

  set(BRINDAX_MANIFEST_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.resources)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/app.manifest.in ${_dir}/${target}.manifest @ONLY)
  set(BRINDAX_RC_TARGET ${target})
  set(BRINDAX_RC_MANIFEST ${_dir}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/app.rc.in ${_dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${_dir}/${target}.rc)
  set_source_files_properties(${_dir}/${target}.rc PROPERTIES
                              OBJECT_DEPENDS ${_dir}/${target}.manifest)
endfunction()
