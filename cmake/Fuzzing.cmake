# ASSAY_FUZZ: libFuzzer targets (clang only) for the readers, a whole run and
# the analysis, built with AddressSanitizer and UndefinedBehaviorSanitizer.
option(ASSAY_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(ASSAY_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ASSAY_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(ASSAY_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  add_compile_options(${ASSAY_FUZZ_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()
