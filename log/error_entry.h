// SPDX-License-Identifier: GPL-3.0-or-later
// The one form in which a procedure reports a failure it caught: its fixed
// label (a Japanese text ending in "："), the description, "(", the error
// number and ")".
#pragma once

#include <exception>
#include <string>

#include "textio/status.h"

namespace kelmora {

// The number reported for an exception: the system error code for
// std::system_error, 7 for exhausted memory, and 1 otherwise.
int ErrorNumberOf(const std::exception& e);

std::string ErrorEntry(const std::string& label, const std::exception& e);

// An exception caught at a library's edge as the Status it stands for: its
// text, reported under ErrorNumberOf(e).
Status ExceptionStatus(const std::exception& e);

// For failures that are not exceptions (the description is the whole text).
std::string ErrorEntry(const std::string& label, const std::string& description, int number);

// For a failed Status: its message and its number.
std::string ErrorEntry(const std::string& label, const Status& status);

}  // namespace kelmora
