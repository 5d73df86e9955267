# The licence, from LICENSE at the root, in the forms the packages carry it:
#   PATTERN_COUNTERS_COPYRIGHT          its copyright line, for the Windows version resource
#   PATTERN_COUNTERS_COPYRIGHT_HOLDERS  that line without "Copyright (c)", for Debian's copyright
#   PATTERN_COUNTERS_LICENSE_TERMS      the terms below it, as a field of Debian's copyright file
#   PATTERN_COUNTERS_LICENSE_CRLF       the whole file with Windows' line ends, for the ZIP
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" PATTERN_COUNTERS_COPYRIGHT "${licence_text}")
set(PATTERN_COUNTERS_COPYRIGHT_HOLDERS "${CMAKE_MATCH_1}")
if(NOT PATTERN_COUNTERS_COPYRIGHT)
  message(FATAL_ERROR "LICENSE holds no copyright line")
endif()

# The terms start after the copyright line; in a field, each line is indented and an empty line
# is a lone dot.
string(FIND "${licence_text}" "${PATTERN_COUNTERS_COPYRIGHT}" copyright_at)
string(LENGTH "${PATTERN_COUNTERS_COPYRIGHT}" copyright_length)
math(EXPR terms_at "${copyright_at} + ${copyright_length}")
string(SUBSTRING "${licence_text}" ${terms_at} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " PATTERN_COUNTERS_LICENSE_TERMS " ${terms}")

string(REPLACE "\n" "\r\n" PATTERN_COUNTERS_LICENSE_CRLF "${licence_text}")
