// SPDX-License-Identifier: GPL-3.0-or-later
// CountedInbox: an inbox of `count` messages that can never be read, for
// tests of the cycle that only count what reaches the processor.
#pragma once

#include <string>
#include <vector>

#include "mail/inbox.h"

namespace kelmora {

class CountedInbox : public Inbox {
 public:
  explicit CountedInbox(ReceptionMode mode = ReceptionMode::kLocalStore, int messages = 0)
      : count(messages), mode_(mode) {}

  ReceptionMode mode() const override { return mode_; }
  int Count() const override { return count; }
  Status Read(int, ReceivedMail*) override { return Status::Error("unused"); }
  std::string AttachmentList(int, const ReceivedMail&, std::vector<std::string>*) override { return ""; }
  void DiscardAttachments(int, const ReceivedMail&) override {}
  void BeginProcessing(int) override {}
  void RecordAction(int) override {}
  void Settle(int, const ReceivedMail&, Disposition) override {}
  void Finish() override {}

  int count;

 private:
  ReceptionMode mode_;
};

}  // namespace kelmora
