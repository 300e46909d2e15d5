// SPDX-License-Identifier: GPL-3.0-or-later
// This machine's names as they may stand in an EHLO command or a
// Message-ID: lower case dot-atoms, "localhost" when the system's name is
// unknown or would not fit there. And the name Kelmora greets servers with.
#pragma once

#include <string>

#include "textio/host_names.h"

namespace kelmora {

// The host name `name` (as HostNames or Clock::HostName give it) as a
// dot-atom: lower case, or "localhost".
std::string HostNameAsDotAtom(const std::string& name);

// A fully qualified name from the resolver's canonical name `canonical`:
// lower case, without a final "."; "" when it has no dot (a bare host name,
// which servers with strict greeting rules refuse) or is no dot-atom.
std::string FullyQualifiedName(const std::string& canonical);

// The name to greet a mail server with: this machine's fully qualified name
// when it has one; else the domain of the sender address `mail_from` when
// that is a dotted host name; else the host name as a dot-atom.
std::string GreetingName(const HostNames& names, const std::string& mail_from);

// True for letters, digits, "-" and "." with no empty label at either end
// and no "..": a host name that can stand in a Message-ID as it is.
bool IsDotAtomText(const std::string& s);

}  // namespace kelmora
