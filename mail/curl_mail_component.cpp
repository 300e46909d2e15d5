// SPDX-License-Identifier: GPL-3.0-or-later
#include "mail/curl_mail_component.h"

#include "mime/mail_reader.h"
#include "net/server_string.h"
#include "pop3/receive_journal.h"
#include "textio/strings.h"

namespace kelmora {

CurlMailComponent::CurlMailComponent(FileSystem& fs, Logger& log, const Clock& clock, MailOptions options,
                                     DeliveryQueue* queue)
    : fs_(fs),
      log_(log),
      clock_(clock),
      options_(options),
      smtp_sessions_(options),
      pop3_sessions_(options),
      sender_(fs, log, clock, smtp_sessions_, options, queue),
      fetcher_(fs, clock, pop3_sessions_) {}

Status CurlMailComponent::Read(const std::string& name, const std::string& folder, ReceivedMail* mail) {
  return ReadMailFile(fs_, name, folder, mail);
}

Status CurlMailComponent::Fetch(const std::string& a, const std::string& b, const std::string& password,
                                const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  if (!fs_.IsDir(folder)) {
    Status made = fs_.CreateDir(folder);
    if (!made.ok()) return Status::IOError("RcvMail: no reception folder: " + made.message());
  }

  ReceiveJournal journal(fs_, clock_, folder);
  // The first fetch of a run clears away what a crash left half-written.
  if (swept_folders_.insert(folder).second) journal.RemoveStaleTemporaries();
  // An unreadable journal was moved aside; the fetch goes on with a new one.
  if (Status loaded = journal.Load(); !loaded.ok()) log_.WriteLog(loaded.message());

  Pop3FetchResult fetched = fetcher_.Fetch(a, b, password, folder, &journal);

  std::vector<std::string> set_aside, acted_aside, problems;
  std::vector<std::string> paths =
      journal.TakeUnsettled(ReceiveJournal::AccountKey(a, b), &set_aside, &acted_aside, &problems);
  for (const std::string& path : set_aside) {
    log_.WriteLog("受信メールが" + std::to_string(ReceiveJournal::kMaxAttempts) +
                  "回受け渡されても処理を終えなかったため退避しました>" + path);
  }
  for (const std::string& path : acted_aside) {
    log_.WriteLog("処理の途中で止まった受信メールを、二重に処理しないよう退避しました>" + path);
  }
  for (const std::string& text : problems) log_.WriteLog("受信メールを退避できません>" + text);
  Status saved = journal.Save();
  if (!saved.ok()) log_.WriteLog("受信記録ファイルに書き込めません>" + saved.message());

  for (const std::string& path : paths) names->push_back(BaseName(path));
  if (!fetched.status.ok()) {
    if (names->empty()) return fetched.status;
    log_.WriteLog("RcvMailの戻り値異常<" + MaskPassword(a) + ">:" + fetched.status.message());
  }
  return Status::OK();
}

void CurlMailComponent::MarkSettled(const std::string& folder, const std::string& name) {
  Status s = ReceiveJournal::AppendMark(fs_, folder, ReceiveJournal::Mark::kSettled, name);
  if (!s.ok()) log_.WriteLog("受信記録ファイルに書き込めません>" + s.message());
}

void CurlMailComponent::MarkProcessing(const std::string& folder, const std::string& name) {
  Status s = ReceiveJournal::AppendMark(fs_, folder, ReceiveJournal::Mark::kBegan, name);
  if (!s.ok()) log_.WriteLog("受信記録ファイルに書き込めません>" + s.message());
}

void CurlMailComponent::MarkActed(const std::string& folder, const std::string& name) {
  Status s = ReceiveJournal::AppendMark(fs_, folder, ReceiveJournal::Mark::kActed, name);
  if (!s.ok()) log_.WriteLog("受信記録ファイルに書き込めません>" + s.message());
}

}  // namespace kelmora
