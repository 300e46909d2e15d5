// SPDX-License-Identifier: GPL-3.0-or-later
// LocalHostName: this host's name, lower case, as a dot-atom that may stand
// in an EHLO command or a Message-ID; "localhost" when the system's name is
// unknown or would not fit there. And the name Kelmora greets servers with.
#pragma once

#include <string>

namespace kelmora {

std::string LocalHostName();
// The same for the host name `name` (as Clock::HostName gives it).
std::string HostNameAsDotAtom(const std::string& name);

// This machine's fully qualified name: the canonical name of its host name,
// lower case; "" when that has no dot (a bare host name, which servers with
// strict greeting rules refuse). Looked up once per process.
std::string FullyQualifiedHostName();

// The name to greet a mail server with: `fqdn` when it has a dot; else the
// domain of the sender address `mail_from` when that is a dotted host name;
// else LocalHostName().
std::string GreetingName(const std::string& fqdn, const std::string& mail_from);

// True for letters, digits, "-" and "." with no empty label at either end
// and no "..": a host name that can stand in a Message-ID as it is.
bool IsDotAtomText(const std::string& s);

}  // namespace kelmora
