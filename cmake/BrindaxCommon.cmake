# Shared helpers for the module CMakeLists.

if(WIN32)
  set(BRINDAX_PLATFORM_SUFFIX win32)
else()
  set(BRINDAX_PLATFORM_SUFFIX posix)
endif()

# brindax_platform_sources(<out-var> <stem>...): for each stem, the portable
# "<stem>.cpp" when it exists and "<stem>_win32.cpp" or "<stem>_posix.cpp"
# for the platform being built.
function(brindax_platform_sources out)
  set(result)
  foreach(stem IN LISTS ARGN)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${stem}.cpp)
      list(APPEND result ${stem}.cpp)
    endif()
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${stem}_${BRINDAX_PLATFORM_SUFFIX}.cpp)
      list(APPEND result ${stem}_${BRINDAX_PLATFORM_SUFFIX}.cpp)
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(brindax_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
  endif()
endfunction()

# brindax_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable
# whose cases are registered with CTest one by one.
function(brindax_add_test name)
  if(NOT BRINDAX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  brindax_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # A case that GoogleTest skips is reported as skipped, not as passed.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" ${T_PROPERTIES})
endfunction()

# brindax_module_tests(<out-var>): the tests beside the current module's code:
# every name_test.cpp, and name_win32_test.cpp / name_posix_test.cpp only on
# their platform.
function(brindax_module_tests out)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(WIN32)
    list(FILTER tests EXCLUDE REGEX "_posix_test\\.cpp$")
  else()
    list(FILTER tests EXCLUDE REGEX "_win32_test\\.cpp$")
  endif()
  set(${out} ${tests} PARENT_SCOPE)
endfunction()
