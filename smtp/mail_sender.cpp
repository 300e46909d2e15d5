// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/mail_sender.h"

#include <algorithm>
#include <exception>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mime/recipient_items.h"
#include "textio/strings.h"

namespace kelmora {

MailSender::MailSender(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions,
                       MailOptions options, DeliveryQueue* queue)
    : fs_(fs), log_(log), clock_(clock), sessions_(sessions), options_(options), queue_(queue) {}

std::string MailSender::SendMail(const std::string& server, const std::string& recipients, const std::string& from,
                                 const std::string& subject, const std::string& body,
                                 const std::string& attachments) {
  try {
    SmtpServer smtp;
    std::string error;
    if (!ParseSmtpServer(server, &smtp, &error)) return "SendMail failed: " + error;
    ComposedMail mail;
    error = ComposeMail(fs_, clock_, recipients, from, subject, body, attachments, &mail);
    if (!error.empty()) return "SendMail failed (" + smtp.display + "): " + error;
    if (mail.envelope.empty()) {
      return "SendMail failed (" + smtp.display + "): no recipient address" +
             (mail.invalid.empty() ? "" : " (invalid: " + mail.invalid.front() + ")");
    }
    const std::string list_address = Trim(ParseRecipientItems(recipients).program.x_loop);
    if (queue_ == nullptr) return SendDirect(smtp, mail, list_address);

    std::string key;
    for (const std::string* part : {&server, &recipients, &from, &subject, &body, &attachments}) {
      key += *part;
      key += '\0';
    }
    if (key == partial_key_) {
      // The caller's retry of a send that failed after reaching some.
      std::unordered_set<std::string> reached(partial_reached_.begin(), partial_reached_.end());
      std::erase_if(mail.envelope, [&](const std::string& a) { return reached.count(a) != 0; });
      partial_key_.clear();
      partial_reached_.clear();
      if (mail.envelope.empty()) return "";
    }
    return SendQueued(server, key, smtp, mail, list_address);
  } catch (const std::exception& e) {
    return std::string("SendMail failed: ") + e.what();
  }
}

DeliveryReport MailSender::SendComposed(const std::string& server, const std::string& mail_from,
                                       const std::vector<std::string>& recipients, const std::string& message) {
  SmtpServer smtp;
  std::string error;
  DeliveryReport report;
  try {
    if (ParseSmtpServer(server, &smtp, &error)) {
      return DeliverMessage(sessions_, smtp, mail_from, message, recipients, options_.max_recipients_per_transaction,
                            nullptr);
    }
    report.first_failure = "SendMail failed: " + error;
  } catch (const std::exception& e) {
    report.first_failure = std::string("SendMail failed: ") + e.what();
  }
  report.server_failed = true;
  for (const std::string& r : recipients) report.deferred.emplace_back(r, report.first_failure);
  return report;
}

std::string MailSender::SendQueued(const std::string& server, const std::string& key, const SmtpServer& smtp,
                                   ComposedMail& mail, const std::string& list_address) {
  QueuedMail entry;
  entry.server = server;
  entry.mail_from = mail.mail_from;
  entry.message_id = mail.message_id;
  entry.message = std::move(mail.message);
  entry.owed = mail.envelope;
  entry.queued_micros = clock_.EpochMicros();
  entry.next_attempt_micros = entry.queued_micros;
  std::string path;
  // Written before the first transaction: a crash from here on leaves the
  // recipients not yet settled in the queue, and only those.
  Status s = queue_->Add(entry, &path);
  if (!s.ok()) return "SendMail failed (" + smtp.display + "): cannot write the delivery queue: " + s.message();

  // A rewrite that fails stops the delivery; Finish then tries once more to
  // leave a file that owes exactly who was not settled.
  const DeliveryReport report = DeliverMessage(
      sessions_, smtp, mail.mail_from, entry.message, mail.envelope, options_.max_recipients_per_transaction,
      [&](const DeliveryReport& r) { return queue_->Progress(path, &entry, mail.envelope, r).ok(); });
  NoteUnknown(report, list_address);
  s = queue_->Finish(path, &entry, mail.envelope, report);
  if (!s.ok()) {
    // The file may still owe recipients who got the message since.
    queue_->Remove(path);
    std::string text = "SendMail failed (" + smtp.display + "): cannot write the delivery queue: " + s.message();
    if (!report.delivered.empty()) {
      partial_key_ = key;
      partial_reached_ = report.delivered;
      text += " [" + std::to_string(mail.envelope.size() - report.delivered.size()) + " of " +
              std::to_string(mail.envelope.size()) + " recipients not reached]";
    }
    return text;
  }

  std::vector<std::pair<std::string, std::string>> refused;
  for (const std::string& bad : mail.invalid) refused.emplace_back(bad, "not a mail address");
  refused.insert(refused.end(), report.refused.begin(), report.refused.end());
  if (report.delivered.empty()) {
    // Nobody got it: the whole send failed, and the caller's own path for
    // that (one more try, then the message kept as a failure) takes over.
    // Queueing here as well would send it twice once both succeed.
    if (fs_.Exists(path)) queue_->Remove(path);
    std::string text = "SendMail failed (" + smtp.display + ") ";
    text += !report.first_failure.empty() ? report.first_failure : refused.empty() ? "" : refused.front().second;
    if (mail.envelope.size() > 1) text += " [" + std::to_string(mail.envelope.size()) + " recipients, none reached]";
    return text;
  }
  LogRecipientErrors(log_, refused, smtp.display);
  if (!report.deferred.empty()) {
    log_.WriteLog("SendMailの配送を保留<" + std::to_string(report.deferred.size()) + "件>:" +
                  report.deferred.front().second + " (" + smtp.display + ")");
  }
  if (!mail.save_folder.empty()) SaveCopy(mail.save_folder, entry.message);
  return "";
}

std::string MailSender::SendDirect(const SmtpServer& smtp, const ComposedMail& mail,
                                   const std::string& list_address) {
  const DeliveryReport report = DeliverMessage(sessions_, smtp, mail.mail_from, mail.message, mail.envelope,
                                               options_.max_recipients_per_transaction, nullptr);
  NoteUnknown(report, list_address);
  // Recipients that did not get the message, with the reason.
  std::vector<std::pair<std::string, std::string>> undelivered;
  for (const std::string& bad : mail.invalid) undelivered.emplace_back(bad, "not a mail address");
  undelivered.insert(undelivered.end(), report.refused.begin(), report.refused.end());
  undelivered.insert(undelivered.end(), report.deferred.begin(), report.deferred.end());
  if (report.delivered.empty()) {
    std::string text = "SendMail failed (" + smtp.display + ") ";
    text += !report.first_failure.empty() ? report.first_failure
            : undelivered.empty()         ? ""
                                          : undelivered.front().second;
    if (mail.envelope.size() > 1) text += " [" + std::to_string(mail.envelope.size()) + " recipients, none reached]";
    return text;
  }
  LogRecipientErrors(log_, undelivered, smtp.display);
  if (!mail.save_folder.empty()) SaveCopy(mail.save_folder, mail.message);
  return "";
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
