// SPDX-License-Identifier: GPL-3.0-or-later
// HostNames: what the system calls this machine, for the name the program
// greets mail servers with. Asked through this interface so that a test can
// give the machine any name: one without a dot, or none at all.
#pragma once

#include <string>

namespace kelmora {

class HostNames {
 public:
  virtual ~HostNames() = default;
  // The system's host name ("" when unknown).
  virtual std::string HostName() const = 0;
  // The canonical name the resolver gives for HostName(), as it gives it;
  // HostName() itself when the resolver knows none, "" without a host name.
  virtual std::string CanonicalName() const = 0;
};

// The system's names. The canonical name is looked up once per process: a
// lookup may wait for a name server, and the answer does not change while
// the program runs.
class SystemHostNames : public HostNames {
 public:
  std::string HostName() const override;
  std::string CanonicalName() const override;
};

// The system's host name ("" when unknown).
std::string SystemHostName();

}  // namespace kelmora
