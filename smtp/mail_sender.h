// SPDX-License-Identifier: GPL-3.0-or-later
// MailSender: the sending half of the mail component. Reads the server
// string (server_string.h), composes the OutgoingMessage (mail_composer.h)
// and delivers it through sessions
// made by an SmtpSessionFactory (libcurl in the program, a scripted fake in
// tests).
//
// Delivery (smtp_delivery.h): envelope recipients go in transactions of
// at most MailOptions::max_recipients_per_transaction, on one session where
// the server allows it; each recipient ends delivered, refused permanently
// (5xx) or deferred (a temporary failure: 4xx, a connection lost, a
// time-out, a server that cannot be reached).
//
// With a DeliveryQueue (the program): the message is written to the queue
// before its first transaction and the file follows every transaction, so
// a crash never makes the retry send anyone the message twice (see
// delivery_queue.h); deferred recipients stay in the queue and are retried
// at later cycles, with one main-log line for the send
// ("SendMailの配送を保留<count>:reason (server)"). Result: OK when every
// recipient was delivered, refused permanently or safely queued. A failure
// when nobody got the message and nobody is queued (everyone refused),
// or when the queue cannot be written: then nothing is sent when that shows
// before the first transaction; when it shows later, the queue file is
// removed (it would send the message again to those who had it), and a
// repeat of exactly the same send (the caller's one retry) skips those who
// already got the message.
//
// Without a queue (the command-line tools): nothing is kept; OK when the
// server took the message for at least one recipient, and every recipient
// that did not get it is written to the main log; a failure text only when
// nobody got the message, since the caller sends the whole message again
// on failure and members who had it must not get it twice.
//
// Either way every recipient refused (and, without a queue, every one not
// reached) goes to the main log with the server's reply
// ("SendMailの宛先エラー<address>:reply (server)") when the send counts as
// good. A failure's text names the server, the failed step and the server's
// reply or the transport's error. A copy for the save folder that cannot be written is
// logged ("SendMailの送信控え保存エラー<path>:reason") and does not make the
// send fail. The copy is the message as sent (MIME, CR LF), named
// "sentmail_yyyymmdd-hhmmss.txt" after the clock's local time ("(1)", "(2)"
// ... added when taken).
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "mime/mail_composer.h"
#include "net/mail_options.h"
#include "smtp/delivery_queue.h"
#include "smtp/smtp_delivery.h"
#include "smtp/smtp_session.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

class MailSender {
 public:
  // `sessions` makes a new session for every connection the send needs;
  // `queue` (may be null) keeps what meets a temporary failure.
  MailSender(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions, MailOptions options,
             DeliveryQueue* queue = nullptr);

  // Delivers a composed message as it is (MailComponent::SendComposed),
  // without the queue: the caller keeps what is still owed. Never throws.
  DeliveryReport SendComposed(const std::string& server, const std::string& mail_from,
                              const std::vector<std::string>& recipients, const std::string& message);

  // Sends one message; see the file comment. Never throws.
  Status Send(const std::string& server, const OutgoingMessage& message);

  // The recipients refused as unknown or moved addresses since the last
  // call (MailComponent::TakeUnknownRecipients).
  std::vector<UnknownRecipient> TakeUnknownRecipients();

 private:
  // The two roads of SendMail, after the message was composed.
  // Takes the message out of `mail` (it is held once).
  Status SendQueued(const std::string& server, const std::string& key, const SmtpServer& smtp,
                         ComposedMail& mail, const std::string& list_address);
  Status SendDirect(const SmtpServer& smtp, const ComposedMail& mail, const std::string& list_address);
  // The queue file could not be brought up to date after the delivery: it
  // goes, and a retry of the same send skips those the delivery reached.
  Status QueueNotFinished(const std::string& path, const std::string& key, const SmtpServer& smtp,
                          const ComposedMail& mail, const DeliveryReport& report, const Status& finished);
  // Removes the queue file of a send that reached nobody.
  void Dequeue(const std::string& path);

  // Keeps the copy for the save folder; a failure is only logged.
  void SaveCopy(const std::string& folder, const std::string& message);
  // Notes the refusals of `report` that name unknown addresses.
  void NoteUnknown(const DeliveryReport& report, const std::string& list_address);

  FileSystem& fs_;
  Logger& log_;
  const Clock& clock_;
  SmtpSessionFactory& sessions_;
  MailOptions options_;
  DeliveryQueue* queue_;
  // The last send that failed after reaching someone: its arguments and
  // who got it, so that the caller's retry of it skips them.
  std::string partial_key_;
  std::vector<std::string> partial_reached_;
  std::vector<UnknownRecipient> unknown_;
};

}  // namespace kelmora
