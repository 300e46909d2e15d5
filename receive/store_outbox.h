// SPDX-License-Identifier: GPL-3.0-or-later
// StoreOutbox: the outgoing side of the local mail store.
//
// A message is "handed to the client" once it lies durably in the
// profile's .Outbox Maildir (written into tmp/, flushed, renamed into new/).
// Its envelope travels with it as the first header lines
// ("X-Kelmora-Envelope-From", "-To" for visible and "-Bcc" for blind
// recipients); they are taken off before the message leaves.
//
// Delivery goes by the profile's route: an SMTP server string (through the
// mail component) or else a sendmail-compatible command, called as
// `<command> -i -f <sender> -- <recipients...>` with the message on its
// standard input. On success the message moves to .Sent (seen). A
// temporary failure leaves it in .Outbox for the next attempt, for up to
// five days from the time it was queued; a permanent refusal of every
// recipient, or five days without success, moves it to .Failed. Without
// any route the message waits. The first failure of a message goes to the
// main log; the message then moves from .Outbox/new to .Outbox/cur, which is
// how later attempts know it was already reported. A message delivered and
// lost by a crash before its move to .Sent is sent again at the next
// attempt: the store prefers a rare duplicate to a lost post.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "receive/mail_component.h"
#include "textio/clock.h"
#include "textio/command_runner.h"
#include "textio/file_system.h"

namespace kelmora {

struct OutboxRoute {
  std::string smtp;                   // server string; wins when set
  std::vector<std::string> sendmail;  // command words; empty: no command
  std::string sendmail_line;          // as written, for log lines
};

class StoreOutbox {
 public:
  static constexpr std::int64_t kRetryMicros = 5LL * 24 * 3600 * 1000000;
  static constexpr int kSendmailLimitMs = 5 * 60 * 1000;

  StoreOutbox(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner, MailComponent* smtp,
              std::string profile_folder, std::string work_folder);

  void set_route(OutboxRoute route) { route_ = std::move(route); }

  // Writes `message` with its envelope into .Outbox durably; *path is where.
  Status Enqueue(const std::string& from, const std::vector<std::string>& visible,
                 const std::vector<std::string>& blind, const std::string& message, std::string* path);

  // Tries to deliver the queued message at `path` now.
  void Deliver(const std::string& path);

  // Tries every message waiting in .Outbox, oldest first.
  void DeliverAll();

 private:
  enum class Outcome { kSent, kTemporary, kPermanent, kNoRoute };
  struct Envelope {
    std::string from;
    std::vector<std::string> visible, blind;
    size_t header_end = 0;  // where the message proper starts
  };

  static bool ParseEnvelope(const std::string& bytes, Envelope* env);
  Outcome BySendmail(const Envelope& env, const std::string& bytes, std::string* why);
  Outcome BySmtp(const std::string& path, const Envelope& env, std::string* why);
  std::string Folder(const char* name) const;

  FileSystem& fs_;
  const Clock& clock_;
  Logger& log_;
  CommandRunner& runner_;
  MailComponent* smtp_;
  std::string profile_;
  std::string work_;
  OutboxRoute route_;
};

}  // namespace kelmora
