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

DeliveryReport DeliverMessage(SmtpSessionFactory& sessions, const SmtpServer& server, const std::string& mail_from,
                              const std::string& message, const std::vector<std::string>& recipients,
                              int max_per_transaction, const AfterTransaction& after_transaction) {
  DeliveryReport report;
  std::unique_ptr<SmtpSession> session;
  // One transaction on the current session, opening one when there is
  // none. A session that cannot be opened counts as a transaction that
  // failed before its first RCPT.
  auto run = [&](const std::vector<std::string>& batch) {
    if (!session) {
      session = sessions.NewSession(server);
      std::string failure = session->Open();
      if (!failure.empty()) {
        session.reset();
        SmtpTransaction t;
        for (const std::string& a : batch) t.recipients.push_back(SmtpRecipientReply{a, 0, ""});
        t.failure = failure;
        return t;
      }
    }
    return session->Send(mail_from, batch, message);
  };
  // A recipient whose fate is decided by a failure text.
  auto fail = [&](const std::string& address, const std::string& text) {
    if (IsPermanentFailure(text)) report.refused.emplace_back(address, text);
    else report.deferred.emplace_back(address, text);
  };

  const size_t max_batch = static_cast<size_t>(std::max(1, max_per_transaction));
  std::deque<std::string> pending(recipients.begin(), recipients.end());
  // Every round takes at least one recipient out of `pending` for good or
  // delivers to one; 452 refusals go back only after a delivery, so the
  // loop ends. The bound is a second guard.
  size_t rounds = 0;
  const size_t max_rounds = recipients.size() * 2 + 4;
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
    const size_t settled_before = report.delivered.size() + report.refused.size();
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
      for (const SmtpRecipientReply& rr : t.recipients) {
        if (rr.code / 100 == 2 || rr.code == 0) report.delivered.push_back(rr.address);
        else if (rr.code == 452) pending.push_back(rr.address);  // too many: next transaction
        else if (rr.code / 100 == 5) report.refused.emplace_back(rr.address, rr.reply);
        else report.deferred.emplace_back(rr.address, rr.reply);
      }
    } else if (!t.reached_rcpt && had_success && !fresh_session) {
      // Nobody in this transaction got the message, and the session may
      // simply have been used up.
      fresh_session = true;
      session.reset();  // QUIT on the old connection, if it still stands
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) pending.push_front(*it);
      continue;
    } else {
      // Nobody in this transaction got the message.
      const std::string reason = t.failure.empty() ? std::string("transaction failed") : t.failure;
      if (report.first_failure.empty()) report.first_failure = reason;
      bool any_rcpt_reply = false;
      for (const SmtpRecipientReply& rr : t.recipients) any_rcpt_reply = any_rcpt_reply || rr.code != 0;
      // No data went out: a recipient refused at its RCPT has its own reply.
      const bool before_data = any_rcpt_reply && t.data_code == 0;
      for (const SmtpRecipientReply& rr : t.recipients) {
        const bool own_reply = before_data && rr.code / 100 != 2 && rr.code != 0;
        if (!own_reply) fail(rr.address, reason);
        else if (rr.code / 100 == 5) report.refused.emplace_back(rr.address, rr.reply);
        else report.deferred.emplace_back(rr.address, rr.reply);
      }
      if (!t.reached_rcpt) {
        // Connection, greeting, EHLO, AUTH or MAIL FROM failed: another
        // transaction would fail the same way.
        report.server_failed = true;
        for (const std::string& a : pending) fail(a, reason);
        pending.clear();
      }
    }
    if (after_transaction && report.delivered.size() + report.refused.size() > settled_before &&
        !after_transaction(report)) {
      report.stopped = true;
      break;
    }
  }
  session.reset();
  const char* why = report.stopped ? "not sent: delivery stopped" : "not sent: too many transactions";
  for (const std::string& a : pending) report.deferred.emplace_back(a, why);
  return report;
}

}  // namespace kelmora
