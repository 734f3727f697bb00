# Sanitizer and fuzzing builds (clang or gcc for sanitizers, clang for fuzzing).
#
# BRINDAX_SANITIZE: a -fsanitize= list such as "address,undefined" applied to
# every target; a finding ends the program (no recovery), so a sanitized test
# or child process fails.
# BRINDAX_FUZZ: builds the libFuzzer targets in fuzz/; every library gets the
# coverage instrumentation the fuzzer steers by.
set(BRINDAX_SANITIZE "" CACHE STRING "Sanitizers for every target, e.g. address,undefined")
option(BRINDAX_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(BRINDAX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "BRINDAX_FUZZ needs clang (libFuzzer); use the fuzz preset")
  endif()
  if(NOT BRINDAX_SANITIZE)
    set(BRINDAX_SANITIZE "address,undefined")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(BRINDAX_SANITIZE)
  add_compile_options(-fsanitize=${BRINDAX_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${BRINDAX_SANITIZE})
  # Bounds checks in the standard library's containers and views too.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()
