// SPDX-License-Identifier: GPL-3.0-or-later
// Status: the outcome of an operation that can fail: a code saying what kind
// of failure it was, a human-readable message and, for failures the log
// reports with a number ("…(91)"), that number. Cheap to copy; an OK status
// carries no message. Dropping one unread is a compile warning: a caller
// that has nothing to do with a failure says so with a (void) cast and a
// comment saying why.
#pragma once

#include <string>
#include <utility>

namespace kelmora {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk = 0,
    kNotFound,         // the file or item does not exist
    kIOError,          // the disk or the network failed
    kCorrupt,          // the data is damaged or does not parse
    kInvalidArgument,  // the caller asked for something that cannot be
    kRefused,          // a peer (server, store) said no
    kError,            // any other failure; the message tells
  };

  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(std::string message) { return Status(Code::kError, std::move(message)); }
  static Status NotFound(std::string message) { return Status(Code::kNotFound, std::move(message)); }
  static Status IOError(std::string message) { return Status(Code::kIOError, std::move(message)); }
  static Status Corrupt(std::string message) { return Status(Code::kCorrupt, std::move(message)); }
  static Status InvalidArgument(std::string message) {
    return Status(Code::kInvalidArgument, std::move(message));
  }
  static Status Refused(std::string message) { return Status(Code::kRefused, std::move(message)); }
  // A failure the log reports under `number` (the numbers users know from
  // the log and the help texts); the code is kError.
  static Status Numbered(int number, std::string message) {
    Status s(Code::kError, std::move(message));
    s.number_ = number;
    return s;
  }

  // The same failure reported under `number`.
  Status WithNumber(int number) const {
    Status s = *this;
    s.number_ = number;
    return s;
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsIOError() const { return code_ == Code::kIOError; }
  bool IsCorrupt() const { return code_ == Code::kCorrupt; }
  const std::string& message() const { return message_; }
  // The number the log shows for this failure: the one it was given, or 1
  // for a failure that was given none. 0 for OK.
  int number() const { return ok() ? 0 : (number_ != 0 ? number_ : 1); }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = Code::kOk;
  std::string message_;
  int number_ = 0;
};

}  // namespace kelmora
