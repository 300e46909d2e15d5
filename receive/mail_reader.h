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
// Body: the first text/plain part that is not an attachment (a message made
// of one text part is its body even when the part carries a file name);
// further inline text/plain parts are appended after a line break. Without any, the text of
// the first HTML part (tags removed, entities decoded). Every part is
// decoded here rather than by GMime, so that code page 932 extensions such
// as circled digits survive in Shift_JIS, ISO-2022-JP and EUC-JP.
//
// Attachments: every other leaf part (and every attached message, saved as
// .eml) is written into `folder` under its own file name made safe (no path
// separators or control characters, no leading dot, Japanese kept, at most
// 200 bytes), or "attachment" plus an extension from its type when it has
// none. An existing file is never replaced: "name(1).ext", "name(2).ext" ...
// are tried instead. Each file is complete before its item is returned; when
// one cannot be written, the files already saved for this message are
// removed again and the result is a failure text.
//
// `fields` names the header items wanted, separated by ":" (the program
// passes "to:from:subject:"); an empty text means all three. Body and File
// items are always returned.
//
// A message that cannot be read or is not a mail message gives
// MailReply::Text with a failure text naming the file.
#pragma once

#include <string>
#include <string_view>

#include "receive/mail_component.h"
#include "textio/file_system.h"

namespace kelmora {

MailReply ReadMailFile(FileSystem& fs, const std::string& name, const std::string& fields,
                       const std::string& folder);

// The text of `bytes` labelled with the MIME charset `charset`, as UTF-8.
// Shift_JIS and its aliases are read as code page 932; ISO-2022-JP keeps the
// NEC and IBM extensions; an unknown or empty label is tried as UTF-8 and
// then as code page 932 (ISO-2022-JP when the bytes hold its escapes).
// Never fails: undecodable bytes become U+FFFD.
std::string DecodeMailCharset(std::string_view bytes, std::string_view charset);

// Decodes an unstructured header value (RFC 2047 encoded-words, also when
// a multi-byte character is split across two words; raw 8-bit text taken as
// UTF-8 or code page 932) and unfolds it onto one line.
std::string DecodeHeaderText(std::string_view raw);

// The visible text of an HTML document: tags dropped, block ends turned
// into line breaks (LF), entities decoded, runs of blanks collapsed.
std::string HtmlToText(std::string_view html);

}  // namespace kelmora
