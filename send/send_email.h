// SendEMail: sends one message for a rule row through the mail component:
// a list post to every member as blind copies (with the numbered list tag
// for mailing-list rows), or a generated reply to one address.
#pragma once

#include <string>

#include "send/outgoing_mail.h"

namespace kelmora {

class Program;

// True only when the mail component reported success.
bool SendEMail(Program& program, const OutgoingMail& mail);

// The text without its last character when that character is `c`.
std::string WithoutTrailing(const std::string& text, char c);

// Cuts the first list tag of `keyword` (from its prefix through the next
// "]") out of `subject`; blanks around the cut stay.
std::string StripMLTag(const std::string& subject, const std::string& keyword);

// "[abc:0012(25)] " for keyword "[abc]", number 12 and 25 members.
std::string MLTag(const std::string& keyword, int number, int members);

// The TAB-separated members of the row's destination list appended to
// *recipients; returns how many were appended.
int AppendListMembers(Program& program, int master_index, std::string* recipients);

}  // namespace kelmora
