# What an installation holds on Linux, and its packages: a Debian package and a .tar.gz.
#
#   cmake --install build --prefix ~/.local     the programs, manual pages and documentation
#   (cd build && cpack)                         build/release/pattern-counters_VERSION_ARCH.deb
#                                               and pattern-counters-VERSION-linux-ARCH.tar.gz
include(GNUInstallDirs)
set(PACKAGE_NAME pattern-counters)
set(PACKAGE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PACKAGE_NAME})
# Debian's policy asks for a name and a mail address, and lintian refuses a name alone. Built
# outside Debian, the package has no list to write to: the reserved top-level domain .invalid
# says so, as an address that is sure to reach no one.
set(PATTERN_COUNTERS_MAINTAINER "pattern-counters maintainers <maintainers@pattern-counters.invalid>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

# The manual pages carry the project's version and the date they were built (the date
# SOURCE_DATE_EPOCH gives, where it is set), and are installed compressed, as Debian's own.
string(TIMESTAMP MANUAL_DATE "%Y-%m-%d" UTC)
set(manual_pages)
foreach(page pattern-counters.1 pattern-counters-reg.1)
  configure_file(man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
                     COMMAND gzip -9nkf ${page}
                     DEPENDS ${PROJECT_BINARY_DIR}/man/${page}
                     WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man VERBATIM)
  list(APPEND manual_pages ${PROJECT_BINARY_DIR}/man/${page}.gz)
endforeach()

# A Debian package lists its changes and its copyright (the licence, in Debian's machine-readable
# form) in its documentation folder.
configure_file(cmake/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
string(TIMESTAMP release_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
                   COMMAND gzip -9nkf changelog
                   DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
                   WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/debian VERBATIM)
add_custom_target(installed_documents ALL DEPENDS ${manual_pages}
                                                  ${PROJECT_BINARY_DIR}/debian/changelog.gz)

install(TARGETS pattern-counters pattern-counters-reg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compilers' names that the linked-in libraries bring in .comment sections serve no one: the
# installed programs go without them, as Debian's own do.
install(CODE "foreach(program pattern-counters pattern-counters-reg)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()")
install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The README for those who install the programs: the project's own speaks of its sources.
configure_file(cmake/debian/README.in ${PROJECT_BINARY_DIR}/debian/README @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/debian/README ${PROJECT_BINARY_DIR}/debian/copyright
              ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${PACKAGE_DOCDIR})
# lintian's tags that are not ours to answer, each with its reason.
install(FILES cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${PACKAGE_NAME})

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
# No maker is named: CPack would otherwise fill in a placeholder vendor.
set(CPACK_PACKAGE_VENDOR "")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "records a virus pattern file's number in an antivirus client's registry key")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A console tool that an antivirus client's update step runs with the name of
a virus pattern file. From the name alone it works out a 32-bit pattern
number, then, in the client's registry key, makes sure three counters exist,
prints the four values, records the number as the parent's pattern and steps
a back-revision counter down by one.
The registry is an embedded store in one SQLite file, with a companion
command, pattern-counters-reg, in the syntax of Windows' reg.")
set(CPACK_PACKAGE_CONTACT ${PATTERN_COUNTERS_MAINTAINER})
set(CPACK_PACKAGE_FILE_NAME ${PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C library and what else the programs load is found in the built programs themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
