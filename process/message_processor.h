// SPDX-License-Identifier: GPL-3.0-or-later
// MessageProcessor: what a mail-check cycle does with the messages it
// received. The rule dispatcher implements it; tests use fakes.
#pragma once

#include "mail/inbox.h"

namespace kelmora {

class MessageProcessor {
 public:
  virtual ~MessageProcessor() = default;
  // Handles every message of `inbox` (which holds at least one) and calls
  // its Finish() when it got through all of them.
  virtual void ProcessMessages(Inbox& inbox) = 0;
};

}  // namespace kelmora
