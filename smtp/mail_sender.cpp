// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/mail_sender.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {

MailSender::MailSender(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions,
                       MailOptions options, DeliveryQueue* queue)
    : fs_(fs), log_(log), clock_(clock), sessions_(sessions), options_(options), queue_(queue) {}

namespace {

// What tells one send from another, for the caller's retry of the same.
std::string SendKey(const std::string& server, const OutgoingMessage& m) {
  std::string key;
  auto put = [&](const std::string& part) {
    key += part;
    key += '\0';
  };
  put(server);
  put(m.from);
  for (const MailRecipient& r : m.to) put(r.address + '\1' + r.name);
  put("\2");
  for (const std::string& b : m.bcc) put(b);
  put("\2");
  put(m.message_id_text);
  m.headers.ForEach([&](const std::string& name, const std::string& value) { put(name + ":" + value); });
  put("\2");
  put(m.subject);
  put(m.body);
  for (const std::string& a : m.attachments) put(a);
  put("\2");
  put(m.save_folder);
  return key;
}

using Undelivered = std::vector<std::pair<std::string, std::string>>;

// Recipients that did not get the message, with the reason: the entries
// that are no address, the refused and, when asked, the deferred.
Undelivered UndeliveredOf(const ComposedMail& mail, const DeliveryReport& report, bool with_deferred) {
  Undelivered out;
  for (const std::string& bad : mail.invalid) out.emplace_back(bad, "not a mail address");
  out.insert(out.end(), report.refused.begin(), report.refused.end());
  if (with_deferred) out.insert(out.end(), report.deferred.begin(), report.deferred.end());
  return out;
}

// The failure of a send that reached nobody.
Status NoneReached(const SmtpServer& smtp, const ComposedMail& mail, const DeliveryReport& report,
                   const Undelivered& undelivered) {
  std::string text = "SendMail failed (" + smtp.display + ") ";
  text += !report.first_failure.empty() ? report.first_failure
          : undelivered.empty()         ? ""
                                        : undelivered.front().second;
  if (mail.envelope.size() > 1) text += " [" + std::to_string(mail.envelope.size()) + " recipients, none reached]";
  return Status::Error(text);
}

// The queue entry of a new send; takes the message out of `mail`.
QueuedMail QueueEntry(const std::string& server, ComposedMail& mail, std::int64_t now_micros) {
  QueuedMail entry;
  entry.server = server;
  entry.mail_from = mail.mail_from;
  entry.message_id = mail.message_id;
  entry.message = std::move(mail.message);
  entry.owed = mail.envelope;
  entry.queued_micros = now_micros;
  entry.next_attempt_micros = now_micros;
  return entry;
}

}  // namespace

Status MailSender::Send(const std::string& server, const OutgoingMessage& message) {
  try {
    SmtpServer smtp;
    if (Status parsed = ParseSmtpServer(server, &smtp); !parsed.ok()) {
      return Status::InvalidArgument("SendMail failed: " + parsed.message());
    }
    ComposedMail mail;
    Status composed = ComposeMail(fs_, clock_, message, &mail);
    if (!composed.ok()) return Status::Error("SendMail failed (" + smtp.display + "): " + composed.message());
    if (mail.envelope.empty()) {
      return Status::InvalidArgument("SendMail failed (" + smtp.display + "): no recipient address" +
                                     (mail.invalid.empty() ? "" : " (invalid: " + mail.invalid.front() + ")"));
    }
    const std::string list_address = Trim(OneLine(message.headers.x_loop));
    if (queue_ == nullptr) return SendDirect(smtp, mail, list_address);

    const std::string key = SendKey(server, message);
    if (key == partial_key_) {
      // The caller's retry of a send that failed after reaching some.
      std::unordered_set<std::string> reached(partial_reached_.begin(), partial_reached_.end());
      std::erase_if(mail.envelope, [&](const std::string& a) { return reached.count(a) != 0; });
      partial_key_.clear();
      partial_reached_.clear();
      if (mail.envelope.empty()) return Status::OK();
    }
    return SendQueued(server, key, smtp, mail, list_address);
  } catch (const std::exception& e) {
    return Status::Error(std::string("SendMail failed: ") + e.what());
  }
}

DeliveryReport MailSender::SendComposed(const std::string& server, const std::string& mail_from,
                                       const std::vector<std::string>& recipients, const std::string& message) {
  SmtpServer smtp;
  DeliveryReport report;
  try {
    const Status parsed = ParseSmtpServer(server, &smtp);
    if (parsed.ok()) {
      return DeliverMessage(sessions_, smtp, mail_from, message, recipients, options_.max_recipients_per_transaction,
                            nullptr);
    }
    report.first_failure = "SendMail failed: " + parsed.message();
  } catch (const std::exception& e) {
    report.first_failure = std::string("SendMail failed: ") + e.what();
  }
  report.server_failed = true;
  for (const std::string& r : recipients) report.deferred.emplace_back(r, report.first_failure);
  return report;
}

Status MailSender::SendQueued(const std::string& server, const std::string& key, const SmtpServer& smtp,
                              ComposedMail& mail, const std::string& list_address) {
  QueuedMail entry = QueueEntry(server, mail, clock_.EpochMicros());
  std::string path;
  // Written before the first transaction: a crash from here on leaves the
  // recipients not yet settled in the queue, and only those.
  Status s = queue_->Add(entry, &path);
  if (!s.ok()) {
    return Status::IOError("SendMail failed (" + smtp.display + "): cannot write the delivery queue: " + s.message());
  }

  // A rewrite that fails stops the delivery; Finish then tries once more to
  // leave a file that owes exactly who was not settled.
  const DeliveryReport report = DeliverMessage(
      sessions_, smtp, mail.mail_from, entry.message, mail.envelope, options_.max_recipients_per_transaction,
      [&](const DeliveryReport& r) { return queue_->Progress(path, &entry, mail.envelope, r).ok(); });
  NoteUnknown(report, list_address);
  s = queue_->Finish(path, &entry, mail.envelope, report);
  if (!s.ok()) return QueueNotFinished(path, key, smtp, mail, report, s);

  const Undelivered refused = UndeliveredOf(mail, report, /*with_deferred=*/false);
  if (report.delivered.empty()) {
    // Nobody got it: the whole send failed, and the caller's own path for
    // that (one more try, then the message kept as a failure) takes over.
    // Queueing here as well would send it twice once both succeed.
    Dequeue(path);
    return NoneReached(smtp, mail, report, refused);
  }
  LogRecipientErrors(log_, refused, smtp.display);
  if (!report.deferred.empty()) {
    log_.WriteLog("SendMailの配送を保留<" + std::to_string(report.deferred.size()) + "件>:" +
                  report.deferred.front().second + " (" + smtp.display + ")");
  }
  if (!mail.save_folder.empty()) SaveCopy(mail.save_folder, entry.message);
  return Status::OK();
}

Status MailSender::QueueNotFinished(const std::string& path, const std::string& key, const SmtpServer& smtp,
                                    const ComposedMail& mail, const DeliveryReport& report, const Status& finished) {
  // The file may still owe recipients who got the message since.
  // A file that cannot be removed either is read as it stands by the next
  // cycle; the failure reported here is the one the caller must see.
  (void)queue_->Remove(path);
  std::string text = "SendMail failed (" + smtp.display + "): cannot write the delivery queue: " + finished.message();
  if (!report.delivered.empty()) {
    partial_key_ = key;
    partial_reached_ = report.delivered;
    text += " [" + std::to_string(mail.envelope.size() - report.delivered.size()) + " of " +
            std::to_string(mail.envelope.size()) + " recipients not reached]";
  }
  return Status::IOError(text);
}

void MailSender::Dequeue(const std::string& path) {
  if (!fs_.Exists(path)) return;
  Status removed = queue_->Remove(path);
  // Left in the queue, the message would go out a second time once the
  // caller's own retry succeeds.
  if (!removed.ok()) log_.WriteLog("SendMailの配送待ちを削除できません<" + path + ">:" + removed.message());
}

Status MailSender::SendDirect(const SmtpServer& smtp, const ComposedMail& mail, const std::string& list_address) {
  const DeliveryReport report = DeliverMessage(sessions_, smtp, mail.mail_from, mail.message, mail.envelope,
                                               options_.max_recipients_per_transaction, nullptr);
  NoteUnknown(report, list_address);
  const Undelivered undelivered = UndeliveredOf(mail, report, /*with_deferred=*/true);
  if (report.delivered.empty()) return NoneReached(smtp, mail, report, undelivered);
  LogRecipientErrors(log_, undelivered, smtp.display);
  if (!mail.save_folder.empty()) SaveCopy(mail.save_folder, mail.message);
  return Status::OK();
}

void MailSender::NoteUnknown(const DeliveryReport& report, const std::string& list_address) {
  for (const auto& [address, reply] : report.refused) {
    if (IsUnknownAddressReply(reply)) unknown_.push_back(UnknownRecipient{address, reply, list_address});
  }
}

std::vector<UnknownRecipient> MailSender::TakeUnknownRecipients() {
  std::vector<UnknownRecipient> out;
  out.swap(unknown_);
  return out;
}

void MailSender::SaveCopy(const std::string& folder, const std::string& message) {
  const LocalTime now = clock_.Now();
  const std::string base = JoinPath(folder, "sentmail_" + FormatDate8(now) + FormatTimeDash6(now));
  std::string path = base + ".txt";
  for (int k = 1; fs_.Exists(path) && k < 10000; ++k) path = base + "(" + std::to_string(k) + ").txt";
  Status s = fs_.Exists(path) ? Status::Error("no free name") : fs_.WriteFileAtomic(path, message);
  if (!s.ok()) log_.WriteLog("SendMailの送信控え保存エラー<" + path + ">:" + s.message());
}

}  // namespace kelmora
