# The Windows release archive: pattern-counters.exe, the README and the licence in one ZIP file;
# the licence with Windows' line ends, as Notepad shows them.
install(TARGETS pattern-counters RUNTIME DESTINATION .)
file(WRITE ${PROJECT_BINARY_DIR}/LICENSE.txt "${PATTERN_COUNTERS_LICENSE_CRLF}")
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pattern-counters)
set(CPACK_PACKAGE_FILE_NAME pattern-counters-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
include(CPack)
