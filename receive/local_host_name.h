// SPDX-License-Identifier: GPL-3.0-or-later
// LocalHostName: this host's name, lower case, as a dot-atom that may stand
// in an EHLO command or a Message-ID; "localhost" when the system's name is
// unknown or would not fit there.
#pragma once

#include <string>

namespace kelmora {

std::string LocalHostName();

// True for letters, digits, "-" and "." with no empty label at either end
// and no "..": a host name that can stand in a Message-ID as it is.
bool IsDotAtomText(const std::string& s);

}  // namespace kelmora
