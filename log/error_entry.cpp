// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/error_entry.h"

#include <new>
#include <system_error>

namespace kelmora {

int ErrorNumberOf(const std::exception& e) {
  if (auto* s = dynamic_cast<const std::system_error*>(&e)) return s->code().value();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return 7;
  return 1;
}

std::string ErrorEntry(const std::string& label, const std::exception& e) {
  return ErrorEntry(label, ExceptionStatus(e));
}

Status ExceptionStatus(const std::exception& e) { return Status::Numbered(ErrorNumberOf(e), e.what()); }

std::string ErrorEntry(const std::string& label, const std::string& description, int number) {
  return label + description + "(" + std::to_string(number) + ")";
}

std::string ErrorEntry(const std::string& label, const Status& status) {
  return ErrorEntry(label, status.message(), status.number());
}

}  // namespace kelmora
