// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/host_names.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelmora {

std::string SystemHostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "";
  return host;
}

std::string SystemHostNames::HostName() const { return SystemHostName(); }

std::string SystemHostNames::CanonicalName() const {
  static const std::string name = [] {
    const std::string host = SystemHostName();
    if (host.empty()) return host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string canonical = host;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
      if (found != nullptr && found->ai_canonname != nullptr) canonical = found->ai_canonname;
      ::freeaddrinfo(found);
    }
    return canonical;
  }();
  return name;
}

}  // namespace kelmora
