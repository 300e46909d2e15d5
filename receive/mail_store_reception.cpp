// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/mail_store_reception.h"

#include "log/error_entry.h"
#include "textio/strings.h"

namespace kelmora {

MailStoreReception::MailStoreReception(MailStore& store, Logger& log, const std::string& user,
                                       const std::string& password, const int& download)
    : store_(store), log_(log), user_(user), password_(password), download_(download), inbox_(store, log) {}

int MailStoreReception::FetchMail() {
  inbox_.Reset(0);
  Status s = store_.Logon(user_, password_, download_ != 0);
  if (!s.ok()) throw NumberedError(s.message(), s.code() == Status::Code::kRefused ? 5 : 53);
  s = store_.Fetch();
  const int count = s.ok() ? store_.MsgCount() : 0;
  if (count > 0) {
    inbox_.Reset(count);
    return count;
  }
  if (store_.SessionID() > 0) store_.SignOff();
  return 0;
}

void MailStoreReception::StoreInbox::Reset(int count) {
  count_ = count;
  fates_.assign(static_cast<size_t>(count), Fate::kOpen);
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
  mail->ToAddress = m.RecipAddress;
  mail->ToName = m.RecipDisplayName;
  mail->FromAddress = m.MsgOrigAddress;
  mail->FromName = m.MsgOrigDisplayName;
  mail->Subject = m.MsgSubject;
  mail->Body = m.MsgNoteText;
  // The count is what the rules look at; the files are the store's.
  for (const std::string& f : m.attachment_files) mail->AttachmentFiles.push_back(f);
  ApplyHeaderItems(m.header_items, mail);
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
  for (const std::string& f : m.attachment_files) joined += (joined.empty() ? "" : "\t") + f;
  return joined;
}

void MailStoreReception::StoreInbox::DiscardAttachments(int index, const ReceivedMail&) {
  store_.DiscardAttachments(read_.at(static_cast<size_t>(index)));
}

void MailStoreReception::StoreInbox::RecordAction(int index) {
  Status s = store_.Select(index);
  if (s.ok()) s = store_.RecordActed();
  // Not recorded: after a crash the message could be processed twice, so
  // the failure must be seen.
  if (!s.ok()) log_.WriteLog("メールストアの処理記録を書けません<" + store_.SelectedName() + ">:" + s.message());
}

void MailStoreReception::StoreInbox::Settle(int index, const ReceivedMail&, Disposition how) {
  Fate& fate = fates_.at(static_cast<size_t>(index));
  switch (how) {
    case Disposition::kDelete: fate = Fate::kDelete; break;
    case Disposition::kKeepReadable:
    case Disposition::kSetAside: fate = Fate::kSeen; break;
    case Disposition::kKeepAsIs: fate = Fate::kOpen; break;
  }
}

void MailStoreReception::StoreInbox::Finish() {
  // The deletions are recorded first, so that a crash in the middle of
  // them is completed at the next logon.
  std::vector<int> doomed;
  for (int i = count_ - 1; i >= 0; --i)
    if (fates_[static_cast<size_t>(i)] == Fate::kDelete) doomed.push_back(i);
  Status rec = store_.RecordDeletes(doomed);
  const bool recorded = rec.ok();
  if (!recorded) log_.WriteLog("メールストアの削除記録を書けません：" + rec.message());
  for (int i = count_ - 1; i >= 0; --i) {
    if (fates_[static_cast<size_t>(i)] != Fate::kDelete) continue;
    Status s = store_.Select(i);
    if (s.ok()) s = store_.Delete(false);
    if (!s.ok()) log_.WriteLog("メールストアのメールを削除できません<" + store_.SelectedName() + ">:" + s.message());
  }
  for (int i = 0; i < count_; ++i) {
    if (fates_[static_cast<size_t>(i)] != Fate::kSeen) continue;
    Status s = store_.Select(i);
    if (s.ok()) s = store_.MarkSeen(false);
    if (!s.ok()) log_.WriteLog("メールストアのメールを既読にできません<" + store_.SelectedName() + ">:" + s.message());
  }
  // One flush for all of them; only then have the records served. They are
  // kept when a deletion could not be recorded or the flush failed, so that
  // nothing of the cycle's work is forgotten.
  Status synced = store_.SyncFolders();
  if (!synced.ok()) log_.WriteLog("メールストアのフォルダを書き出せません：" + synced.message());
  if (recorded && synced.ok()) store_.ClearJournal();
}

}  // namespace kelmora
