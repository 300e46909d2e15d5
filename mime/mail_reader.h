// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a stored message: the ReadMail half of the mail component.
//
// A stored message is the raw RFC 822 text as the server handed it out.
// ReadMailFile turns it into the items the processing rules read:
//
//   "To: <value>"       first recipient of the To header
//   "From: <value>"     first mailbox of the From header
//   "Subject: <text>"   decoded subject, on one line
//   "Body: <text>"      the text body, line breaks CR LF
//   "File: <path>"      one per attachment saved into the folder
//
// and, only when `fields` names them, the headers that tell automatic and
// list mail and loops apart, each unfolded onto one line (encoded-words
// decoded), one item per header present, none for a header absent:
//
//   "Auto-Submitted: <value>"   field "auto-submitted"
//   "Precedence: <value>"       field "precedence"
//   "List-Id: <value>"          field "list-id"
//   "Return-Path: <value>"      field "return-path" ("<>" stays "<>")
//   "X-Loop: <value>"           field "x-loop", one item per X-Loop header
//   "Message-ID: <value>"       field "message-id"
//   "References: <value>"       field "references"
//   "In-Reply-To: <value>"      field "in-reply-to"
//   "Recipient: <value>"        field "recipients", one item per mailbox of
//                               the To and Cc headers (groups opened), in
//                               header order, each in the To item's form
//   "Delivery-Status: <action> TAB <address> TAB <status>"
//                               field "delivery-status", one item per
//                               recipient of a delivery status
//                               notification's machine-readable part
//                               (delivery_report.h)
//
// These come after the Subject item and before the Body item.
//
// To and From values take the form "\"Display Name\" <local@domain>", or
// "<local@domain>" when the header gives no name, whatever form the header
// itself used (RFC 2047 names in any of the Japanese charsets, bare
// addresses, groups, several recipients). The receiving side recovers the
// name as the text between the first and the last double quote and the
// address as the first local@domain between "<" and ">"; names are cleaned
// so that this always gives back exactly what is written here:
//   - line breaks and other control characters become blanks;
//   - a backslash in front of a double quote is dropped (the name keeps the
//     quote itself: the first/last-quote rule needs no escaping, while a
//     backslash-quote pair would be taken for an escaped form);
//   - in a name that holds "@", "<" and ">" become their full-width forms,
//     or the name itself would be read as the address.
// An empty group ("undisclosed-recipients:;") gives its name in double
// quotes with no address; a group with members gives its first member.
//
// Body and attachments: as mime_walk.h describes; without a plain-text
// part, the text of the first HTML part (html_text.h), line breaks CR LF.
// When an attachment cannot be written, the files already saved for this
// message are removed again and the result is a failure text; so is it
// when the MIME structure is broken and nothing readable is left of it (the
// message is then kept rather than forwarded empty). The message is read
// from its file in pieces, never held whole.
//
// `fields` names the header items wanted, separated by ":" (the program
// passes "to:from:subject:" and the names above); an empty text means
// To, From and Subject. Body and File items are always returned.
//
// A message that cannot be read or is not a mail message gives
// MailReply::Text with a failure text naming the file.
#pragma once

#include <string>

#include "mime/charset_decoder.h"
#include "mime/header_decoder.h"
#include "mime/html_text.h"
#include "mime/mail_reply.h"
#include "textio/file_system.h"

namespace kelmora {

MailReply ReadMailFile(FileSystem& fs, const std::string& name, const std::string& fields,
                       const std::string& folder);

}  // namespace kelmora
