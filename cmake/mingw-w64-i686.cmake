# 32-bit Windows, the platform the tool ships for. The program's own code is compiled for the
# Pentium (P5), the oldest processor it runs on: no conditional moves, MMX or SSE. The compilers'
# run-time libraries are built for the Pentium Pro and later, so the program links none of them
# (cmake/windows_program.cmake); windows_executable checks what it holds.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_CXX_FLAGS_INIT -march=pentium)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
