# How pattern-counters.exe is linked: with none of the compiler's run-time libraries. Those are
# built for the Pentium Pro and later, and their start-up code imports functions that Windows 95,
# 98 and ME have only as stubs, while the program runs from Windows 95 on, on a Pentium. Its own
# entry point and the little C++ support it needs (app/windows/) take their place, the C library
# is msvcrt.dll's, printf included, and the program's own code is compiled for the Pentium
# (cmake/mingw-w64-i686.cmake). windows_executable checks the result.
#
# The code linked into the program uses no exceptions and no run-time type information, which would
# need the C++ library's support, and puts each function in a section of its own, so that the linker
# leaves out every function the program never calls. Each part takes its C functions from
# msvcrt.dll, named after it so that the linker finds them.
foreach(target pattern counters startup platform pattern-counters)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -ffunction-sections
                                           -fdata-sections)
  target_link_libraries(${target} PRIVATE msvcrt)
endforeach()
# Nothing is imported by the linker's guess (auto-import), which would need the start-up code's
# run-time relocation: a missing import is an error instead.
target_link_options(pattern-counters PRIVATE -nostdlib -Wl,--gc-sections
                    -Wl,--disable-auto-import)
