// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a stored message: the Read half of the mail component.
//
// A stored message is the raw RFC 822 text as the server handed it out.
// ReadMailFile fills a ReceivedMail (received_mail.h) from it:
//
//   StoredName            the name it was asked to read
//   ToAddress, ToName     first recipient of the To header
//   FromAddress, FromName first mailbox of the From header
//   Subject               decoded subject, on one line (blanks kept)
//   Body                  the text body, line breaks CR LF
//   AttachmentFiles       "" and then one path per attachment saved into
//                         the folder
//
// and the headers that tell automatic and list mail and loops apart, each
// unfolded onto one line (encoded-words decoded, blanks trimmed), "" when
// the header is absent:
//
//   AutoSubmitted, Precedence, ListId, MessageId, References, InReplyTo
//                         the first header of each name
//   HasReturnPath, ReturnPath
//                         whether a Return-Path header is there, and its
//                         value ("<>" stays "<>")
//   XLoop                 every X-Loop header, TAB between them
//   Recipients            one per mailbox of the To and Cc headers (groups
//                         opened), in header order, read as To is
//   DeliveryStatus        one per recipient of a delivery status
//                         notification's machine-readable part
//                         (delivery_report.h)
//
// Addresses and names are read from a header value written as
// "\"Display Name\" <local@domain>", or "<local@domain>" when the header
// gives no name, whatever form the header itself used (RFC 2047 names in
// any of the Japanese charsets, bare addresses, groups, several
// recipients): the name is the text between the first and the last double
// quote (DisplayName) and the address the first local@domain between "<"
// and ">" (ExtractAddress). Names are cleaned first so that this always
// gives back the name itself:
//   - line breaks and other control characters become blanks;
//   - a backslash in front of a double quote is dropped (the name keeps the
//     quote itself: the first/last-quote rule needs no escaping, while a
//     backslash-quote pair would be taken for an escaped form);
//   - in a name that holds "@", "<" and ">" become their full-width forms,
//     or the name itself would be read as the address.
// An empty group ("undisclosed-recipients:;") gives its name and no
// address; a group with members gives its first member. A header that
// holds nothing readable as an address is read as its text.
//
// Body and attachments: as mime_walk.h describes; without a plain-text
// part, the text of the first HTML part (html_text.h), line breaks CR LF.
// The message is read from its file in pieces, never held whole.
//
// Failures (then *mail is left as it was), each with a message naming the
// file, as the log shows it:
//   - InvalidArgument: a name that is empty or climbs out of the folder;
//   - IOError: the file cannot be read, or an attachment cannot be written
//     (the files already saved for this message are removed again): these
//     may pass;
//   - Corrupt: the file is not a mail message, or its MIME structure is
//     broken and nothing readable is left of it (the message is then kept
//     rather than forwarded empty).
#pragma once

#include <string>

#include "mime/charset_decoder.h"
#include "mime/header_decoder.h"
#include "mime/html_text.h"
#include "mime/received_mail.h"
#include "textio/file_system.h"

namespace kelmora {

[[nodiscard]] Status ReadMailFile(FileSystem& fs, const std::string& name, const std::string& folder,
                                  ReceivedMail* mail);

}  // namespace kelmora
