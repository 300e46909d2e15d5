// SPDX-License-Identifier: GPL-3.0-or-later
// FakeLocalReception: the one local store road of the tests, without a
// store. Each fetch hands out `deliver` messages (an inbox that only
// counts them) and opens a session when there are any; fetches and
// sign-offs are counted.
#pragma once

#include "mail/local_mail_reception.h"
#include "tests/support/counted_inbox.h"

namespace kelmora {

class FakeLocalReception : public LocalMailReception {
 public:
  explicit FakeLocalReception(int messages = 0) : deliver(messages) {}

  Status FetchMail(int* count) override {
    ++fetches;
    open = deliver > 0;
    inbox_.count = deliver;
    *count = deliver;
    return Status::OK();
  }
  Inbox& inbox() override { return inbox_; }
  bool SessionOpen() const override { return open; }
  void SignOff() override {
    open = false;
    ++sign_offs;
  }

  int deliver;
  int fetches = 0;
  int sign_offs = 0;
  bool open = false;

 private:
  CountedInbox inbox_{ReceptionMode::kLocalStore};
};

}  // namespace kelmora
