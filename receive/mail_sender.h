// MailSender: the SendMail half of the mail component. Builds one message
// with GMime and hands it to an SMTP server with libcurl.
//
// Recipients (TAB-separated items, blanks around an item ignored):
//   - The first item is the visible recipient. A plain address is shown in
//     the To header AND delivered to, as any mail program does with a To
//     address: one-by-one forwarding and replies name their only recipient
//     there, and a list posting reaches the list's own mailbox too (a
//     posting that comes back with the list as sender is skipped by the
//     processing rules). "@" followed by a name is shown as the empty group
//     "name:;" and delivered to nobody.
//   - Further addresses before the item "bcc" are visible too (To header and
//     envelope); every address after "bcc" goes only into the envelope and
//     never into a header.
//   - ">Message-ID: text" puts "text" into the local part of the message's
//     unique Message-ID; ">#save folder" stores a copy of the message in
//     that folder after it was sent; any other ">Name: value" becomes a
//     header line. Names that would break the message or leak blind copies
//     (Bcc, To, Cc, From, Sender, Date, Subject, MIME-Version, Content-*,
//     Message-ID given as a header) are ignored.
//   - An address that appears twice is delivered once. An item that is not
//     an address (no "@", blanks, control or non-ASCII characters inside)
//     is refused here and reported like a recipient the server refused.
//
// Delivery: envelope recipients go in transactions of at most
// MailOptions::max_recipients_per_transaction, on one connection where the
// server allows it. A recipient refused with 452 (too many recipients) is
// sent in a further transaction, as long as the transaction that refused it
// delivered to someone. A recipient refused otherwise, or one of a
// transaction whose message the server did not take, is not retried. A
// transaction that fails before its first RCPT (connection, greeting, AUTH,
// MAIL FROM) ends the send for everyone left, since the next would fail
// alike; only when an earlier transaction of the same send went through
// (a server that limits messages per session) is it tried once more on a
// new connection. Every connection has the connect, transfer and low-speed
// time-outs of MailOptions.
//
// Result: "" when the server took the message for at least one recipient;
// every recipient that did not get it is then written to the main log with
// the server's reply ("SendMailの宛先エラー<address>:reply (server)"). A
// failure text (naming the server, the failed step and the server's reply
// or libcurl's error) only when nobody got the message: the caller sends
// the whole message again on failure, and members who already had it must
// not get it twice. A copy for ">#save" that cannot be written is logged
// ("SendMailの送信控え保存エラー<path>:reason") and does not make the send
// fail. The copy is the message as sent (MIME, CR LF), named
// "sentmail_yyyymmdd-hhmmss.txt" ("(1)", "(2)" ... added when taken).
//
// Server string: "host", "host:port", "[v6addr]:port", or a URL "smtp://"
// or "smtps://" with an optional "user:password@" (SMTP AUTH) and an
// optional path (the EHLO name; default: this host's name). Port 25 unless
// given. On smtp:// STARTTLS is used whenever the server offers it; that
// encryption is opportunistic (the certificate is not checked, since the
// alternative would be plain text), while smtps:// checks the certificate.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "receive/mail_options.h"
#include "textio/file_system.h"

namespace kelmora {

// One message ready to hand to a server.
struct ComposedMail {
  std::string mail_from;               // envelope sender (bare address)
  std::vector<std::string> envelope;   // envelope recipients, no duplicates
  std::vector<std::string> invalid;    // recipient items that are no address
  std::string message;                 // the whole message, CR LF line ends
  std::string message_id;              // without angle brackets
  std::string save_folder;             // from ">#save", or ""
};

// Builds the message (UTF-8 text body in base64, or 7bit when it is plain
// ASCII; RFC 2047 subject; Date; Message-ID; the ">" header lines;
// attachments read through `fs`, sent as base64 under their file names,
// RFC 2231 for non-ASCII names). Also the local mail store builds its
// messages here. Returns "" or a failure text (unreadable attachment, no
// usable sender address).
std::string ComposeMail(FileSystem& fs, const std::string& recipients, const std::string& from,
                              const std::string& subject, const std::string& body,
                              const std::string& attachments, ComposedMail* mail);

class MailSender {
 public:
  MailSender(FileSystem& fs, Logger& log, MailOptions options);

  // Sends one message; see the file comment. Never throws.
  std::string SendMail(const std::string& server, const std::string& recipients, const std::string& from,
                       const std::string& subject, const std::string& body, const std::string& attachments);

 private:
  FileSystem& fs_;
  Logger& log_;
  MailOptions options_;
};

}  // namespace kelmora
