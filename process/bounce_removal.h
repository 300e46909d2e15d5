// SPDX-License-Identifier: GPL-3.0-or-later
// Removing dead addresses from member lists: the addresses a returned
// message names, and the recipients a server refused as unknown when the
// mail was handed over (such a refusal never comes back as a bounce).
#pragma once

#include <string>
#include <vector>

#include "config/address_file.h"
#include "config/master_table.h"
#include "config/undelivery.h"
#include "log/logger.h"
#include "mail/mail_component.h"
#include "mail/received_mail.h"
#include "textio/file_system.h"

namespace kelmora {

struct BounceContext {
  FileSystem& fs;
  Logger& logger;
  MemberTable& members;  // the loaded lists: a removed address gets no further post
  const std::string& program_folder;
};

// The addresses a returned message says are dead. A delivery status
// notification is read from its machine-readable part: every recipient
// whose delivery failed for good (never one only delayed, relayed,
// delivered or expanded). A message without such a part goes through the
// patterns: the first pattern whose marker the body holds and that finds an
// address between its marks decides, unless the message is a delay warning
// by its subject. Empty when the message names nobody to remove.
std::vector<std::string> BouncedAddresses(const ReceivedMail& mail, const std::vector<UnDeliveryPattern>& patterns);

// Removes `address` from the address file `file` (a name of the program
// folder) and from its loaded list, and writes the undelivered-mail log
// line. True when it was removed.
bool RemoveBouncedMember(const BounceContext& ctx, const std::string& file, const std::string& address);

// The first row that removes bounced addresses from `addr_file`, or null.
const MasterRule* BounceRowFor(const MasterTable& master, const std::string& addr_file);

// Removes the members among `refused` from the lists their mail went out
// for, through the bounce row of each list (lists without one keep them:
// the refusal is logged where it happened). The list is the address file
// of `sending_row` when given; otherwise that of every row whose list
// address is the refusal's list_address (mail retried from the queue).
// Addresses that are not members of the list are left alone.
void RemoveUnknownRecipients(const BounceContext& ctx, const MasterTable& master,
                             const std::vector<UnknownRecipient>& refused, const MasterRule* sending_row);

}  // namespace kelmora
