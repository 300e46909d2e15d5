// SPDX-License-Identifier: GPL-3.0-or-later
// MailStoreReception: the local mail store road of the mail-check cycle,
// and the inbox of its messages.
//
// FetchMail logs on to the profile and fetches the unread messages; a
// refused or failing logon throws (it ends the cycle with its log line),
// a failure after the logon counts as no messages (the POP3 accounts are
// then polled). With no messages it signs off itself.
//
// The inbox settles by deferring: a message to delete is deleted in
// Finish, from the highest index down; a message the cycle finished with
// and keeps is marked seen there too, so the next cycle does not take it
// again; a message the cycle never settled is left untouched. When a rule
// is about to act on a message, RecordAction records that durably at once,
// so a crash before Finish never leads to it being processed twice.
// Processing attempts are not counted here: a message no rule acted on is
// simply read again by the next cycle.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "receive/inbox.h"
#include "receive/local_mail_reception.h"
#include "receive/mail_store.h"

namespace kelmora {

class MailStoreReception : public LocalMailReception {
 public:
  // `user`, `password` and `download` are read at every FetchMail: the
  // settings may change between cycles.
  MailStoreReception(MailStore& store, Logger& log, const std::string& user, const std::string& password,
                     const int& download);

  int FetchMail() override;
  Inbox& inbox() override { return inbox_; }
  bool SessionOpen() const override { return store_.SessionID() > 0; }
  void SignOff() override { store_.SignOff(); }

 private:
  class StoreInbox : public Inbox {
   public:
    StoreInbox(MailStore& store, Logger& log) : store_(store), log_(log) {}
    void Reset(int count);

    ReceptionMode mode() const override { return ReceptionMode::kLocalStore; }
    int Count() const override { return count_; }
    Status Read(int index, ReceivedMail* mail) override;
    std::string AttachmentList(int index, const ReceivedMail& mail, std::vector<std::string>* names) override;
    void DiscardAttachments(int index, const ReceivedMail& mail) override;
    void BeginProcessing(int) override {}
    void RecordAction(int index) override;
    void Settle(int index, const ReceivedMail& mail, Disposition how) override;
    void Finish() override;

   private:
    enum class Fate { kOpen, kDelete, kSeen };
    MailStore& store_;
    Logger& log_;
    int count_ = 0;
    std::vector<Fate> fates_;
    std::vector<StoreMessage> read_;  // per index, for its attachments
  };

  MailStore& store_;
  Logger& log_;
  const std::string& user_;
  const std::string& password_;
  const int& download_;
  StoreInbox inbox_;
};

}  // namespace kelmora
