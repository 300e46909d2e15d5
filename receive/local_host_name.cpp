// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/local_host_name.h"

#include <unistd.h>

#include <cctype>

#include "receive/mime_util.h"
#include "textio/strings.h"

namespace kelmora {

bool IsDotAtomText(const std::string& s) {
  if (s.empty() || s.front() == '.' || s.back() == '.' || Contains(s, "..")) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
  }
  return true;
}

std::string LocalHostName() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  std::string name = AsciiLower(buf);
  return IsDotAtomText(name) ? name : "localhost";
}

}  // namespace kelmora
