// The companion's standard output, written straight to its file descriptor.
#include "reg/standard_output.h"

#include <unistd.h>

#include <cerrno>

namespace reg {

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

std::streamsize DescriptorOutput::xsputn(const char* bytes, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count && failure_ == 0) {
    const ssize_t written = ::write(fd_, bytes + done, static_cast<std::size_t>(count - done));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      failure_ = written < 0 ? errno : ENOSPC;
    else
      done += written;
  }
  return done;
}

}  // namespace reg
