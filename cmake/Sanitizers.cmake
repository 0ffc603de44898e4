# ASSAY_SANITIZE: build everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; any finding ends the run with a failure.
option(ASSAY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(ASSAY_SANITIZE)
  # float-cast-overflow is not part of gcc's "undefined" group; a real that
  # does not fit its integer must never be converted unchecked, so ask for it.
  set(ASSAY_SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow
      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${ASSAY_SANITIZER_FLAGS})
  # The instrumentation makes gcc see uninitialised values in the standard
  # library's own code that are not there.
  add_compile_options(-Wno-maybe-uninitialized)
  add_link_options(${ASSAY_SANITIZER_FLAGS})
endif()
