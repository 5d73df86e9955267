# The Windows release archive: pattern-counters.exe, its README for Windows users and the licence
# in one ZIP file; the text files with Windows' line ends, as Notepad shows them.
install(TARGETS pattern-counters RUNTIME DESTINATION .)
# The README has one source, app/windows/README.txt.in, with the version and the licence's
# copyright line filled in.
configure_file(${PROJECT_SOURCE_DIR}/app/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
file(WRITE ${PROJECT_BINARY_DIR}/LICENSE.txt "${PATTERN_COUNTERS_LICENSE_CRLF}")
install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pattern-counters)
set(CPACK_PACKAGE_FILE_NAME pattern-counters-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
include(CPack)
