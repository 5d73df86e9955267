# Cross-compiles for Windows with the MinGW-w64 compilers of MINGW_TRIPLET; included by the
# toolchain file of each Windows architecture. MINGW_THREADS picks the compilers' thread model:
# win32 (the default) links no threading library, so that the program imports only what Windows
# NT 4.0 has; posix has the complete C++ library that GoogleTest needs, for the tests alone.
# Programs found on the build machine run there; libraries and headers come from the MinGW-w64
# sysroot only.
set(CMAKE_SYSTEM_NAME Windows)

if(NOT MINGW_THREADS)
  set(MINGW_THREADS win32)
endif()
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_THREADS)
