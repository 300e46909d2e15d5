// SPDX-License-Identifier: GPL-3.0-or-later
// The headers the send methods put on their own mail, so that mail
// programs and providers recognise list mail and automatic replies, and so
// that lists and responders can tell a loop:
//   - a post (anything forwarded for a row) carries List-Id, List-Post,
//     List-Unsubscribe (when the table has a row that removes members of
//     the same address file), X-Loop with the list address and
//     Precedence: list;
//   - a generated reply carries Auto-Submitted: auto-replied and
//     In-Reply-To/References of the request, so that it is threaded.
#pragma once

#include <string>

#include "config/master_table.h"
#include "mime/outgoing_message.h"
#include "send/outgoing_mail.h"

namespace kelmora {

// "id.domain" of the list of `rule` (without angle brackets): id is the
// row's list tag without "[" and "]", lower-cased, every character other
// than a-z, 0-9 and "-" turned into "-"; a row without a tag, or a tag with
// nothing inside, uses the local part of the list address (ToAddr). The
// domain is the list address's, lower-cased.
std::string ListIdentifier(const MasterRule& rule);

// The headers of a post sent for row `master_index`.
ProgramHeaders PostHeaders(const MasterTable& master, int master_index);
// The same for the post `mail`, with the In-Reply-To and References of the
// message it forwards (References gains that In-Reply-To when it lacks
// it), so that replies thread in members' mail programs.
ProgramHeaders PostHeaders(const MasterTable& master, const OutgoingMail& mail);

// The headers of whatever `mail` is: a generated reply or a post.
ProgramHeaders MailHeaders(const MasterTable& master, const OutgoingMail& mail);

// The headers of a generated reply to the request `mail` answers.
ProgramHeaders ReplyHeaders(const OutgoingMail& mail);

// UTF-8 bytes percent-encoded (lower-case hex) for a mailto: URL; only
// A-Z, a-z, 0-9 and "-._~" stay as they are.
std::string PercentEncode(const std::string& text);

}  // namespace kelmora
