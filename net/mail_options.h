// SPDX-License-Identifier: GPL-3.0-or-later
// Options shared by the mail transports.
#pragma once

#include <string>

#include "net/transfer_cancel.h"
#include "textio/host_names.h"

namespace kelmora {

struct MailOptions {
  long connect_timeout_seconds = 30;
  // Upper bound for one whole transfer (one RETR, one SMTP transaction).
  long transfer_timeout_seconds = 600;
  // A transfer slower than this many bytes per second for
  // low_speed_seconds is abandoned (a stalled server).
  long low_speed_bytes = 1;
  long low_speed_seconds = 60;
  // Envelope recipients per SMTP transaction.
  int max_recipients_per_transaction = 100;
  // A file of trusted certificates (PEM) used instead of the system's
  // store. For tests with a certificate made on the spot: the check stays
  // on. "" (the program's setting): the system store.
  std::string ca_file;
  // How long the deferred-delivery queue keeps trying a recipient, counted
  // from the message's first hand-over.
  long queue_lifetime_seconds = 5L * 24 * 3600;
  // The program's stop request (the window's stop button, closing, a
  // signal), made from another thread: every connection and transfer of
  // the transports is abandoned at once and fails with "cancelled", a
  // temporary failure. Not owned; null: transfers run to their end or
  // time-out.
  TransferCancel* cancel = nullptr;
  // What this machine is called, for the SMTP greeting. Not owned; null:
  // the system's (SystemHostNames). Tests name the machine as they need.
  const HostNames* host_names = nullptr;
};

}  // namespace kelmora
