# The distribution's hardening for the Linux programs, as dpkg-buildflags gives it to Debian's own
# packages, bind-now included: stack protection, fortified C library calls, and relocations made
# read-only once the program is loaded. The build type keeps its own optimisation and debugging
# flags. A Debug build (_FORTIFY_SOURCE needs optimisation), an instrumented build, whose runtime
# replaces the fortified calls, a machine without dpkg and the Windows program go without.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS AND NOT WIN32 AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug"
   AND NOT PATTERN_COUNTERS_SANITIZE AND NOT PATTERN_COUNTERS_FUZZ)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DPKG_BUILDFLAGS}
              --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE flags
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
  endforeach()
endif()
