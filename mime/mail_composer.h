// SPDX-License-Identifier: GPL-3.0-or-later
// ComposeMail: builds one message ready to hand to a server from an
// OutgoingMessage (outgoing_message.h), for the SMTP road and the local
// mail store alike.
#pragma once

#include <string>
#include <vector>

#include "mime/outgoing_message.h"
#include "textio/status.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

// One message ready to hand to a server.
struct ComposedMail {
  std::string mail_from;               // envelope sender (bare address)
  std::vector<std::string> envelope;   // envelope recipients, no duplicates
  std::vector<std::string> invalid;    // recipient items that are no address
  std::string message;                 // the whole message, CR LF line ends
  std::string message_id;              // without angle brackets
  std::string save_folder;             // where a copy is kept, or ""
};

// Builds the message (UTF-8 text body in base64, or 7bit when it is plain
// ASCII; the subject as header_encoder.h writes it, blanks at either end
// kept; Date and a unique Message-ID, both from `clock`; the program's own
// headers; attachments read through `fs`, sent as
// base64 under their file names (RFC 2231 for non-ASCII names) with the
// content type their content shows, text as text/plain with its charset;
// an attached message (a .eml file that begins with a header field) as
// message/rfc822, or message/global when its header holds UTF-8, in 7bit or
// 8bit as RFC 2046 requires, its own parts unchanged, unless its lines do
// not allow that (NUL, bare CR or LF, longer than 998 bytes): then as a
// file in base64). Large attachments are read from their files while the
// message is written, and the message is held once, in `mail->message`.
// Fails with the text to report: an unreadable attachment (IOError), no
// usable sender address (InvalidArgument).
Status ComposeMail(FileSystem& fs, const Clock& clock, const OutgoingMessage& message, ComposedMail* mail);

// The content type of an attachment from its content: "type/subtype", with
// "; charset=..." for text. Unknown content is application/octet-stream.
std::string AttachmentContentType(const std::string& bytes);

}  // namespace kelmora
