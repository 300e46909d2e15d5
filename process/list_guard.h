// SPDX-License-Identifier: GPL-3.0-or-later
// ListGuard: what a rule row checks before it acts on a message, so that
// list mail behaves well: no reply (and no membership change) for machine
// mail, no forwarding of automatic mail or of a message that already went
// through the list, and at most one prepared-text reply per sender and row
// a day. A row that holds a message back does nothing for it and logs one
// line; other rows still act on the message. Bounce rows are never held
// back: they exist for mail from machines.
#pragma once

#include <string>

#include "config/master_table.h"
#include "mail/received_mail.h"
#include "process/reply_limiter.h"

namespace kelmora {

// Rows that send the sender an answer (prepared text, membership, survey
// results, file retrieval) rather than forwarding to a list.
bool IsReplyRow(RuleAction action);

// Rows whose answer is a prepared text (auto-reply, body reply): limited to
// one a day per sender.
inline bool IsPreparedTextReplyRow(RuleAction action) { return IsPreparedTextReply(action); }

// The key that names row `rule` in the reply record.
std::string ReplyRowKey(const MasterRule& rule);

// "" when row `row` may act on `mail`; otherwise the main-log line that
// names the sender and the reason.
std::string HoldBackLine(const MasterTable& master, int row, const ReceivedMail& mail, const ReplyLimiter& limiter);

// The main-log line for a reply record that could not be written.
std::string ReplyRecordFailureLine(const std::string& reason);

}  // namespace kelmora
