// SendEMail: sends one message for a rule row through the mail component:
// a list post to every member as blind copies (with the numbered list tag
// for mailing-list rows), or a generated reply to one address.
#pragma once

#include <string>

#include "config/master_table.h"
#include "send/outgoing_mail.h"

namespace kelmora {

class Program;

// True only when the mail component reported success.
bool SendEMail(Program& program, const OutgoingMail& mail);

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

// Adds 1 to the row's list sequence number and returns it; throws
// NumberedError when the number cannot grow any more.
int AdvanceSequenceNumber(Program& program, int master_index);

// The TAB-separated members of the row's destination list appended to
// *recipients; returns how many were appended.
int AppendListMembers(Program& program, int master_index, std::string* recipients);

}  // namespace kelmora
