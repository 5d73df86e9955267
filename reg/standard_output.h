// The companion's standard output, written so that output that cannot be written is reported
// rather than lost without a word.
#pragma once

#include <streambuf>

namespace reg {

// A stream buffer that writes straight to a file descriptor, without holding anything back, and
// keeps why its first write failed.
class DescriptorOutput : public std::streambuf {
 public:
  explicit DescriptorOutput(int fd) : fd_(fd) {}

  // The errno of the first write that failed, 0 when none did.
  int failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;

 private:
  int fd_;
  int failure_ = 0;
};

}  // namespace reg
