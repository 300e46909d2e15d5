// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/mail_store.h"

#include <gmime/gmime.h>

#include <algorithm>

#include "receive/mail_library_init.h"
#include "receive/mail_reader.h"
#include "receive/mail_composer.h"
#include "receive/received_mail.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kJournalName = "kelmora-journal";
constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";

// "To: Name <addr>" with the name encoded as RFC 2047 needs it.
std::string ToHeader(const std::string& name, const std::string& address) {
  EnsureMailLibrariesInitialized();
  InternetAddressList* list = internet_address_list_new();
  InternetAddress* a = internet_address_mailbox_new(name.c_str(), address.c_str());
  internet_address_list_add(list, a);
  g_object_unref(a);
  char* text = internet_address_list_to_string(list, nullptr, TRUE);
  std::string out = std::string("To: ") + (text ? text : address);
  g_free(text);
  g_object_unref(list);
  return out;
}

// Replaces the To header of a composed message (CR LF line ends).
std::string WithToHeader(const std::string& message, const std::string& header) {
  const size_t head_end = message.find("\r\n\r\n");
  size_t pos = 0;
  while (pos < head_end) {
    size_t end = message.find("\r\n", pos);
    if (message.compare(pos, 3, "To:") == 0) {
      size_t stop = end;
      while (stop + 2 < message.size() && (message[stop + 2] == ' ' || message[stop + 2] == '\t'))
        stop = message.find("\r\n", stop + 2);
      return message.substr(0, pos) + header + message.substr(stop);
    }
    pos = end + 2;
  }
  return message;
}

}  // namespace

std::string StoreMessage::AttachmentName(int i) const {
  if (i < 0 || i >= AttachmentCount()) return "";
  return BaseName(attachment_files[static_cast<size_t>(i)]);
}

MailStore::MailStore(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner, MailComponent* smtp,
                     std::string program_folder)
    : fs_(fs),
      clock_(clock),
      log_(log),
      runner_(runner),
      smtp_(smtp),
      program_folder_(std::move(program_folder)),
      work_folder_(JoinPath(JoinPath(program_folder_, "log"), "mailstore-work")) {}

Status MailStore::OpenProfile(const std::string& user) {
  if (user.empty() || user == "." || user == ".." || user.find('/') != std::string::npos ||
      user.find('\\') != std::string::npos) {
    return Status::InvalidArgument("メールストアのプロファイル名<" + user + ">は使えません。");
  }
  const std::string store = JoinPath(program_folder_, "mailstore");
  profile_folder_ = JoinPath(store, user);
  if (!fs_.IsDir(store)) {
    Status s = fs_.CreateDir(store);
    if (!s.ok()) return s;
  }
  // A linked profile: the link must lead to a folder; what that Maildir
  // lacks is added inside it.
  if (fs_.Exists(profile_folder_) && !fs_.IsDir(profile_folder_)) {
    return Status::IOError("メールストアのプロファイル" + profile_folder_ + "はフォルダではありません。");
  }
  for (const char* sub : {"", ".Outbox", ".Sent", ".Failed"}) {
    Status s = EnsureMaildir(fs_, *sub ? JoinPath(profile_folder_, sub) : profile_folder_);
    if (!s.ok()) return s;
  }
  if (!fs_.IsDir(work_folder_)) {
    Status s = fs_.CreateDir(work_folder_);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status MailStore::Logon(const std::string& user, const std::string& password, bool download) {
  SignOff();
  Status s = OpenProfile(user);
  if (!s.ok()) return s;
  s = ReadStoreProfile(fs_, JoinPath(profile_folder_, "profile.ini"), &profile_);
  if (!s.ok()) return s;
  if (profile_.has_password && profile_.password != password) {
    return Status::Refused("メールストアのプロファイル<" + user + ">のパスワードが違います。");
  }
  journal_ = std::make_unique<StoreJournal>(fs_, JoinPath(profile_folder_, kJournalName));
  outbox_ = std::make_unique<StoreOutbox>(fs_, clock_, log_, runner_, smtp_, profile_folder_, work_folder_);
  outbox_->set_route(Route());
  session_ = ++last_session_;
  ClearWorkFolder();
  Recover();
  if (download && !profile_.fetch.empty()) RunFetchCommand();
  outbox_->DeliverAll();
  return Status::OK();
}

void MailStore::SignOff() {
  session_ = 0;
  messages_.clear();
  deleted_.clear();
  selected_ = -1;
  current_ = StoreMessage();
  draft_ = Draft();
}

OutboxRoute MailStore::Route() const {
  OutboxRoute route;
  route.smtp = profile_.smtp;
  route.sendmail_line = profile_.has_sendmail ? profile_.sendmail
                                              : (fs_.IsFile(kDefaultSendmail) ? kDefaultSendmail : "");
  if (!SplitCommandLine(route.sendmail_line, &route.sendmail)) {
    log_.WriteLog("メールストアのsendmailコマンドの引用符が閉じていません：" + route.sendmail_line);
    route.sendmail.clear();
  }
  return route;
}

void MailStore::ClearWorkFolder() {
  // Attachments taken out by a cycle that died.
  for (const std::string& folder : {work_folder_, JoinPath(work_folder_, "outbox")}) {
    std::vector<DirEntry> entries;
    if (!fs_.ListDir(folder, &entries).ok()) continue;
    for (const DirEntry& e : entries)
      if (e.is_file) fs_.RemoveFile(JoinPath(folder, e.name));
  }
}

void MailStore::Recover() {
  std::set<std::string> acted, deleted;
  Status s = journal_->Load(&acted, &deleted);
  if (!s.ok()) {
    log_.WriteLog("メールストアの記録" + journal_->path() + "を読めません：" + s.message());
    return;
  }
  if (acted.empty() && deleted.empty()) {
    journal_->Clear();
    return;
  }
  std::vector<MaildirMessage> all;
  if (!MaildirList(fs_, profile_folder_, &all).ok()) return;
  for (const MaildirMessage& m : all) {
    const std::string base = MaildirBase(m.name);
    if (deleted.count(base)) {
      fs_.RemoveFile(m.path);
    } else if (acted.count(base) && (m.in_new || MaildirFlags(m.name).find('S') == std::string::npos)) {
      std::string moved;
      MaildirMove(fs_, m.path, profile_folder_, MaildirFlags(m.name) + "S", &moved, false);
    }
  }
  fs_.SyncDir(JoinPath(profile_folder_, "new"));
  fs_.SyncDir(JoinPath(profile_folder_, "cur"));
  journal_->Clear();
}

void MailStore::RunFetchCommand() {
  std::vector<std::string> argv;
  CommandResult r;
  Status s = SplitCommandLine(profile_.fetch, &argv) && !argv.empty()
                 ? runner_.Run(argv, profile_folder_, "", kFetchLimitMs, &r)
                 : Status::InvalidArgument("コマンドが読めません");
  std::string why;
  if (!s.ok()) {
    why = s.message();
  } else if (r.timed_out) {
    why = "5分以内に終わりませんでした";
  } else if (r.exit_code != 0) {
    why = "exit " + std::to_string(r.exit_code) + " " + Trim(r.output);
  }
  if (!why.empty()) log_.WriteLog("メールストアの受信コマンド<" + profile_.fetch + ">が失敗しました：" + why);
}

Status MailStore::Fetch() {
  messages_.clear();
  deleted_.clear();
  selected_ = -1;
  if (session_ <= 0) return Status::Error("メールストアにログオンしていません。");
  std::vector<MaildirMessage> all;
  Status s = MaildirList(fs_, profile_folder_, &all);
  if (!s.ok()) return s;
  for (MaildirMessage& m : all) {
    if (m.in_new || MaildirFlags(m.name).find('S') == std::string::npos) messages_.push_back(std::move(m));
  }
  std::sort(messages_.begin(), messages_.end(), [](const MaildirMessage& a, const MaildirMessage& b) {
    return a.mtime_micros != b.mtime_micros ? a.mtime_micros < b.mtime_micros : a.name < b.name;
  });
  deleted_.assign(messages_.size(), false);
  return Status::OK();
}

Status MailStore::Select(int index) {
  if (index < 0 || index >= MsgCount()) return Status::InvalidArgument("メッセージ番号" + std::to_string(index) + "がありません。");
  selected_ = index;
  return Status::OK();
}

const MaildirMessage* MailStore::Selected() const {
  if (selected_ < 0 || selected_ >= MsgCount()) return nullptr;
  return &messages_[static_cast<size_t>(selected_)];
}

std::string MailStore::SelectedName() const {
  const MaildirMessage* m = Selected();
  return m ? m->name : "";
}

Status MailStore::Read(StoreMessage* message) {
  *message = StoreMessage();
  current_ = StoreMessage();
  const MaildirMessage* m = Selected();
  if (m == nullptr) return Status::InvalidArgument("メッセージが選ばれていません。");
  if (deleted_[static_cast<size_t>(selected_)]) return Status::NotFound(m->name + "は削除済みです。");
  // The reader takes attachments out beside the file it reads, so it reads
  // a copy in the work folder, never the Maildir itself.
  std::string bytes;
  Status s = fs_.ReadFile(m->path, &bytes);
  if (!s.ok()) return s;
  const std::string copy = "message.eml";
  fs_.RemoveFile(JoinPath(work_folder_, copy));
  s = fs_.CreateNewFile(JoinPath(work_folder_, copy), bytes, false);
  if (!s.ok()) return s;
  MailReply reply = ReadMailFile(fs_, copy, kReceivedMailFields, work_folder_);
  fs_.RemoveFile(JoinPath(work_folder_, copy));
  if (!reply.is_list) return Status::Corrupt(reply.text);
  for (const std::string& item : reply.items) {
    if (StartsWith(item, "To: ")) {
      const std::string v = item.substr(4);
      message->RecipAddress = ExtractAddress(v, "<", ">");
      message->RecipDisplayName = DisplayName(v);
    } else if (StartsWith(item, "From: ")) {
      const std::string v = item.substr(6);
      message->MsgOrigAddress = ExtractAddress(v, "<", ">");
      message->MsgOrigDisplayName = DisplayName(v);
    } else if (StartsWith(item, "Subject: ")) {
      message->MsgSubject = Trim(item.substr(9));
    } else if (StartsWith(item, "Body: ")) {
      message->MsgNoteText = item.substr(6);
    } else if (StartsWith(item, "File: ")) {
      message->attachment_files.push_back(item.substr(6));
    }
  }
  message->header_items = reply.items;
  current_ = *message;
  return Status::OK();
}

void MailStore::DiscardAttachments(const StoreMessage& message) {
  for (const std::string& f : message.attachment_files) fs_.RemoveFile(f);
}

Status MailStore::SyncFolders() {
  Status s = fs_.SyncDir(JoinPath(profile_folder_, "new"));
  Status c = fs_.SyncDir(JoinPath(profile_folder_, "cur"));
  return s.ok() ? c : s;
}

Status MailStore::Delete(bool sync) {
  const MaildirMessage* m = Selected();
  if (m == nullptr) return Status::InvalidArgument("メッセージが選ばれていません。");
  if (deleted_[static_cast<size_t>(selected_)]) return Status::OK();
  Status s = fs_.RemoveFile(m->path);
  // Already gone (another mail program took it): the wish is fulfilled.
  if (!s.ok() && fs_.Exists(m->path)) return s;
  deleted_[static_cast<size_t>(selected_)] = true;
  return sync ? fs_.SyncDir(DirName(m->path)) : Status::OK();
}

Status MailStore::MarkSeen(bool sync) {
  const MaildirMessage* m = Selected();
  if (m == nullptr) return Status::InvalidArgument("メッセージが選ばれていません。");
  if (deleted_[static_cast<size_t>(selected_)]) return Status::OK();
  std::string moved;
  Status s = MaildirMove(fs_, m->path, profile_folder_, MaildirFlags(m->name) + "S", &moved, sync);
  if (!s.ok()) return s;
  MaildirMessage& mm = messages_[static_cast<size_t>(selected_)];
  mm.path = moved;
  mm.name = BaseName(moved);
  mm.in_new = false;
  return Status::OK();
}

Status MailStore::RecordActed() {
  const MaildirMessage* m = Selected();
  if (m == nullptr || !journal_) return Status::InvalidArgument("メッセージが選ばれていません。");
  return journal_->RecordActed(MaildirBase(m->name));
}

Status MailStore::RecordDeletes(const std::vector<int>& indexes) {
  if (!journal_) return Status::Error("メールストアにログオンしていません。");
  std::vector<std::string> bases;
  for (int i : indexes) {
    if (i < 0 || i >= MsgCount()) return Status::InvalidArgument("メッセージ番号" + std::to_string(i) + "がありません。");
    bases.push_back(MaildirBase(messages_[static_cast<size_t>(i)].name));
  }
  return journal_->RecordDeletes(bases);
}

void MailStore::ClearJournal() {
  if (journal_) journal_->Clear();
}

void MailStore::Compose() { draft_ = Draft(); }

Status MailStore::Forward() {
  draft_ = Draft();
  if (Selected() == nullptr) return Status::InvalidArgument("転送するメッセージが選ばれていません。");
  draft_.attachments = current_.attachment_files;
  return Status::OK();
}

void MailStore::SetRecipient(int index, const std::string& display_name, const std::string& address,
                             RecipType type) {
  if (index < 0) return;
  if (static_cast<size_t>(index) >= draft_.recipients.size()) draft_.recipients.resize(static_cast<size_t>(index) + 1);
  draft_.recipients[static_cast<size_t>(index)] = Draft::Recipient{display_name, address, type};
}

Status MailStore::Send() {
  if (session_ <= 0 || !outbox_) return Status::Error("メールストアにログオンしていません。");
  std::vector<std::string> visible, blind;
  std::string items;
  bool in_bcc = false;
  // Visible ones first, then "bcc" and the blind copies, as the composer
  // reads its recipient list.
  for (const auto& r : draft_.recipients)
    if (r.type != kBcc && !r.address.empty()) items += (items.empty() ? "" : "\t") + r.address;
  for (const auto& r : draft_.recipients) {
    if (r.type != kBcc || r.address.empty()) continue;
    if (!in_bcc) items += std::string(items.empty() ? "@undisclosed-recipients" : "") + "\tbcc";
    in_bcc = true;
    items += "\t" + r.address;
  }
  items += "\t>Message-ID: Kelmora";
  items += ProgramHeaderItems(draft_.headers);
  const std::string address = !profile_.address.empty() ? profile_.address : default_sender_;
  const std::string from = profile_.name.empty() ? address : "\"" + profile_.name + "\" <" + address + ">";
  std::string attachments;
  for (const std::string& a : draft_.attachments) attachments += (attachments.empty() ? "" : "\t") + a;

  ComposedMail mail;
  std::string error = ComposeMail(fs_, clock_, items, from, draft_.subject, draft_.body, attachments, &mail);
  if (!error.empty()) return Status::Error(error);
  if (!mail.invalid.empty()) return Status::InvalidArgument("宛先ではありません：" + mail.invalid.front());
  if (mail.envelope.empty()) return Status::InvalidArgument("宛先がありません。");
  for (const auto& r : draft_.recipients) {
    if (r.type == kTo && !r.address.empty()) {
      if (!r.name.empty() && r.name != r.address) mail.message = WithToHeader(mail.message, ToHeader(r.name, r.address));
      break;
    }
  }
  for (const auto& r : draft_.recipients) {
    if (r.address.empty()) continue;
    std::vector<std::string>& list = r.type == kBcc ? blind : visible;
    if (std::find(visible.begin(), visible.end(), r.address) == visible.end() &&
        std::find(blind.begin(), blind.end(), r.address) == blind.end())
      list.push_back(r.address);
  }
  std::string path;
  Status s = outbox_->Enqueue(mail.mail_from, visible, blind, mail.message, &path);
  if (!s.ok()) return s;
  draft_ = Draft();
  // From here the outbox owns the mail. The message it came from is
  // recorded as acted on before the route runs (which may take minutes):
  // a crash now must not make the cycle post it a second time.
  if (Selected() != nullptr) {
    Status r = RecordActed();
    if (!r.ok()) log_.WriteLog("メールストアの処理記録を書けません<" + SelectedName() + ">:" + r.message());
  }
  outbox_->Deliver(path);
  return Status::OK();
}

}  // namespace kelmora
