// Membership commands by mail: registration, removal, password inquiry and
// password change on a row's address file. Each returns the reply text for
// the sender and keeps the loaded destination lists in step.
#pragma once

#include <string>

#include "config/master_table.h"
#include "receive/received_mail.h"

namespace kelmora {

class Program;

// True when `process` is one of the six membership commands.
bool IsMembershipCommand(const std::string& process);

// Carries out the command of `rule` for `mail`; returns the reply text.
std::string RunMembershipCommand(Program& program, const MasterRule& rule, const ReceivedMail& mail);

}  // namespace kelmora
