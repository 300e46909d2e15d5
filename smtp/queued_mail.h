// SPDX-License-Identifier: GPL-3.0-or-later
// QueuedMail: one message to one SMTP route that still owes recipients,
// as the deferred-delivery queue keeps it, and its file format.
//
// File (one per message and route; written whole and atomically):
//   Kelmora-Queue: 1
//   Server: <the server string as the rule gave it>
//   Mail-From: <envelope sender>
//   Message-ID: <without angle brackets>
//   Queued: <epoch microseconds when the message was first handed over>
//   Next-Attempt: <epoch microseconds; not retried before>
//   Attempt: <epoch microseconds> <what went wrong>      (one per attempt)
//   Rcpt: <address>                                      (one per recipient owed)
//   Size: <bytes of the message>
//   <empty line>
//   <the message exactly as composed, CR LF line ends>
//   Settled: <address>          (appended while a send goes on; see below)
// While a send goes on, each recipient settled (delivered, or refused for
// good) is appended behind the message, so that the file need not be
// rewritten whole after every transaction; reading takes those out of the
// owed recipients, and the next whole write drops the lines.
// Header lines end in CR LF; a value never holds CR or LF. The server
// string may carry a password, as Kelmora.ini does: the file is private to
// the user (new files are created 0600 in a 0700 folder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "textio/status.h"

namespace kelmora {

struct QueueAttempt {
  std::int64_t when_micros = 0;
  std::string failure;  // the reason of the (first) temporary failure
};

struct QueuedMail {
  std::string server;      // the server string, as SendMail got it
  std::string mail_from;
  std::string message_id;
  std::string message;
  std::vector<std::string> owed;  // recipients neither delivered nor refused
  std::int64_t queued_micros = 0;
  std::int64_t next_attempt_micros = 0;
  std::vector<QueueAttempt> attempts;

  // Not in the file: how many entries of the running send's report were
  // already appended as settled (see DeliveryQueue::Progress).
  size_t appended_delivered = 0;
  size_t appended_refused = 0;
};

std::string EncodeQueuedMail(const QueuedMail& mail);
// The file without the message: what comes in front of it.
std::string EncodeQueuedMailHead(const QueuedMail& mail);
// Corrupt when the bytes are not a complete queue file. The bytes are
// taken, so that the message moves out of them instead of being copied.
Status DecodeQueuedMail(std::string bytes, QueuedMail* mail);

// The lines to append behind a queue file for recipients now settled.
std::string SettledLines(const std::vector<std::string>& recipients);

}  // namespace kelmora
