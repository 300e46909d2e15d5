// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/local_host_name.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

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

std::string LocalHostName() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return HostNameAsDotAtom(buf);
}

std::string FullyQualifiedHostName() {
  static const std::string name = [] {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0) return std::string();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string canonical = host;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
      if (found != nullptr && found->ai_canonname != nullptr) canonical = found->ai_canonname;
      freeaddrinfo(found);
    }
    canonical = AsciiLower(canonical);
    if (!canonical.empty() && canonical.back() == '.') canonical.pop_back();
    return IsDotAtomText(canonical) && Contains(canonical, ".") ? canonical : std::string();
  }();
  return name;
}

std::string GreetingName(const std::string& fqdn, const std::string& mail_from) {
  if (Contains(fqdn, ".") && IsDotAtomText(fqdn)) return fqdn;
  const size_t at = mail_from.rfind('@');
  if (at != std::string::npos) {
    std::string domain = AsciiLower(mail_from.substr(at + 1));
    if (!domain.empty() && domain.back() == '>') domain.pop_back();
    if (Contains(domain, ".") && IsDotAtomText(domain)) return domain;
  }
  return LocalHostName();
}

}  // namespace kelmora
