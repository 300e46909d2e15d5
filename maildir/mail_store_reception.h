// SPDX-License-Identifier: GPL-3.0-or-later
// MailStoreReception: the local mail store road of the mail-check cycle,
// and the inbox of its messages.
//
// FetchMail logs on to the profile and fetches the unread messages; a
// refused or failing logon throws (it ends the cycle with its log line),
// a failure after the logon counts as no messages (the POP3 accounts are
// then polled). With no messages it signs off itself. OpenForSending logs
// on without fetching, for a cycle whose mail came by POP3: rows without a
// sender address still send through the store.
//
// The inbox records every processing attempt and every action durably in
// the store's journal as it happens, and settles by deferring: at Finish a
// message to delete is deleted (from the highest index down, and only once
// what was sent for it reached .Sent), a message the cycle finished with
// and keeps is marked seen, a message set aside is marked seen and
// flagged. A message set aside because of a failure that can pass (a full
// disk, an unreadable file) and that no rule acted on yet stays unread
// instead, and the next cycle tries it again. A message the cycle never
// settled is left untouched.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/inbox.h"
#include "mail/local_mail_reception.h"
#include "maildir/mail_store.h"

namespace kelmora {

class MailStoreReception : public LocalMailReception {
 public:
  // `user`, `password` and `download` are read at every FetchMail: the
  // settings may change between cycles.
  MailStoreReception(MailStore& store, Logger& log, const std::string& user, const std::string& password,
                     const int& download);

  Status FetchMail(int* count) override;
  Inbox& inbox() override { return inbox_; }
  bool OpenForSending() override;
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
    void BeginProcessing(int index) override;
    void RecordAction(int index) override;
    void Settle(int index, const ReceivedMail& mail, Disposition how) override;
    void Finish() override;

   private:
    MailStore& store_;
    Logger& log_;
    int count_ = 0;
    std::vector<MailStore::Fate> fates_;
    bool began_failure_logged_ = false;
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
