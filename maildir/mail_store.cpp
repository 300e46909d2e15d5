// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/mail_store.h"


#include <algorithm>

#include "mime/mail_composer.h"
#include "mime/mail_library_init.h"
#include "mime/mail_reader.h"
#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kJournalName = "kelmora-journal";
constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";

}  // namespace

std::string StoreMessage::AttachmentName(int i) const {
  if (i < 0 || i >= AttachmentCount()) return "";
  return BaseName(mail.AttachmentFiles[static_cast<size_t>(i) + 1]);
}

std::vector<std::string> StoreMessage::AttachmentPaths() const {
  return std::vector<std::string>(mail.AttachmentFiles.begin() + 1, mail.AttachmentFiles.end());
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

void MailStore::NewCycle() {
  logged_this_cycle_.clear();
  if (outbox_) outbox_->set_timed_out(false);
}

void MailStore::SyncFolders() {
  // A flag change that is not durable may come undone in a crash, and the
  // message be handed out again: the owner is told, once per cycle.
  for (const char* sub : {"new", "cur"}) {
    Status s = fs_.SyncDir(JoinPath(profile_folder_, sub));
    if (!s.ok()) LogOncePerCycle(std::string("sync ") + sub, "メールストアのフォルダを確定できません：" + s.message());
  }
}

void MailStore::LogOncePerCycle(const std::string& key, const std::string& line) {
  if (logged_this_cycle_.insert(key).second) log_.WriteLog(line);
}

void MailStore::LogFailures(const char* what, const Failures& failures) {
  if (failures.count == 0) return;
  // One line per cycle, however many messages and however many attempts:
  // a folder the store cannot change fails the same way every time.
  LogOncePerCycle("settle", std::string("メールストアのメールを") + what + "できません（" +
                                std::to_string(failures.count) + "件）" + failures.first);
}

Status MailStore::OpenProfile(const std::string& user) {
  if (user.empty() || user == "." || user == ".." || user.find('/') != std::string::npos ||
      user.find('\\') != std::string::npos) {
    return Status::InvalidArgument("メールストアのプロファイル名<" + user + ">は使えません。");
  }
  const std::string store = JoinPath(program_folder_, "mailstore");
  profile_folder_ = JoinPath(store, user);
  // Only the default profile is made on first use, as a mail client makes
  // its store: a mistyped name must not read an empty new profile for ever
  // while the intended store waits.
  if (user != kDefaultProfile && !fs_.Exists(profile_folder_)) {
    return Status::Refused("メールストアのプロファイル<" + user + ">のフォルダ" + profile_folder_ + "がありません。");
  }
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

Status MailStore::Logon(const std::string& user, const std::string& password, bool download, bool deliver) {
  SignOff();
  Status s = OpenProfile(user);
  if (!s.ok()) return s;
  s = ReadStoreProfile(fs_, JoinPath(profile_folder_, "profile.ini"), &profile_);
  if (!s.ok()) return s;
  if (profile_.has_password && profile_.password != password) {
    return Status::Refused("メールストアのプロファイル<" + user + ">のパスワードが違います。");
  }
  // Without its records nobody can tell what was already done: the store
  // stays closed rather than act twice.
  auto journal = std::make_unique<StoreJournal>(fs_, JoinPath(profile_folder_, kJournalName));
  s = journal->Load();
  if (!s.ok()) return Status::IOError("メールストアの記録" + journal->path() + "を読めません：" + s.message());
  journal_ = std::move(journal);
  // A second logon in the same cycle keeps the cycle's one route time-out.
  const bool timed_out = outbox_ != nullptr && outbox_->timed_out();
  outbox_ = std::make_unique<StoreOutbox>(fs_, clock_, log_, runner_, smtp_, profile_folder_);
  outbox_->set_route(Route());
  outbox_->set_stop(stop_);
  outbox_->set_on_failed([this](const std::string& base) { FlagSource(base); });
  outbox_->set_timed_out(timed_out);
  session_ = ++last_session_;
  ClearWorkFolder();
  s = RecoverOutbox();
  if (!s.ok()) LogOncePerCycle("journal", "メールストアの記録" + journal_->path() + "を書けません：" + s.message());
  if (download && !profile_.fetch.empty()) RunFetchCommand();
  if (deliver) outbox_->DeliverAll();
  return Status::OK();
}

void MailStore::SignOff() {
  session_ = 0;
  messages_.clear();
  deleted_.clear();
  temporary_.clear();
  selected_ = -1;
  current_ = StoreMessage();
}

OutboxRoute MailStore::Route() {
  OutboxRoute route;
  route.smtp = profile_.smtp;
  const std::string line = profile_.has_sendmail ? profile_.sendmail
                                                 : (fs_.IsFile(kDefaultSendmail) ? kDefaultSendmail : "");
  if (!SplitCommandLine(line, &route.sendmail)) {
    // The line itself stays out of the log: it may carry a password.
    LogOncePerCycle("sendmail-line", "メールストアのsendmailコマンド（" + JoinPath(profile_folder_, "profile.ini") +
                                         "）の引用符が閉じていません。");
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
      if (e.is_file || e.is_symlink) (void)fs_.RemoveFile(JoinPath(folder, e.name));  // tried again at the next logon
  }
}

Status MailStore::RecoverOutbox() {
  // Copies a crash left in .Outbox/tmp: the ones on record were about to
  // be committed and are; the others never counted and go.
  std::map<std::string, std::string> unconfirmed;  // copy -> base
  for (const auto& [base, r] : journal_->records())
    for (const StoreJournal::Send& send : r.sends)
      if (!send.confirmed) unconfirmed[send.copy] = base;
  const std::string tmp = JoinPath(JoinPath(profile_folder_, ".Outbox"), "tmp");
  std::vector<DirEntry> entries;
  if (fs_.ListDir(tmp, &entries).ok()) {
    bool renamed = false;
    for (const DirEntry& e : entries) {
      const std::string path = JoinPath(tmp, e.name);
      if (unconfirmed.count(e.name) && e.is_file && !e.is_symlink) {
        renamed = fs_.Rename(path, JoinPath(JoinPath(JoinPath(profile_folder_, ".Outbox"), "new"), e.name)).ok() ||
                  renamed;
      } else {
        // A copy that never counted: whatever stays is found again here.
        (void)fs_.RemoveFile(path);
      }
    }
    // A rename lost to a crash leaves the copy in tmp/, where the next
    // logon finds it again.
    if (renamed) (void)fs_.SyncDir(JoinPath(JoinPath(profile_folder_, ".Outbox"), "new"));
  }
  // A copy that got out of tmp/ makes its message acted on; one that never
  // did means the message was not handled and is processed again.
  for (const auto& [copy, base] : unconfirmed) {
    if (outbox_->StateOf(copy) == OutgoingState::kMissing) {
      journal_->DropSend(base, copy);
    } else {
      journal_->Confirm(base, copy);
    }
  }
  return journal_->Save();
}

void MailStore::RunFetchCommand() {
  CommandRequest request;
  Status s = SplitCommandLine(profile_.fetch, &request.argv) && !request.argv.empty()
                 ? Status::OK()
                 : Status::InvalidArgument("コマンドが読めません");
  CommandResult r;
  if (s.ok()) {
    request.folder = profile_folder_;
    request.limit_ms = kFetchLimitMs;
    request.stop = stop_;
    s = runner_.Run(request, &r);
  }
  // Only the program's name: the command line may carry a password.
  const std::string name = request.argv.empty() ? std::string("fetch") : BaseName(request.argv.front());
  std::string why;
  if (!s.ok()) {
    why = name + ": " + FirstLine(s.message());
  } else if (r.timed_out || r.signal != 0 || r.exit_code != 0) {
    why = DescribeCommandOutcome(request.argv, r);
  }
  if (!why.empty() && !r.stopped) log_.WriteLog("メールストアの受信コマンドが失敗しました：" + why);
}

Status MailStore::AddFlags(MaildirMessage& m, const std::string& add, bool sync) {
  std::string flags = MaildirFlags(m.name);
  for (char c : add)
    if (flags.find(c) == std::string::npos) flags += c;
  if (!m.in_new && flags == MaildirFlags(m.name)) return Status::OK();
  std::string moved;
  Status s = MaildirMove(fs_, m.path, profile_folder_, flags, &moved, sync);
  if (!s.ok()) return s;
  m.path = moved;
  m.name = BaseName(moved);
  m.in_new = false;
  return Status::OK();
}

bool MailStore::SettleByRecord(MaildirMessage& m, const StoreJournal::Record& r, Failures* failures) {
  bool waiting = false, failed = false;
  for (const StoreJournal::Send& send : r.sends) {
    const OutgoingState state = outbox_->StateOf(send.copy);
    waiting = waiting || state == OutgoingState::kWaiting;
    failed = failed || state == OutgoingState::kFailed;
  }
  Status s;
  if (r.remove && !waiting && !failed) {
    s = fs_.RemoveFile(m.path);
    if (!s.ok() && !fs_.Exists(m.path)) s = Status::OK();  // another mail program took it
  } else {
    // Kept: a deletion that waits for its send is only marked seen for now;
    // a message whose send failed for good keeps its flag.
    s = AddFlags(m, failed ? "FS" : "S", false);
  }
  if (!s.ok()) {
    failures->Add(m.name, s);
    return false;
  }
  if (failed) journal_->CancelRemove(MaildirBase(m.name));
  return !(r.remove && waiting);
}

void MailStore::FlagSource(const std::string& base) {
  // A message of this cycle's fetch is renamed through its entry, so that
  // the end of the cycle finds it where it now is.
  for (MaildirMessage& m : messages_) {
    if (MaildirBase(m.name) != base) continue;
    Status s = AddFlags(m, "FS", true);
    if (!s.ok()) log_.WriteLog("メールストアのメールに印を付けられません<" + m.name + ">:" + s.message());
    if (journal_) journal_->CancelRemove(base);
    return;
  }
  MaildirListing listing;
  MaildirScan(fs_, profile_folder_, &listing);
  for (MaildirMessage& m : listing.messages) {
    if (MaildirBase(m.name) != base) continue;
    Status s = AddFlags(m, "FS", true);
    if (!s.ok()) log_.WriteLog("メールストアのメールに印を付けられません<" + m.name + ">:" + s.message());
    if (journal_) journal_->CancelRemove(base);
    return;
  }
}

void MailStore::SaveJournal() {
  Status s = journal_->Save();
  if (!s.ok()) LogOncePerCycle("journal", "メールストアの記録" + journal_->path() + "を書けません：" + s.message());
}

Status MailStore::Fetch() {
  messages_.clear();
  deleted_.clear();
  temporary_.clear();
  selected_ = -1;
  if (session_ <= 0) return Status::Error("メールストアにログオンしていません。");
  MaildirListing listing;
  MaildirScan(fs_, profile_folder_, &listing);
  for (const std::string& why : listing.unreadable) {
    LogOncePerCycle("list " + why.substr(0, why.find(": ")), "メールストアのフォルダを読めません：" + why);
  }
  std::set<std::string> present;
  NoteOddEntries(listing.odd, &present);
  Failures failures;
  for (MaildirMessage& m : listing.messages) {
    present.insert(MaildirBase(m.name));
    TakeMessage(m, &failures);
  }
  // A folder that could not be listed may still hold its messages.
  if (listing.unreadable.empty()) ForgetGone(present);
  SyncFolders();
  LogFailures("既読にするか削除", failures);
  SaveJournal();
  std::sort(messages_.begin(), messages_.end(), [](const MaildirMessage& a, const MaildirMessage& b) {
    return a.mtime_micros != b.mtime_micros ? a.mtime_micros < b.mtime_micros : a.name < b.name;
  });
  deleted_.assign(messages_.size(), false);
  temporary_.assign(messages_.size(), false);
  return Status::OK();
}

// Named once for as long as the entry stays, also across runs: the journal
// remembers it (a key no Maildir base can be, as it holds ":").
void MailStore::NoteOddEntries(const std::vector<std::string>& odd, std::set<std::string>* present) {
  for (const std::string& path : odd) {
    const std::string key = "odd:" + BaseName(DirName(path)) + "/" + BaseName(path);
    present->insert(key);
    if (journal_->Find(key) != nullptr) continue;
    log_.WriteLog("メールストアの" + path + "は通常のファイルではないので読みません。");
    // Not on record: the entry is only named once more at the next run.
    (void)journal_->RecordOdd(key);
  }
}

void MailStore::TakeMessage(MaildirMessage& m, Failures* failures) {
  const std::string base = MaildirBase(m.name);
  const bool unread = m.in_new || MaildirFlags(m.name).find('S') == std::string::npos;
  const StoreJournal::Record* r = journal_->Find(base);
  if (r != nullptr && r->ActedOn()) {
    // Never handed out again: only what the cycle that acted could not
    // finish (marking, deleting) is tried once more.
    if (SettleByRecord(m, *r, failures)) journal_->Forget(base);
    return;
  }
  if (r != nullptr && unread && r->began >= StoreJournal::kMaxAttempts) {
    Status s = AddFlags(m, "FS", false);
    if (s.ok()) {
      log_.WriteLog("受信メールが" + std::to_string(StoreJournal::kMaxAttempts) +
                    "回受け渡されても処理を終えなかったため退避しました>" + m.path);
      journal_->Forget(base);
    } else {
      failures->Add(m.name, s);
    }
    return;
  }
  if (r != nullptr && !unread && !r->remove) journal_->Forget(base);  // seen meanwhile: nothing left to do
  if (unread) messages_.push_back(std::move(m));
}

void MailStore::ForgetGone(const std::set<std::string>& present) {
  std::vector<std::string> gone;
  for (const auto& [base, r] : journal_->records())
    if (!present.count(base)) gone.push_back(base);
  for (const std::string& base : gone) journal_->Forget(base);
}

void MailStore::WarmUp() {
  // Japanese in ISO-2022-JP and as an encoded-word: the converters mail
  // here mostly needs.
  static const char kSample[] =
      "From: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= <warm@example.test>\r\nTo: warm@example.test\r\n"
      "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\nMIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n\x1b$B%F%9%H\x1b(B\r\n";
  const std::string copy = "warm-up.eml";
  // The work folder is cleared at every logon; only the libraries' first
  // use matters here.
  (void)fs_.RemoveFile(JoinPath(work_folder_, copy));
  if (fs_.CreateNewFile(JoinPath(work_folder_, copy), kSample, false).ok()) {
    ReceivedMail unused;
    // Only the libraries' first use matters here, not the message.
    (void)ReadMailFile(fs_, copy, work_folder_, &unused);
    (void)fs_.RemoveFile(JoinPath(work_folder_, copy));
  }
  ComposedMail mail;
  OutgoingMessage sample;
  sample.from = "warm@example.test";
  sample.to.push_back(MailRecipient{"warm@example.test", ""});
  sample.message_id_text = "Kelmora";
  sample.subject = sample.body = "テスト";
  // Only the libraries' first use matters here, not the message.
  (void)ComposeMail(fs_, clock_, sample, &mail);
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

bool MailStore::FailedTemporarily(int index) const {
  return index >= 0 && static_cast<size_t>(index) < temporary_.size() && temporary_[static_cast<size_t>(index)];
}

void MailStore::NoteTemporaryFailure() {
  if (selected_ >= 0 && static_cast<size_t>(selected_) < temporary_.size()) temporary_[static_cast<size_t>(selected_)] = true;
}

bool MailStore::ActedOn(int index) const {
  if (index < 0 || index >= MsgCount() || !journal_) return false;
  const StoreJournal::Record* r = journal_->Find(MaildirBase(messages_[static_cast<size_t>(index)].name));
  return r != nullptr && r->ActedOn();
}

Status MailStore::Read(StoreMessage* message) {
  *message = StoreMessage();
  current_ = StoreMessage();
  const MaildirMessage* m = Selected();
  if (m == nullptr) return Status::InvalidArgument("メッセージが選ばれていません。");
  if (deleted_[static_cast<size_t>(selected_)]) return Status::NotFound(m->name + "は削除済みです。");
  auto temporary = [this](Status s) {
    NoteTemporaryFailure();
    return Status::IOError(s.message());
  };
  // The reader takes attachments out beside the file it reads, so it reads
  // a copy in the work folder, never the Maildir itself. The message is
  // opened without following a link: only the store's own files are mail.
  std::string bytes;
  Status s = fs_.ReadRegularFile(m->path, &bytes);
  if (!s.ok()) return s.IsNotFound() || s.code() == Status::Code::kInvalidArgument ? s : temporary(s);
  const std::string copy = "message.eml";
  // A copy that stays is replaced by the next one (CreateNewFile below
  // reports it) and cleared at the next logon.
  (void)fs_.RemoveFile(JoinPath(work_folder_, copy));
  s = fs_.CreateNewFile(JoinPath(work_folder_, copy), bytes, false);
  if (!s.ok()) return temporary(s);
  ReceivedMail read;
  s = ReadMailFile(fs_, copy, work_folder_, &read);
  (void)fs_.RemoveFile(JoinPath(work_folder_, copy));  // cleared at the next logon
  if (!s.ok()) {
    // A file the reader could not read or attachments it could not write
    // (a full disk) can pass; what it cannot parse never becomes readable.
    if (s.IsIOError()) return temporary(s);
    return Status::Corrupt(s.message());
  }
  read.StoredName = m->name;
  read.Subject = Trim(read.Subject);
  message->mail = std::move(read);
  current_ = *message;
  return Status::OK();
}

void MailStore::DiscardAttachments(const StoreMessage& message) {
  // What stays in the work folder is cleared at the next logon.
  for (const std::string& f : message.AttachmentPaths()) (void)fs_.RemoveFile(f);
}

Status MailStore::RecordBegan() {
  const MaildirMessage* m = Selected();
  if (m == nullptr || !journal_) return Status::InvalidArgument("メッセージが選ばれていません。");
  return journal_->RecordBegan(MaildirBase(m->name));
}

Status MailStore::RecordActed() {
  const MaildirMessage* m = Selected();
  if (m == nullptr || !journal_) return Status::InvalidArgument("メッセージが選ばれていません。");
  return journal_->RecordActed(MaildirBase(m->name));
}

void MailStore::Finish(const std::vector<Fate>& fates) {
  if (!journal_) return;
  const size_t n = std::min(fates.size(), messages_.size());
  // The deletions are recorded first, so that a crash in the middle of
  // them is completed by the next fetch.
  std::vector<std::string> doomed;
  for (size_t i = 0; i < n; ++i)
    if (fates[i] == Fate::kDelete) doomed.push_back(MaildirBase(messages_[i].name));
  Status recorded = journal_->RecordDeletes(doomed);
  Failures failures;
  std::vector<std::string> set_aside;
  for (size_t k = n; k-- > 0;) {  // from the highest index down
    MaildirMessage& m = messages_[k];
    const std::string base = MaildirBase(m.name);
    const StoreJournal::Record* r = journal_->Find(base);
    bool done = true;
    switch (fates[k]) {
      case Fate::kOpen: done = false; break;
      case Fate::kDelete:
        if (!recorded.ok()) {
          // Not on record: deleting now could leave a crash nothing to
          // complete; the message is kept seen instead.
          failures.Add(m.name, recorded);
          done = AddFlags(m, "S", false).ok();
        } else {
          done = SettleByRecord(m, *r, &failures);
          deleted_[k] = done && !fs_.Exists(m.path);
        }
        break;
      case Fate::kSeen:
        if (Status s = AddFlags(m, "S", false); !s.ok()) {
          failures.Add(m.name, s);
          done = false;
        }
        break;
      case Fate::kSetAside:
        if (Status s = AddFlags(m, "FS", false); !s.ok()) {
          failures.Add(m.name, s);
          done = false;
        } else {
          set_aside.push_back(m.name);
        }
        break;
    }
    // The cycle ended normally: none of its attempts brought the program
    // down. A message it settled has nothing left to remember.
    journal_->ForgetAttempts(base);
    if (done) journal_->Forget(base);
  }
  SyncFolders();
  for (auto it = set_aside.rbegin(); it != set_aside.rend(); ++it)
    log_.WriteLog("処理できなかった受信メールを既読・フラグ付きでメールストアに残しました>" + *it);
  LogFailures("既読にするか削除", failures);
  SaveJournal();
}

std::vector<std::string> MailStore::ForwardedAttachments(const std::vector<std::string>& files) const {
  if (Selected() != nullptr) return current_.AttachmentPaths();
  std::vector<std::string> out;
  for (const std::string& f : files)
    if (!f.empty() && f[0] == '/' && fs_.IsFile(f)) out.push_back(f);
  return out;
}

Status MailStore::ComposeForProfile(const OutgoingMessage& message, ComposedMail* mail) {
  OutgoingMessage m = message;
  const std::string address = !profile_.address.empty() ? profile_.address : message.from;
  m.from = profile_.name.empty() ? address : "\"" + profile_.name + "\" <" + address + ">";
  m.message_id_text = "Kelmora";
  m.save_folder.clear();
  return ComposeMail(fs_, clock_, m, mail);
}

Status MailStore::Send(const OutgoingMessage& message, const std::function<Status()>& before_queue) {
  if (session_ <= 0 || !outbox_) return Status::Error("メールストアにログオンしていません。");
  ComposedMail mail;
  Status composed = ComposeForProfile(message, &mail);
  if (!composed.ok()) return Status::Error(composed.message());
  const MaildirMessage* source = Selected();
  const std::string base = source ? MaildirBase(source->name) : "";
  // The message was read, its rules walked and its mail composed: what
  // follows waits on the disk and the route, and a program killed there
  // is no fault of the message. (Not recorded: the attempt simply counts.)
  if (!base.empty()) (void)journal_->RecordPassed(base);
  if (before_queue) {
    Status s = before_queue();
    if (!s.ok()) return s;
  }
  // One bad member address must not stop the post for everybody: it is
  // named in the log and left out, as the SMTP road does.
  for (const std::string& bad : mail.invalid) {
    if (!StartsWith(bad, "@")) log_.WriteLog("メールストアの宛先エラー<" + bad + ">:メールアドレスではありません");
  }
  if (mail.envelope.empty()) return Status::InvalidArgument("宛先がありません。");
  const std::set<std::string> deliverable(mail.envelope.begin(), mail.envelope.end());
  std::vector<std::string> visible, blind;
  std::set<std::string> taken;
  auto sort = [&](const std::string& entry, std::vector<std::string>* into) {
    const std::string address = BareAddress(Trim(OneLine(entry)));
    if (deliverable.count(address) && taken.insert(address).second) into->push_back(address);
  };
  for (const MailRecipient& r : message.to) sort(r.address, &visible);
  for (const std::string& b : message.bcc) sort(b, &blind);
  std::string path;
  // The copy is on record before it leaves tmp/: a crash before the record
  // discards it (the message was not handled and is processed again), a
  // crash after it completes it (the message counts as acted on).
  Status s = outbox_->Enqueue(mail.mail_from, visible, blind, base, mail.message,
                              [&](const std::string& copy) {
                                return base.empty() ? Status::OK() : journal_->RecordQueued(base, copy);
                              },
                              &path);
  if (!s.ok()) {
    NoteTemporaryFailure();
    return Status::IOError(s.message());
  }
  if (!base.empty()) journal_->Confirm(base, BaseName(path));
  outbox_->Deliver(path);
  return Status::OK();
}

}  // namespace kelmora
