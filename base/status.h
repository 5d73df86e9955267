// What an operation came to, as a value: success, nothing there, or a failure and why; and a
// value or the status that stands in its place. Header-only, so that any part of the companion
// and the store can return them without linking anything.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace base {

class Status {
 public:
  // Success, with no message.
  Status() = default;

  static Status OK() { return Status(); }
  // Nothing was there to find, read or delete.
  static Status NotFound(std::string_view message = {}) { return Status(Code::NotFound, message); }
  static Status Failed(std::string_view message) { return Status(Code::Failed, message); }
  // A failure for the moment only (a lock, a writer closing the store): the same request may
  // succeed when made again.
  static Status Transient(std::string_view message) { return Status(Code::Transient, message); }

  bool ok() const { return code_ == Code::Ok; }
  bool IsNotFound() const { return code_ == Code::NotFound; }
  bool IsTransient() const { return code_ == Code::Transient; }
  // Why it failed, in the words of whoever failed; empty on success.
  const std::string& message() const { return message_; }

  // The same failure, its message preceded by `context`.
  Status WithContext(std::string_view context) const {
    Status status = *this;
    status.message_ = std::string(context) + message_;
    return status;
  }

 private:
  enum class Code { Ok, NotFound, Failed, Transient };
  Status(Code code, std::string_view message) : code_(code), message_(message) {}

  Code code_ = Code::Ok;
  std::string message_;
};

// A value, or the status that says why there is none (never an ok one).
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Status status) : status_(std::move(status)) {}

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  // The value; only of a result that is ok.
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace base
