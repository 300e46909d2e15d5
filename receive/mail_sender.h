// MailSender: the SendMail half of the mail component. Reads the server
// string (server_string.h), composes the message (mail_composer.h, with the
// recipient items of recipient_items.h) and delivers it through sessions
// made by an SmtpSessionFactory (libcurl in the program, a scripted fake in
// tests).
//
// Delivery: envelope recipients go in transactions of at most
// MailOptions::max_recipients_per_transaction, on one session (connection)
// where the server allows it. A recipient refused with 452 (too many
// recipients) is sent in a further transaction, as long as the transaction
// that refused it delivered to someone. A recipient refused otherwise, or
// one of a transaction whose message the server did not take, is not
// retried. A transaction that fails before its first RCPT (connection,
// greeting, AUTH, MAIL FROM) ends the send for everyone left, since the
// next would fail alike; only when an earlier transaction of the same send
// went through (a server that limits messages per session) is it tried
// once more on a new session.
//
// Result: "" when the server took the message for at least one recipient;
// every recipient that did not get it is then written to the main log with
// the server's reply ("SendMailの宛先エラー<address>:reply (server)"). A
// failure text (naming the server, the failed step and the server's reply
// or the transport's error) only when nobody got the message: the caller
// sends the whole message again on failure, and members who already had it
// must not get it twice. A copy for ">#save" that cannot be written is
// logged ("SendMailの送信控え保存エラー<path>:reason") and does not make the
// send fail. The copy is the message as sent (MIME, CR LF), named
// "sentmail_yyyymmdd-hhmmss.txt" after the clock's local time ("(1)", "(2)"
// ... added when taken).
#pragma once

#include <string>

#include "log/logger.h"
#include "receive/mail_composer.h"
#include "receive/mail_options.h"
#include "receive/smtp_session.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

class MailSender {
 public:
  // `sessions` makes a new session for every connection the send needs.
  MailSender(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions, MailOptions options);

  // Sends one message; see the file comment. Never throws.
  std::string SendMail(const std::string& server, const std::string& recipients, const std::string& from,
                       const std::string& subject, const std::string& body, const std::string& attachments);

 private:
  // Keeps the copy for ">#save"; a failure is only logged.
  void SaveCopy(const ComposedMail& mail);

  FileSystem& fs_;
  Logger& log_;
  const Clock& clock_;
  SmtpSessionFactory& sessions_;
  MailOptions options_;
};

}  // namespace kelmora
