// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/delivery_queue.h"

#include <algorithm>

#include "mime/header_decoder.h"
#include "mime/mime_util.h"
#include "net/server_string.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// The file written in two pieces, so that a large message is not copied
// behind its head first.
Status WriteQueueFile(FileSystem& fs, const std::string& path, const QueuedMail& mail) {
  return fs.WriteFileAtomicFrom(path, [&mail](ByteSink& sink) {
    Status s = sink.Write(EncodeQueuedMailHead(mail));
    return s.ok() ? sink.Write(mail.message) : s;
  });
}

constexpr const char* kSuffix = ".queue";
constexpr std::int64_t kMinute = 60LL * 1000 * 1000;

// The raw value of the first header `name` (lower case, with its ":") of a
// composed message, folding kept; "" when it has none.
std::string RawHeaderOf(const std::string& message, const std::string& name) {
  size_t header_end = message.find("\r\n\r\n");
  if (header_end == std::string::npos) header_end = message.size();
  std::string raw;
  bool in_header = false;
  size_t pos = 0;
  while (pos < header_end) {
    size_t end = message.find("\r\n", pos);
    if (end == std::string::npos || end > header_end) end = header_end;
    const std::string line = message.substr(pos, end - pos);
    pos = end + 2;
    const bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (in_header && continued) {
      raw += "\r\n" + line;
      continue;
    }
    if (in_header) break;
    if (AsciiLower(line.substr(0, name.size())) == name) {
      in_header = true;
      raw = line.substr(name.size());
    }
  }
  return raw;
}

// The decoded Subject of a composed message, "" when it has none.
std::string SubjectOf(const std::string& message) { return DecodeHeaderText(RawHeaderOf(message, "subject:")); }

}  // namespace

void LogRecipientErrors(Logger& log, const std::vector<std::pair<std::string, std::string>>& failed,
                        const std::string& display) {
  for (const auto& f : failed) log.WriteLog("SendMailの宛先エラー<" + f.first + ">:" + f.second + " (" + display + ")");
}

DeliveryQueue::DeliveryQueue(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions,
                             std::string folder, MailOptions options)
    : fs_(fs), log_(log), clock_(clock), sessions_(sessions), folder_(std::move(folder)), options_(options) {}

std::int64_t DeliveryQueue::PauseMicros(size_t attempts) {
  static constexpr std::int64_t kPauses[] = {1, 5, 15, 30, 60};
  const size_t i = std::min<size_t>(attempts == 0 ? 0 : attempts - 1, std::size(kPauses) - 1);
  return kPauses[i] * kMinute;
}

Status DeliveryQueue::Add(const QueuedMail& mail, std::string* path) {
  if (!fs_.IsDir(folder_)) {
    Status made = fs_.CreateDir(folder_);
    if (!made.ok()) return made;
  }
  // Names sort in the order the messages were handed over.
  const std::string base = JoinPath(folder_, std::to_string(clock_.EpochMicros()));
  std::string candidate = base + kSuffix;
  for (int k = 1; fs_.Exists(candidate); ++k) {
    if (k >= 1000) return Status::Error("no free name in " + folder_);
    candidate = base + "-" + std::to_string(k) + kSuffix;
  }
  Status s = WriteQueueFile(fs_, candidate, mail);
  if (s.ok()) *path = candidate;
  return s;
}

Status DeliveryQueue::Progress(const std::string& path, QueuedMail* mail, const std::vector<std::string>& recipients,
                               const DeliveryReport& report) {
  // Everyone settled: Finish removes the file right after.
  if (report.delivered.size() + report.refused.size() >= recipients.size()) return Status::OK();
  // After every transaction: those it settled are appended to the file, a
  // line each, so that a killed program never resends to them. The report
  // only grows, so only its new entries are written. The append is not
  // flushed: only a power cut in the middle of a send can make the next
  // attempt repeat a transaction.
  std::vector<std::string> settled;
  for (size_t i = mail->appended_delivered; i < report.delivered.size(); ++i) settled.push_back(report.delivered[i]);
  for (size_t i = mail->appended_refused; i < report.refused.size(); ++i) settled.push_back(report.refused[i].first);
  if (settled.empty()) return Status::OK();
  Status s = fs_.AppendToFile(path, SettledLines(settled));
  if (s.ok()) {
    mail->appended_delivered = report.delivered.size();
    mail->appended_refused = report.refused.size();
  }
  return s;
}

Status DeliveryQueue::Finish(const std::string& path, QueuedMail* mail, const std::vector<std::string>& recipients,
                             const DeliveryReport& report) {
  mail->owed = Unsettled(recipients, report);
  if (mail->owed.empty()) {
    if (fs_.RemoveFile(path).ok()) return Status::OK();
    // A file that owes nobody is removed by the next flush.
    return WriteQueueFile(fs_, path, *mail);
  }
  const std::int64_t now = clock_.EpochMicros();
  QueueAttempt attempt{now, report.deferred.empty() ? std::string("not sent") : report.deferred.front().second};
  mail->attempts.push_back(attempt);
  mail->next_attempt_micros = now + PauseMicros(mail->attempts.size());
  return WriteQueueFile(fs_, path, *mail);
}

Status DeliveryQueue::Remove(const std::string& path) { return fs_.RemoveFile(path); }

void DeliveryQueue::Flush(const std::function<bool()>& stop_requested) {
  if (!fs_.IsDir(folder_)) return;
  std::vector<DirEntry> entries;
  Status s = fs_.ListDir(folder_, &entries);
  if (!s.ok()) {
    log_.WriteLog("配送待ちフォルダを読めません<" + folder_ + ">:" + s.message());
    return;
  }
  std::vector<std::string> names;
  for (const DirEntry& e : entries) {
    // Names beginning with "." are temporary files of a rewrite.
    if (e.is_file && !StartsWith(e.name, ".") && EndsWith(e.name, kSuffix)) names.push_back(e.name);
  }
  // Oldest first: the names are epoch microseconds of the same width.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  std::vector<std::string> unreachable;
  for (const std::string& name : names) {
    if (stop_requested && stop_requested()) return;
    FlushOne(JoinPath(folder_, name), &unreachable, stop_requested);
  }
}

void DeliveryQueue::FlushOne(const std::string& path, std::vector<std::string>* unreachable,
                             const std::function<bool()>& stop_requested) {
  QueuedMail mail;
  SmtpServer smtp;
  if (Load(path, &mail) && Due(path, mail, *unreachable, &smtp)) {
    Redeliver(path, mail, smtp, unreachable, stop_requested);
  }
}

bool DeliveryQueue::Load(const std::string& path, QueuedMail* mail) {
  std::string bytes;
  Status s = fs_.ReadFile(path, &bytes);
  if (!s.ok()) {
    log_.WriteLog("配送待ちファイルを読めません<" + path + ">:" + s.message());
    return false;
  }
  s = DecodeQueuedMail(std::move(bytes), mail);
  if (!s.ok()) {
    // Set aside so that it is reported once, not at every cycle.
    Status moved = fs_.Rename(path, path + ".bad");
    log_.WriteLog("配送待ちファイルを読めません<" + path + ">:" + s.message() +
                  (moved.ok() ? "" : " / " + moved.message()));
    return false;
  }
  if (mail->owed.empty()) {
    // Owes nobody: a file that stays is found empty again next cycle.
    (void)fs_.RemoveFile(path);
    return false;
  }
  return true;
}

// A message whose server string cannot be read, or that waited longer
// than a message may, is given up; one not due yet, or for a server that
// could not be reached in this flush, waits.
bool DeliveryQueue::Due(const std::string& path, QueuedMail& mail, const std::vector<std::string>& unreachable,
                        SmtpServer* smtp) {
  const Status parsed = ParseSmtpServer(mail.server, smtp);
  const std::int64_t now = clock_.EpochMicros();
  if (!parsed.ok()) {
    mail.attempts.push_back(QueueAttempt{now, "SendMail failed: " + parsed.message()});
    GiveUp(path, mail, "?");
    return false;
  }
  if (now - mail.queued_micros >= static_cast<std::int64_t>(options_.queue_lifetime_seconds) * 1000000) {
    GiveUp(path, mail, smtp->display);
    return false;
  }
  if (now < mail.next_attempt_micros) return false;
  return std::find(unreachable.begin(), unreachable.end(), mail.server) == unreachable.end();
}

void DeliveryQueue::Redeliver(const std::string& path, QueuedMail& mail, const SmtpServer& smtp,
                              std::vector<std::string>* unreachable, const std::function<bool()>& stop_requested) {
  const std::vector<std::string> recipients = mail.owed;
  Status write_failure;
  const DeliveryReport report = DeliverMessage(
      sessions_, smtp, mail.mail_from, mail.message, recipients, options_.max_recipients_per_transaction,
      [&](const DeliveryReport& r) {
        Status w = Progress(path, &mail, recipients, r);
        if (!w.ok()) {
          write_failure = w;
          return false;
        }
        return !(stop_requested && stop_requested());
      });
  LogRecipientErrors(log_, report.refused, smtp.display);
  for (const auto& [address, reply] : report.refused) {
    if (!IsUnknownAddressReply(reply)) continue;
    unknown_.push_back(UnknownRecipient{address, reply, Trim(OneLine(RawHeaderOf(mail.message, "x-loop:")))});
  }
  if (report.server_failed) unreachable->push_back(mail.server);
  // Also after a failed rewrite: the file must not keep recipients that
  // were settled since.
  Status w = Finish(path, &mail, recipients, report);
  if (!w.ok() || !write_failure.ok()) {
    log_.WriteLog("配送待ちファイルに書き込めません<" + path + ">:" + (w.ok() ? write_failure : w).message());
  }
}

std::vector<UnknownRecipient> DeliveryQueue::TakeUnknownRecipients() {
  std::vector<UnknownRecipient> out;
  out.swap(unknown_);
  return out;
}

void DeliveryQueue::GiveUp(const std::string& path, const QueuedMail& mail, const std::string& display) {
  std::string who;
  for (const std::string& a : mail.owed) who += (who.empty() ? "<" : ",<") + a + ">";
  const std::string last = mail.attempts.empty() ? std::string("not sent") : mail.attempts.back().failure;
  Status removed = fs_.RemoveFile(path);
  log_.WriteLog("SendMailの配送を断念" + who + ":" + last + " 件名「" + OneLine(SubjectOf(mail.message)) +
                "」Message-ID <" + mail.message_id + "> (" + display + ")" +
                (removed.ok() ? "" : " / " + removed.message()));
}

}  // namespace kelmora
