# libFuzzer builds (BRACKWELL_FUZZ). Every target, our libraries included, is
# compiled with coverage instrumentation and the sanitizers, so that the fuzzer
# is guided by the code it is meant to break and any memory or undefined-
# behaviour fault stops it at once. Only clang ships libFuzzer.
if(BRACKWELL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRACKWELL_FUZZ needs clang with libFuzzer (Debian: libclang-rt-14-dev); "
                        "use the fuzz preset or CMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The fuzz runs are ctest entries (fuzz/CMakeLists.txt), also when the test
  # suite itself is not built; ctest looks for them from the top directory.
  enable_testing()
endif()
