// SPDX-License-Identifier: GPL-3.0-or-later
// StoreOutbox: the outgoing side of the local mail store.
//
// A message is "handed to the client" once it lies durably in the
// profile's .Outbox Maildir: written into tmp/ and flushed, then (after the
// caller recorded it, see Enqueue) renamed into new/ and the folder
// flushed. Its envelope travels with it as the first header lines
// ("X-Kelmora-Envelope-From", "-To" for visible and "-Bcc" for blind
// recipients, "-Source" for the received message it was made for); they
// never leave: the route gets the message from the first line after them.
//
// Delivery goes by the profile's route: an SMTP server string (the message
// goes out byte for byte as queued, so .Sent keeps exactly what was sent)
// or else a sendmail-compatible command, called as
// `<command> -i -f <sender> -- <recipients...>` with the queued file itself
// as its standard input. On success the message moves to .Sent (seen). A
// temporary failure leaves it in .Outbox for the next attempt, for up to
// five days from the time it was queued; a permanent refusal of every
// recipient, or five days without success, moves it to .Failed with one
// main-log line naming it, the message it was made for, its recipients
// and the last failure. Recipients an SMTP server took are taken off the
// queued copy, so that a retry only goes to those still owed. Without any
// route the message waits.
//
// What the main log was told is kept in the name: .Outbox/new has not
// been reported, .Outbox/cur/<name>:2, was reported as waiting for a route,
// .Outbox/cur/<name>:2,F as failing. So each message gets one line when it
// first waits for a route, one when a route first fails for it, and one
// when it goes to .Failed.
//
// At most one route time-out per cycle: after it, the remaining messages
// wait for the next cycle. A stop request ends a running route command
// (the message stays queued, nothing is logged). A message delivered and
// lost by a crash before its move to .Sent is sent again at the next
// attempt: the store prefers a rare duplicate to a lost post.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/mail_component.h"
#include "maildir/command_runner.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

struct OutboxRoute {
  std::string smtp;                   // server string; wins when set
  std::vector<std::string> sendmail;  // command words; empty: no command
};

// Where an outgoing copy is now.
enum class OutgoingState { kMissing, kWaiting, kSent, kFailed };

class StoreOutbox {
 public:
  static constexpr std::int64_t kRetryMicros = 5LL * 24 * 3600 * 1000000;
  static constexpr int kSendmailLimitMs = 5 * 60 * 1000;

  StoreOutbox(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner, MailComponent* smtp,
              std::string profile_folder);

  void set_route(OutboxRoute route) { route_ = std::move(route); }
  // Asked before and during every delivery; true leaves the rest queued.
  void set_stop(std::function<bool()> stop) { stop_ = std::move(stop); }
  // Told the Maildir base of the received message a copy was made for,
  // when that copy goes to .Failed.
  void set_on_failed(std::function<void(const std::string&)> on_failed) { on_failed_ = std::move(on_failed); }
  // Whether the route timed out in this cycle (a new cycle sets false).
  bool timed_out() const { return route_timed_out_; }
  void set_timed_out(bool timed_out) { route_timed_out_ = timed_out; }

  // Writes `message` with its envelope into .Outbox/tmp durably, then calls
  // `before_commit` with the copy's name (to record it), then renames the
  // copy into .Outbox/new and flushes the folder. When `before_commit`
  // fails the copy is removed again and its status returned. *path is the
  // copy's final path.
  Status Enqueue(const std::string& from, const std::vector<std::string>& visible,
                 const std::vector<std::string>& blind, const std::string& source, const std::string& message,
                 const std::function<Status(const std::string&)>& before_commit, std::string* path);

  // Tries to deliver the queued message at `path` now.
  void Deliver(const std::string& path);

  // Tries every message waiting in .Outbox, oldest first.
  void DeliverAll();

  // Where the copy named `copy` is now (its name as Enqueue made it).
  OutgoingState StateOf(const std::string& copy) const;

 private:
  // What one attempt to hand a queued message on came to: OK (sent), a
  // failure worth another try, or a `permanent` one (the message goes to
  // .Failed); `stopped` when the program's stop ended it first (tried
  // again next cycle, nothing said). The failure's message is what the log
  // line about the message says.
  struct Attempt {
    Status status;
    bool permanent = false;
    bool stopped = false;
  };
  struct Envelope {
    std::string from, source;
    std::vector<std::string> visible, blind;
    size_t header_end = 0;  // where the message proper starts
    std::vector<std::string> All() const;
  };

  static bool ParseEnvelope(const std::string& bytes, Envelope* env);
  static std::string EnvelopeText(const std::string& from, const std::vector<std::string>& visible,
                                  const std::vector<std::string>& blind, const std::string& source);
  Attempt BySendmail(const std::string& path, const Envelope& env);
  Attempt BySmtp(const std::string& path, const std::string& bytes, const Envelope& env);
  void WaitForRoute(const std::string& path, bool in_cur);
  void MoveToFailed(const std::string& path, const Envelope& env, const std::string& why);
  std::string Folder(const char* name) const;
  bool Stopping() const { return stop_ && stop_(); }

  FileSystem& fs_;
  const Clock& clock_;
  Logger& log_;
  CommandRunner& runner_;
  MailComponent* smtp_;
  std::string profile_;
  OutboxRoute route_;
  std::function<bool()> stop_;
  std::function<void(const std::string&)> on_failed_;
  bool route_timed_out_ = false;
};

}  // namespace kelmora
