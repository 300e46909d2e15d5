// SPDX-License-Identifier: GPL-3.0-or-later
#include "mail/pop3_inbox.h"

#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

constexpr size_t kBatchMessages = 64;
constexpr size_t kBatchBytes = 16u << 20;

}  // namespace

Pop3Inbox::Pop3Inbox(FileSystem& fs, Logger& log, MailComponent& mail, std::string receive_folder,
                     std::vector<std::string> stored_names)
    : fs_(fs), log_(log), mail_(mail), folder_(std::move(receive_folder)), names_(std::move(stored_names)) {}

Pop3Inbox::~Pop3Inbox() {
  CommitReadable();
  fs_.ReleaseSpareFiles();
}

void Pop3Inbox::Finish() {
  CommitReadable();
  fs_.ReleaseSpareFiles();
}

void Pop3Inbox::CommitReadable() {
  // A rewrite that fails leaves the message as received, as a failed
  // rewrite always did; the log says which ones stayed so.
  if (!pending_.empty()) {
    Status s = fs_.CommitFiles(&pending_);
    if (!s.ok()) {
      for (const StagedFile& f : pending_)
        if (!f.committed) LogUnwritten(f.path, s);
    }
  }
  pending_.clear();
  pending_bytes_ = 0;
}

std::string Pop3Inbox::ReadableForm(const ReceivedMail& mail) {
  return "宛先：\"" + mail.ToName + "\" <" + mail.ToAddress + ">\r\n" + "差出人：\"" + mail.FromName + "\" <" +
         mail.FromAddress + ">\r\n" + "件名：" + mail.Subject + "\r\n" + mail.Body + "\r\n";
}

std::string Pop3Inbox::PathOf(int index) const {
  const std::string& name = names_.at(static_cast<size_t>(index));
  if (!name.empty() && name[0] == '/') return name;
  return JoinPath(folder_, name);
}

Status Pop3Inbox::Read(int index, ReceivedMail* mail) {
  *mail = ReceivedMail();
  const std::string& name = names_.at(static_cast<size_t>(index));
  // A failed read leaves the fresh record alone: it only gets the name, for
  // the log line.
  Status s = mail_.Read(name, folder_, mail);
  mail->StoredName = name;
  return s;
}

std::string Pop3Inbox::AttachmentList(int, const ReceivedMail& mail, std::vector<std::string>* names) {
  if (names != nullptr) names->assign(mail.AttachmentFiles.begin() + 1, mail.AttachmentFiles.end());
  return JoinAttachmentPaths(mail.AttachmentCount(), mail.AttachmentFiles);
}

void Pop3Inbox::DiscardAttachments(int, const ReceivedMail& mail) {
  for (int i = 1; i <= mail.AttachmentCount(); ++i) DeleteFileForced(fs_, mail.AttachmentFiles[static_cast<size_t>(i)]);
}

void Pop3Inbox::SetAside(int index) {
  const std::string path = PathOf(index);
  std::string target = StripExtension(path) + "Error.txt";
  // Never overwrite an earlier failure of the same name.
  for (int n = 2; fs_.Exists(target) && n < 1000; ++n) {
    target = StripExtension(path) + "Error" + std::to_string(n) + ".txt";
  }
  if (!fs_.Exists(path)) return;
  Status s = fs_.Rename(path, target);
  // Left under its name, the message is settled all the same: the journal
  // keeps it from being handed out again.
  if (!s.ok()) {
    log_.WriteLog("受信メールを退避できません>" + s.message());
    return;
  }
  set_aside_names_[index] = BaseName(target);
}

std::string Pop3Inbox::SettledName(int index, const ReceivedMail& mail) const {
  auto it = set_aside_names_.find(index);
  return it != set_aside_names_.end() ? it->second : mail.StoredName;
}

void Pop3Inbox::LogUnwritten(const std::string& path, const Status& s) {
  log_.WriteLog("受信メールを読める形に書き換えられません<" + path + ">:" + s.message());
}

void Pop3Inbox::BeginProcessing(int index) { mail_.MarkProcessing(folder_, names_.at(static_cast<size_t>(index))); }

void Pop3Inbox::RecordAction(int index) { mail_.MarkActed(folder_, names_.at(static_cast<size_t>(index))); }

void Pop3Inbox::StageReadable(const std::string& path, const ReceivedMail& mail, FileEncoding encoding) {
  const std::string bytes = EncodeFileText(ReadableForm(mail) + "\r\n", encoding);
  StagedFile staged;
  Status s = fs_.StageFile(path, bytes, &staged);
  if (!s.ok()) {
    LogUnwritten(path, s);
    return;
  }
  pending_.push_back(std::move(staged));
  pending_bytes_ += bytes.size();
  if (pending_.size() >= kBatchMessages || pending_bytes_ >= kBatchBytes) CommitReadable();
}

std::string Pop3Inbox::KeepUnprocessed(int index, const ReceivedMail& mail) {
  const std::string path = PathOf(index);
  std::string readable = StripExtension(path) + ".txt";
  if (readable == path) readable = path + ".txt";
  StageReadable(readable, mail, FileEncoding::kCp932);
  mail_.MarkSettled(folder_, names_.at(static_cast<size_t>(index)));
  return "元のメールを" + path + "に、読める形を" + BaseName(readable) + "に残しました。";
}

void Pop3Inbox::Settle(int index, const ReceivedMail& mail, Disposition how) {
  switch (how) {
    case Disposition::kDelete: DeleteFileForced(fs_, PathOf(index)); break;
    case Disposition::kKeepReadable: {
      const std::string path = PathOf(index);
      StageReadable(path, mail, EncodingOf(fs_, path));
      break;
    }
    case Disposition::kSetAside: SetAside(index); break;
    case Disposition::kKeepAsIs: return;  // handed out again by a later fetch
  }
  // Settled at once, also while its readable form waits for its batch: the
  // program is done with the message, and a crash before the batch is
  // committed only leaves it kept as it was received.
  mail_.MarkSettled(folder_, names_.at(static_cast<size_t>(index)));
}

}  // namespace kelmora
