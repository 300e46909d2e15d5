// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/mail_store_reception.h"

#include "log/error_entry.h"
#include "textio/strings.h"

namespace kelmora {

MailStoreReception::MailStoreReception(MailStore& store, Logger& log, const std::string& user,
                                       const std::string& password, const int& download)
    : store_(store), log_(log), user_(user), password_(password), download_(download), inbox_(store, log) {}

Status MailStoreReception::FetchMail(int* count) {
  *count = 0;
  inbox_.Reset(0);
  store_.NewCycle();
  Status s = store_.Logon(user_, password_, download_ != 0);
  if (!s.ok()) return s.WithNumber(s.code() == Status::Code::kRefused ? 5 : 53);
  // The listing fails only without a session, which the logon just opened.
  const int fetched = store_.Fetch().ok() ? store_.MsgCount() : 0;
  if (fetched > 0) {
    store_.WarmUp();
    inbox_.Reset(fetched);
    *count = fetched;
    return Status::OK();
  }
  if (store_.SessionID() > 0) store_.SignOff();
  return Status::OK();
}

bool MailStoreReception::OpenForSending() {
  // What waits in .Outbox was tried at this cycle's first logon already.
  Status s = store_.Logon(user_, password_, false, false);
  if (!s.ok()) log_.WriteLog("メールストアを送信のために開けません：" + s.message());
  return s.ok();
}

void MailStoreReception::StoreInbox::Reset(int count) {
  count_ = count;
  began_failure_logged_ = false;
  fates_.assign(static_cast<size_t>(count), MailStore::Fate::kOpen);
  read_.assign(static_cast<size_t>(count), StoreMessage());
}

Status MailStoreReception::StoreInbox::Read(int index, ReceivedMail* mail) {
  *mail = ReceivedMail();
  Status s = store_.Select(index);
  if (!s.ok()) return s;
  mail->StoredName = store_.SelectedName();
  StoreMessage& m = read_.at(static_cast<size_t>(index));
  s = store_.Read(&m);
  if (!s.ok()) return s;
  // The attachments stay the store's taken-out copies, kept in read_ until
  // they are discarded.
  *mail = m.mail;
  return Status::OK();
}

std::string MailStoreReception::StoreInbox::AttachmentList(int index, const ReceivedMail&,
                                                           std::vector<std::string>* names) {
  // The names as the store knows them go to the store's own sender; the
  // SMTP senders get the files themselves, which they can attach.
  const StoreMessage& m = read_.at(static_cast<size_t>(index));
  if (names != nullptr) {
    names->clear();
    for (int i = 0; i < m.AttachmentCount(); ++i) names->push_back(m.AttachmentName(i));
  }
  std::string joined;
  for (const std::string& f : m.AttachmentPaths()) joined += (joined.empty() ? "" : "\t") + f;
  return joined;
}

void MailStoreReception::StoreInbox::DiscardAttachments(int index, const ReceivedMail&) {
  store_.DiscardAttachments(read_.at(static_cast<size_t>(index)));
}

void MailStoreReception::StoreInbox::BeginProcessing(int index) {
  Status s = store_.Select(index);
  if (s.ok()) s = store_.RecordBegan();
  // Counting attempts guards against a message that brings the program
  // down; one line a cycle says the guard is off.
  if (!s.ok() && !began_failure_logged_) {
    began_failure_logged_ = true;
    log_.WriteLog("メールストアの処理記録を書けません<" + store_.SelectedName() + ">:" + s.message());
  }
}

void MailStoreReception::StoreInbox::RecordAction(int index) {
  Status s = store_.Select(index);
  if (s.ok()) s = store_.RecordActed();
  // Not recorded: after a crash the message could be processed twice, so
  // the failure must be seen.
  if (!s.ok()) log_.WriteLog("メールストアの処理記録を書けません<" + store_.SelectedName() + ">:" + s.message());
}

void MailStoreReception::StoreInbox::Settle(int index, const ReceivedMail&, Disposition how) {
  MailStore::Fate& fate = fates_.at(static_cast<size_t>(index));
  switch (how) {
    case Disposition::kDelete: fate = MailStore::Fate::kDelete; break;
    case Disposition::kKeepReadable: fate = MailStore::Fate::kSeen; break;
    case Disposition::kSetAside:
      // A failure that can pass leaves the message unread, to be handled
      // once the cause is gone, unless a rule already acted on it: then
      // handling it again would act twice.
      fate = store_.FailedTemporarily(index) && !store_.ActedOn(index) ? MailStore::Fate::kOpen
                                                                        : MailStore::Fate::kSetAside;
      break;
    case Disposition::kKeepAsIs: fate = MailStore::Fate::kOpen; break;
  }
}

void MailStoreReception::StoreInbox::Finish() { store_.Finish(fates_); }

}  // namespace kelmora
