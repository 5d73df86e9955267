# Instrumented builds: AddressSanitizer and UndefinedBehaviorSanitizer for the whole build, and on
# top of them libFuzzer's coverage for the fuzz targets. Any finding ends the process with an error.
option(PATTERN_COUNTERS_SANITIZE "Build everything with AddressSanitizer and UBSan" OFF)
option(PATTERN_COUNTERS_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(PATTERN_COUNTERS_SANITIZE OR PATTERN_COUNTERS_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PATTERN_COUNTERS_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
