# 32-bit Windows, the platform the tool ships for. The compilers' default target, -march=pentiumpro,
# which their run-time libraries were built for too, makes the Pentium Pro the processor the program
# needs: it uses that processor's conditional moves, and no MMX or SSE (windows_executable checks).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
