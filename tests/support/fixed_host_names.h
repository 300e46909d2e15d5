// SPDX-License-Identifier: GPL-3.0-or-later
// FixedHostNames: a machine with the names a test gives it.
#pragma once

#include <string>

#include "textio/host_names.h"

namespace kelmora {

class FixedHostNames : public HostNames {
 public:
  FixedHostNames(std::string host, std::string canonical) : host_(std::move(host)), canonical_(std::move(canonical)) {}
  std::string HostName() const override { return host_; }
  std::string CanonicalName() const override { return canonical_; }

 private:
  std::string host_;
  std::string canonical_;
};

}  // namespace kelmora
