// Status: the outcome of an operation that can fail, with a human-readable
// message. Cheap to copy; an OK status carries no message.
#pragma once

#include <string>
#include <utility>

namespace kelmora {

class Status {
 public:
  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }

 private:
  explicit Status(std::string message) : failed_(true), message_(std::move(message)) {}
  bool failed_ = false;
  std::string message_;
};

}  // namespace kelmora
