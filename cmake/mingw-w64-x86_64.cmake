# 64-bit Windows: the same sources built to be tested under 64-bit Wine on machines that cannot
# run 32-bit programs. The tool ships as the 32-bit program only.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
