// What the Windows program would otherwise take from the compiler's libraries, which it does not
// link: they are built for later processors than the program's (see entry_point.cpp).
//
// - Memory for C++ objects comes from msvcrt.dll's heap. Running out of it ends the program with
//   abort(), as the exception the C++ library would throw, never caught, does.
// - The C++ library's headers report impossible arguments (a null C string, a position past the
//   end) through the functions below, which the library defines to throw. The program is built
//   without exceptions, so they end it with abort() as well; the tool never passes such arguments.
// - MinGW-w64's headers send printf to MinGW-w64's own formatter; here it goes to msvcrt.dll's
//   vfprintf (which the headers name __ms_vfprintf). The program prints only with %d and %s, which
//   the two format alike.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  if (void* memory = std::malloc(size))
    return memory;
  std::abort();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace std {

void __throw_logic_error(const char*) {
  std::abort();
}

void __throw_out_of_range_fmt(const char*, ...) {
  std::abort();
}

}  // namespace std

extern "C" int __mingw_vfprintf(FILE* stream, const char* format, va_list arguments) {
  return __ms_vfprintf(stream, format, arguments);
}
