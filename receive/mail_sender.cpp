#include "receive/mail_sender.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "textio/strings.h"

namespace kelmora {

MailSender::MailSender(FileSystem& fs, Logger& log, const Clock& clock, SmtpSessionFactory& sessions,
                       MailOptions options)
    : fs_(fs), log_(log), clock_(clock), sessions_(sessions), options_(options) {}

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

    // Recipients that did not get the message, with the reason.
    std::vector<std::pair<std::string, std::string>> undelivered;
    for (const std::string& bad : mail.invalid) undelivered.emplace_back(bad, "not a mail address");
    if (mail.envelope.empty()) {
      return "SendMail failed (" + smtp.display + "): no recipient address" +
             (mail.invalid.empty() ? "" : " (invalid: " + mail.invalid.front() + ")");
    }

    std::unique_ptr<SmtpSession> session;
    // One transaction on the current session, opening one when there is
    // none. A session that cannot be opened counts as a transaction that
    // failed before its first RCPT.
    auto run = [&](const std::vector<std::string>& batch) {
      if (!session) {
        session = sessions_.NewSession(smtp);
        std::string failure = session->Open();
        if (!failure.empty()) {
          session.reset();
          SmtpTransaction t;
          for (const std::string& a : batch) t.recipients.push_back(SmtpRecipientReply{a, 0, ""});
          t.failure = failure;
          return t;
        }
      }
      return session->Send(mail.mail_from, batch, mail.message);
    };

    const size_t max_batch = static_cast<size_t>(std::max(1, options_.max_recipients_per_transaction));
    std::deque<std::string> pending(mail.envelope.begin(), mail.envelope.end());
    int delivered = 0;
    std::string first_failure;
    // Every round takes at least one recipient out of `pending` for good or
    // delivers to one; 452 refusals go back only after a delivery, so the
    // loop ends. The bound is a second guard.
    size_t rounds = 0;
    const size_t max_rounds = mail.envelope.size() * 2 + 4;
    // After a delivered transaction the next one reuses the session; a
    // server that ends sessions after some messages then fails it before
    // any RCPT. Such a batch is tried once more on a new session.
    bool had_success = false;
    bool fresh_session = false;
    while (!pending.empty() && rounds++ < max_rounds) {
      std::vector<std::string> batch;
      while (batch.size() < max_batch && !pending.empty()) {
        batch.push_back(pending.front());
        pending.pop_front();
      }
      const SmtpTransaction t = run(batch);

      int accepted_here = 0;
      if (t.message_taken) {
        for (const SmtpRecipientReply& rr : t.recipients) {
          if (rr.code / 100 == 2 || rr.code == 0) ++accepted_here;
        }
      }
      if (t.message_taken && accepted_here > 0) {
        had_success = true;
        fresh_session = false;
        delivered += accepted_here;
        for (const SmtpRecipientReply& rr : t.recipients) {
          if (rr.code / 100 == 2 || rr.code == 0) continue;
          if (rr.code == 452) pending.push_back(rr.address);  // too many: next transaction
          else undelivered.emplace_back(rr.address, rr.reply);
        }
        continue;
      }
      // Nobody in this transaction got the message.
      if (!t.reached_rcpt && had_success && !fresh_session) {
        fresh_session = true;
        session.reset();  // QUIT on the old connection, if it still stands
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) pending.push_front(*it);
        continue;
      }
      const std::string reason = t.failure.empty() ? std::string("transaction failed") : t.failure;
      if (first_failure.empty()) first_failure = reason;
      bool any_rcpt_reply = false;
      for (const SmtpRecipientReply& rr : t.recipients) any_rcpt_reply = any_rcpt_reply || rr.code != 0;
      const bool all_refused = any_rcpt_reply && t.data_code == 0;
      for (const SmtpRecipientReply& rr : t.recipients) {
        const bool own_reply = all_refused && rr.code / 100 != 2 && rr.code != 0;
        undelivered.emplace_back(rr.address, own_reply ? rr.reply : reason);
      }
      if (!t.reached_rcpt) {
        // Connection, greeting, EHLO, AUTH or MAIL FROM failed: another
        // transaction would fail the same way.
        for (const std::string& a : pending) undelivered.emplace_back(a, reason);
        pending.clear();
      }
    }
    session.reset();
    for (const std::string& a : pending) undelivered.emplace_back(a, "not sent: too many transactions");

    if (delivered == 0) {
      std::string text = "SendMail failed (" + smtp.display + ") ";
      if (first_failure.empty() && !undelivered.empty()) first_failure = undelivered.front().second;
      text += first_failure;
      if (mail.envelope.size() > 1) {
        text += " [" + std::to_string(mail.envelope.size()) + " recipients, none reached]";
      }
      return text;
    }
    for (const auto& u : undelivered)
      log_.WriteLog("SendMailの宛先エラー<" + u.first + ">:" + u.second + " (" + smtp.display + ")");

    if (!mail.save_folder.empty()) SaveCopy(mail);
    return "";
  } catch (const std::exception& e) {
    return std::string("SendMail failed: ") + e.what();
  }
}

void MailSender::SaveCopy(const ComposedMail& mail) {
  const LocalTime now = clock_.Now();
  const std::string base = JoinPath(mail.save_folder, "sentmail_" + FormatDate8(now) + FormatTimeDash6(now));
  std::string path = base + ".txt";
  for (int k = 1; fs_.Exists(path) && k < 10000; ++k) path = base + "(" + std::to_string(k) + ").txt";
  Status s = fs_.Exists(path) ? Status::Error("no free name") : fs_.WriteFileAtomic(path, mail.message);
  if (!s.ok()) log_.WriteLog("SendMailの送信控え保存エラー<" + path + ">:" + s.message());
}

}  // namespace kelmora
