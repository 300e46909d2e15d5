// SPDX-License-Identifier: GPL-3.0-or-later
// Membership commands by mail: registration, removal, password inquiry and
// password change on a row's address file. Each returns the reply text for
// the sender and keeps the loaded destination lists in step.
#pragma once

#include <string>

#include "config/address_file.h"
#include "config/master_table.h"
#include "mail/received_mail.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

// What the commands work on.
struct MembershipContext {
  FileSystem& fs;
  const Clock& clock;            // the stamp of a changed member line
  MemberTable& members;          // the loaded lists, kept in step
  const std::string& program_folder;
};

// Carries out the command of `rule` for `mail`; returns the reply text.
std::string RunMembershipCommand(const MembershipContext& ctx, const MasterRule& rule, const ReceivedMail& mail);

}  // namespace kelmora
