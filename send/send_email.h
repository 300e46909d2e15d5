// SPDX-License-Identifier: GPL-3.0-or-later
// SendEMail: sends one message for a rule row through the mail component:
// a list post to every member as blind copies (with the numbered list tag
// for mailing-list rows), or a generated reply to one address.
#pragma once

#include <string>

#include "config/master_table.h"
#include "mail/inbox.h"
#include "send/outgoing_mail.h"
#include "send/send_context.h"

namespace kelmora {

// True only when the mail component reported success. A failed send is
// tried once more after a pause when the cycle's mail came by POP3.
bool SendEMail(const SendContext& ctx, const OutgoingMail& mail, ReceptionMode mode);

// The body sent for a row: `Msg`, with the row's AddTop (its first "＠＠"
// replaced by `strOrgAN`) and CR LF in front, and CR LF and AddBottom behind.
std::string BuildBody(const MasterRule& rule, const std::string& strOrgAN, const std::string& Msg);

// The text without its last character when that character is `c`.
std::string WithoutTrailing(const std::string& text, char c);

// Cuts the first list tag of `keyword` (from its prefix through the next
// "]") out of `subject`; blanks around the cut stay.
std::string StripMLTag(const std::string& subject, const std::string& keyword);

// "[abc:0012(25)] " for keyword "[abc]", number 12 and 25 members.
std::string MLTag(const std::string& keyword, int number, int members);

// True for the two flags that make a numbered list post.
bool IsListPost(int ML_IDflag);

// The subject of the mail a row sends: for a list post the row's tag with
// the next sequence number (advanced in ctx.settings) and `members` in front
// of mailsb; otherwise the row's Tittle, or "Fw:" and mailsb. Throws
// NumberedError when the sequence number cannot grow any more.
std::string SubjectFor(const SendContext& ctx, const OutgoingMail& mail, int members);

// Adds 1 to the row's list sequence number and returns it; throws
// NumberedError when the number cannot grow any more.
int AdvanceSequenceNumber(Settings& settings, int master_index);

// The members of the row's destination list (none when the table has no
// list for its AddrFile).
std::vector<std::string> ListMembers(const SendContext& ctx, int master_index);

}  // namespace kelmora
