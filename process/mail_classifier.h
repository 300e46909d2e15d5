// SPDX-License-Identifier: GPL-3.0-or-later
// MailClassifier: which received messages the rules must leave alone, so
// that Kelmora never answers a machine and never feeds a loop:
//
//   - machine mail gets no automatic reply of any kind and changes no
//     membership: Auto-Submitted other than "no", Precedence bulk, junk or
//     list, any List-Id, a Return-Path that is empty ("<>") or names
//     MAILER-DAEMON or postmaster (a message without Return-Path counts as
//     sent by a person);
//   - automatic mail in the narrow sense (Auto-Submitted other than "no",
//     Precedence bulk or junk) is not forwarded to a list either, so a
//     vacation reply to a post never reaches the whole list; mail from other
//     lists is still forwarded, so lists can be chained;
//   - a message that already went through the list it would be forwarded
//     to (its X-Loop names the list address, or its List-Id is the list's
//     own) is not forwarded again.
//
// Reasons are the header as the message carries it ("Precedence: bulk"),
// for the log line of the row that holds the message back.
#pragma once

#include <string>

#include "mail/received_mail.h"

namespace kelmora {

struct MailClass {
  bool machine = false;    // no reply, no membership change
  bool automatic = false;  // not forwarded either
  std::string reason;      // the header that decided it; "" for a person
};

MailClass ClassifyMail(const ReceivedMail& mail);

// "" when forwarding `mail` to the list at `list_address` (bare address)
// with List-Id `list_id` ("id.domain", no angle brackets) cannot loop;
// otherwise the header that shows the loop.
std::string LoopReason(const ReceivedMail& mail, const std::string& list_address, const std::string& list_id);

}  // namespace kelmora
