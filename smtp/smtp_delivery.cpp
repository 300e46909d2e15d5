// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/smtp_delivery.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <memory>
#include <unordered_set>

namespace kelmora {
namespace {

// The reply code a failure text carries after its step ("MAIL FROM: 421
// ..."), or 0 when it carries none (a transport error).
int FailureCode(const std::string& failure) {
  const size_t colon = failure.find(": ");
  if (colon == std::string::npos) return 0;
  const size_t at = colon + 2;
  if (failure.size() < at + 3) return 0;
  for (size_t i = at; i < at + 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(failure[i]))) return 0;
  }
  if (failure.size() > at + 3 && failure[at + 3] != ' ' && failure[at + 3] != '-') return 0;
  return std::stoi(failure.substr(at, 3));
}

}  // namespace

bool IsPermanentFailure(const std::string& failure) { return FailureCode(failure) / 100 == 5; }

bool IsUnknownAddressReply(std::string_view reply) {
  if (reply.size() < 5 || reply[0] != '5' || !std::isdigit(static_cast<unsigned char>(reply[1])) ||
      !std::isdigit(static_cast<unsigned char>(reply[2])) || (reply[3] != ' ' && reply[3] != '-')) {
    return false;
  }
  std::string_view rest = reply.substr(4);
  const size_t end = rest.find_first_of(" \t");
  const std::string_view status = rest.substr(0, end);
  for (const char* unknown : {"5.1.1", "5.1.2", "5.1.3", "5.1.6", "5.1.10"}) {
    if (status == unknown) return true;
  }
  return false;
}

std::vector<std::string> Unsettled(const std::vector<std::string>& all, const DeliveryReport& report) {
  std::unordered_set<std::string> settled(report.delivered.begin(), report.delivered.end());
  for (const auto& r : report.refused) settled.insert(r.first);
  std::vector<std::string> out;
  for (const std::string& a : all) {
    if (!settled.count(a)) out.push_back(a);
  }
  return out;
}

namespace {

// The server took the message for this recipient (a recipient without a
// reply of its own went with the transaction).
bool Accepted(const SmtpRecipientReply& rr) { return rr.code / 100 == 2 || rr.code == 0; }

// One delivery: the session, the recipients still pending and the report.
class Delivery {
 public:
  Delivery(SmtpSessionFactory& sessions, const SmtpServer& server, const std::string& mail_from,
           const std::string& message, const std::vector<std::string>& recipients, int max_per_transaction)
      : sessions_(sessions),
        server_(server),
        mail_from_(mail_from),
        message_(message),
        max_batch_(static_cast<size_t>(std::max(1, max_per_transaction))),
        max_rounds_(recipients.size() * 2 + 4),
        pending_(recipients.begin(), recipients.end()) {}

  DeliveryReport Run(const AfterTransaction& after_transaction);

 private:
  std::vector<std::string> NextBatch();
  SmtpTransaction Transact(const std::vector<std::string>& batch);
  void TakeDelivered(const SmtpTransaction& t);
  void RetryOnFreshSession(const std::vector<std::string>& batch);
  void TakeFailed(const SmtpTransaction& t);
  size_t Settled() const { return report_.delivered.size() + report_.refused.size(); }
  // A recipient whose fate is decided by a failure text.
  void Fail(const std::string& address, const std::string& text) {
    if (IsPermanentFailure(text)) report_.refused.emplace_back(address, text);
    else report_.deferred.emplace_back(address, text);
  }
  // A recipient refused by a reply of its own.
  void TakeOwnReply(const SmtpRecipientReply& rr) {
    if (rr.code / 100 == 5) report_.refused.emplace_back(rr.address, rr.reply);
    else report_.deferred.emplace_back(rr.address, rr.reply);
  }

  SmtpSessionFactory& sessions_;
  const SmtpServer& server_;
  const std::string& mail_from_;
  const std::string& message_;
  const size_t max_batch_;
  // Every round takes at least one recipient out of `pending_` for good or
  // delivers to one; 452 refusals go back only after a delivery, so the
  // loop ends. The bound is a second guard.
  const size_t max_rounds_;
  std::deque<std::string> pending_;
  std::unique_ptr<SmtpSession> session_;
  // After a delivered transaction the next one reuses the session; a
  // server that ends sessions after some messages then fails it before
  // any RCPT. Such a batch is tried once more on a new session.
  bool had_success_ = false;
  bool fresh_session_ = false;
  DeliveryReport report_;
};

DeliveryReport Delivery::Run(const AfterTransaction& after_transaction) {
  size_t rounds = 0;
  while (!pending_.empty() && rounds++ < max_rounds_) {
    const std::vector<std::string> batch = NextBatch();
    const size_t settled_before = Settled();
    const SmtpTransaction t = Transact(batch);
    if (t.message_taken && std::any_of(t.recipients.begin(), t.recipients.end(), Accepted)) {
      TakeDelivered(t);
    } else if (!t.reached_rcpt && had_success_ && !fresh_session_) {
      RetryOnFreshSession(batch);
      continue;
    } else {
      TakeFailed(t);
    }
    if (after_transaction && Settled() > settled_before && !after_transaction(report_)) {
      report_.stopped = true;
      break;
    }
  }
  session_.reset();
  const char* why = report_.stopped ? "not sent: delivery stopped" : "not sent: too many transactions";
  for (const std::string& a : pending_) report_.deferred.emplace_back(a, why);
  return std::move(report_);
}

std::vector<std::string> Delivery::NextBatch() {
  std::vector<std::string> batch;
  while (batch.size() < max_batch_ && !pending_.empty()) {
    batch.push_back(pending_.front());
    pending_.pop_front();
  }
  return batch;
}

// One transaction on the current session, opening one when there is none.
// A session that cannot be opened counts as a transaction that failed
// before its first RCPT.
SmtpTransaction Delivery::Transact(const std::vector<std::string>& batch) {
  if (!session_) {
    session_ = sessions_.NewSession(server_);
    Status opened = session_->Open();
    if (!opened.ok()) {
      session_.reset();
      SmtpTransaction t;
      for (const std::string& a : batch) t.recipients.push_back(SmtpRecipientReply{a, 0, ""});
      t.failure = opened.message();
      return t;
    }
  }
  return session_->Send(mail_from_, batch, message_);
}

void Delivery::TakeDelivered(const SmtpTransaction& t) {
  had_success_ = true;
  fresh_session_ = false;
  for (const SmtpRecipientReply& rr : t.recipients) {
    if (Accepted(rr)) report_.delivered.push_back(rr.address);
    else if (rr.code == 452) pending_.push_back(rr.address);  // too many: next transaction
    else TakeOwnReply(rr);
  }
}

// Nobody in this transaction got the message, and the session may simply
// have been used up.
void Delivery::RetryOnFreshSession(const std::vector<std::string>& batch) {
  fresh_session_ = true;
  session_.reset();  // QUIT on the old connection, if it still stands
  for (auto it = batch.rbegin(); it != batch.rend(); ++it) pending_.push_front(*it);
}

// Nobody in this transaction got the message.
void Delivery::TakeFailed(const SmtpTransaction& t) {
  const std::string reason = t.failure.empty() ? std::string("transaction failed") : t.failure;
  if (report_.first_failure.empty()) report_.first_failure = reason;
  const bool any_rcpt_reply =
      std::any_of(t.recipients.begin(), t.recipients.end(), [](const SmtpRecipientReply& rr) { return rr.code != 0; });
  // No data went out: a recipient refused at its RCPT has its own reply.
  const bool before_data = any_rcpt_reply && t.data_code == 0;
  for (const SmtpRecipientReply& rr : t.recipients) {
    if (before_data && !Accepted(rr)) TakeOwnReply(rr);
    else Fail(rr.address, reason);
  }
  if (!t.reached_rcpt) {
    // Connection, greeting, EHLO, AUTH or MAIL FROM failed: another
    // transaction would fail the same way.
    report_.server_failed = true;
    for (const std::string& a : pending_) Fail(a, reason);
    pending_.clear();
  }
}

}  // namespace

DeliveryReport DeliverMessage(SmtpSessionFactory& sessions, const SmtpServer& server, const std::string& mail_from,
                              const std::string& message, const std::vector<std::string>& recipients,
                              int max_per_transaction, const AfterTransaction& after_transaction) {
  Delivery delivery(sessions, server, mail_from, message, recipients, max_per_transaction);
  return delivery.Run(after_transaction);
}

}  // namespace kelmora
