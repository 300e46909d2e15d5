// SPDX-License-Identifier: GPL-3.0-or-later
// DeliveryQueue: the durable deferred-delivery queue. A message that met a
// temporary failure for some recipients (a 4xx reply, a connection lost, a
// time-out, a server that cannot be reached) keeps them here, one file per
// message and route in the queue folder (format in queued_mail.h), and is
// retried at later cycles with growing pauses (1, 5, 15, 30 minutes, then
// every 60), for as long as MailOptions::queue_lifetime_seconds (5 days)
// from the first hand-over. Then the queue gives up: one main-log line
// names the recipients and the message ("SendMailの配送を断念<a>,<b>:...").
//
// Nothing twice: the file of a message is written before its first
// transaction and rewritten after every transaction that settled someone,
// before the next one begins, and a recipient leaves it only once the final
// reply of its transaction arrived. A process killed at any point leaves a
// file that owes exactly the recipients not yet settled, apart from the one
// transaction whose final reply arrived (or was lost on the wire) just
// before the end: those recipients may get the message again, which SMTP
// itself cannot rule out.
//
// Flush retries every file that is due, oldest first, before the cycle
// fetches new mail. A permanent refusal is logged as SendMail logs it
// ("SendMailの宛先エラー<address>:reply (server)"); a server that cannot be
// reached is not tried again for the other files of this round. A file that
// is not a queue file is renamed to "<name>.bad" and logged once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "log/logger.h"
#include "net/mail_options.h"
#include "smtp/queued_mail.h"
#include "smtp/smtp_delivery.h"
#include "smtp/smtp_session.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

class DeliveryQueue {
 public:
  // `folder` is the queue folder (created, private, when the first file is
  // added); `sessions` makes the connections of Flush.
  DeliveryQueue(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions, std::string folder,
                MailOptions options);

  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  const std::string& folder() const { return folder_; }

  // Writes a new file for `mail` (due at once) and sets *path to it.
  Status Add(const QueuedMail& mail, std::string* path);

  // After a transaction of a delivery of `recipients` (what `mail` owed when
  // it began): `mail` now owes what the report has not settled; the file
  // is rewritten unless nothing is owed (Finish removes it then).
  Status Progress(const std::string& path, QueuedMail* mail, const std::vector<std::string>& recipients,
                  const DeliveryReport& report);

  // After the delivery: the file is removed when nothing is owed; else the
  // attempt is recorded with its first temporary failure and the next one
  // is set after the pause.
  Status Finish(const std::string& path, QueuedMail* mail, const std::vector<std::string>& recipients,
                const DeliveryReport& report);

  // Removes a file that the caller gives up on.
  Status Remove(const std::string& path);

  // Retries every file that is due; `stop_requested` (may be empty) is
  // asked before every file and after every transaction.
  void Flush(const std::function<bool()>& stop_requested = {});

  // The pause after the `attempts`-th attempt (1, 2, ...).
  static std::int64_t PauseMicros(size_t attempts);

  // The recipients the retries since the last call found refused as
  // unknown or moved addresses, each with the list its message went out
  // for (the message's X-Loop).
  std::vector<UnknownRecipient> TakeUnknownRecipients();

 private:
  void FlushOne(const std::string& path, std::vector<std::string>* unreachable,
                const std::function<bool()>& stop_requested);
  // The steps of FlushOne. Load reads the file (false: nothing to send,
  // the file was dealt with); Due says whether its time has come (false
  // also when it was given up); Redeliver sends it and writes what is owed.
  bool Load(const std::string& path, QueuedMail* mail);
  bool Due(const std::string& path, QueuedMail& mail, const std::vector<std::string>& unreachable,
           SmtpServer* smtp);
  void Redeliver(const std::string& path, QueuedMail& mail, const SmtpServer& smtp,
                 std::vector<std::string>* unreachable, const std::function<bool()>& stop_requested);
  void GiveUp(const std::string& path, const QueuedMail& mail, const std::string& display);

  FileSystem& fs_;
  Logger& log_;
  const Clock& clock_;
  SmtpSessionFactory& sessions_;
  std::string folder_;
  MailOptions options_;
  std::vector<UnknownRecipient> unknown_;
};

// One main-log line per recipient: "SendMailの宛先エラー<address>:reason
// (server)".
void LogRecipientErrors(Logger& log, const std::vector<std::pair<std::string, std::string>>& failed,
                        const std::string& display);

}  // namespace kelmora
