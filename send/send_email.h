// SPDX-License-Identifier: GPL-3.0-or-later
// SendEMail: sends one message for a rule row through the mail component:
// a list post to every member as blind copies (with the numbered list tag
// for mailing-list rows), or a generated reply to one address.
#pragma once

#include <string>

#include "config/master_table.h"
#include "mail/inbox.h"
#include "mime/outgoing_message.h"
#include "send/outgoing_mail.h"
#include "send/send_context.h"

namespace kelmora {

// OK only when the mail component reported success. A failed send is
// tried once more after a pause when the cycle's mail came by POP3. A
// failure is logged here, once; the Status returned is the failure that
// line shows.
[[nodiscard]] Status SendEMail(const SendContext& ctx, const OutgoingMail& mail, ReceptionMode mode);

// The body sent for a row: `Msg`, with the row's TextBefore (its first "＠＠"
// replaced by `original_sender`) and CR LF in front, and CR LF and TextAfter behind.
std::string BuildBody(const MasterRule& rule, const std::string& original_sender, const std::string& Msg);

// The text without its last character when that character is `c`.
std::string WithoutTrailing(const std::string& text, char c);

// Cuts the first list tag of `keyword` (from its prefix through the next
// "]") out of `subject`; blanks around the cut stay.
std::string StripMLTag(const std::string& subject, const std::string& keyword);

// "[abc:0012(25)] " for keyword "[abc]", number 12 and 25 members.
std::string MLTag(const std::string& keyword, int number, int members);

// True for the two flags that make a numbered list post.
bool IsListPost(ListTagMode tag);

// How a road writes the list tag in front of the subject: the SMTP roads
// put a blank behind it, the local store's road the subject right after
// ")]".
enum class TagSpacing { kBlank, kNoBlank };

// What a row sends on either road: the row's sender (SendFrom), the body
// with the row's additions, the subject, the program's headers, the files
// of AttachmentPaths and a Message-ID that names the program. The subject of a
// list post is the row's tag with the next sequence number (advanced in
// ctx.settings) and the number of members in front of ReceivedSubject; otherwise
// the row's ForwardSubject, or "Fw:" and ReceivedSubject. A generated reply shows its one
// recipient and the members of the row's list, if any; every other mail
// shows the row's list name (an empty group) or its list address and goes
// to the members as blind copies. Fails (6) when the sequence number
// cannot grow any more.
[[nodiscard]] Status RowMessage(const SendContext& ctx, const OutgoingMail& mail, TagSpacing spacing,
                                OutgoingMessage* message);

// Adds 1 to the row's list sequence number and gives it in *number; fails
// (6) when the number cannot grow any more.
[[nodiscard]] Status AdvanceSequenceNumber(Settings& settings, int master_index, int* number);

// A number is used only by a post that goes out: when the row's number is
// still `number`, it goes back to `number` - 1 (and is stored again when
// `stored`, i.e. the taken number had already reached Kelmora.ini).
void GiveBackSequenceNumber(const SendContext& ctx, int master_index, int number, bool stored,
                            const char* failure_label);

// Stores the number a list post just took before the post goes out. When
// Kelmora.ini cannot be written the number is given back and the failure
// returned: a number that is not stored could be handed out again after a
// restart, so the post must not go out with it. The failure is logged under
// `failure_label` with the number 75, which the Status returned carries.
[[nodiscard]] Status StoreTakenSequenceNumber(const SendContext& ctx, int master_index, const char* failure_label);

// The members of the row's destination list (none when the table has no
// list for its Destination).
std::vector<std::string> ListMembers(const SendContext& ctx, int master_index);

}  // namespace kelmora
