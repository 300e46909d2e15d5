// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/local_host_name.h"

#include <cctype>

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {

bool IsDotAtomText(const std::string& s) {
  if (s.empty() || s.front() == '.' || s.back() == '.' || Contains(s, "..")) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
  }
  return true;
}

std::string HostNameAsDotAtom(const std::string& raw) {
  const std::string name = AsciiLower(raw);
  return IsDotAtomText(name) ? name : "localhost";
}

std::string FullyQualifiedName(const std::string& canonical) {
  std::string name = AsciiLower(canonical);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return IsDotAtomText(name) && Contains(name, ".") ? name : std::string();
}

std::string GreetingName(const HostNames& names, const std::string& mail_from) {
  const std::string fqdn = FullyQualifiedName(names.CanonicalName());
  if (!fqdn.empty()) return fqdn;
  const size_t at = mail_from.rfind('@');
  if (at != std::string::npos) {
    std::string domain = AsciiLower(mail_from.substr(at + 1));
    if (!domain.empty() && domain.back() == '>') domain.pop_back();
    if (Contains(domain, ".") && IsDotAtomText(domain)) return domain;
  }
  return HostNameAsDotAtom(names.HostName());
}

}  // namespace kelmora
