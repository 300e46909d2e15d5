// SPDX-License-Identifier: GPL-3.0-or-later
// LocalMailReception: the road through the local mail store, tried before
// the POP3 accounts when a profile name is set.
#pragma once

#include "mail/inbox.h"

namespace kelmora {

class LocalMailReception {
 public:
  virtual ~LocalMailReception() = default;
  // Logs on and fetches the unread messages; *count is how many there are.
  // Signs its session off itself when there are none. A logon that fails
  // (it ends the cycle) is the failure, with the number the log shows; a
  // failure after the logon counts as none.
  [[nodiscard]] virtual Status FetchMail(int* count) = 0;
  // The messages of the last fetch; valid until the next FetchMail.
  virtual Inbox& inbox() = 0;
  // Opens the road for sending only (no fetch), for a cycle whose mail came
  // by another road; false (and a log line) when it cannot be opened.
  virtual bool OpenForSending() { return false; }
  virtual bool SessionOpen() const = 0;
  virtual void SignOff() = 0;
};

}  // namespace kelmora
