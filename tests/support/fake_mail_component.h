// SPDX-License-Identifier: GPL-3.0-or-later
// FakeMailComponent: the one mail component of the unit tests, without
// servers. Every call is recorded; each test sets only what it needs.
//   Send      recorded (with the message's items, recipient_items.h); fails
//             for the calls in failing_calls, always with fail_always, or
//             with the text refusals gives for the first recipient item.
//   SendComposed  recorded; refuses the addresses in `refuse`, defers
//             those in `defer`, delivers the others.
//   Fetch     hands out the names queued with Deliver (each once), else
//             the names set for the account (first argument), else
//             answers rcv_status (OK: nothing came); throws with
//             throw_on_rcv.
//   Read      answers through `reader` when set (a real reader); else
//             fails with what `unreadable` holds for the name, else gives
//             what `stored` holds (named after the message), else fails.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/mail_component.h"
#include "tests/support/recipient_items.h"

namespace kelmora {

// One Send call as the component saw it.
struct SentMail {
  std::string server;
  std::string recipients;   // the message's recipient items
  std::string from;
  std::string subject;
  std::string body;
  std::string attachments;  // TAB-separated
  OutgoingMessage message;
};

class FakeMailComponent : public MailComponent {
 public:
  // --- sending ---
  std::vector<SentMail> sent;   // every call, failed ones included
  std::set<int> failing_calls;  // 0-based call indexes that fail
  bool fail_always = false;
  std::string failure_text = "550 5.1.1 recipient refused";
  std::map<std::string, std::string> refusals;  // first recipient item -> failure text
  // Runs inside each Send call (after it was recorded).
  std::function<void(const SentMail&)> on_send;

  // --- composed sends (the local store's SMTP route) ---
  struct Composed {
    std::string server, mail_from;
    std::vector<std::string> recipients;
    std::string message;
  };
  std::vector<Composed> composed;
  std::set<std::string> refuse, defer;

  // --- reception ---
  void Deliver(const std::string& name) { pending.push_back(name); }
  std::vector<std::string> pending;                          // handed out by the next Fetch
  std::map<std::string, std::vector<std::string>> replies;  // Fetch's names per account
  Status rcv_status;  // Fetch's answer for the other accounts
  bool throw_on_rcv = false;
  int rcv_calls = 0;
  std::vector<std::string> rcv_args;  // the last call's arguments
  std::vector<std::string> polled;    // "a/b" per call

  // --- reading ---
  std::function<Status(const std::string& name, const std::string& folder, ReceivedMail* mail)> reader;
  std::map<std::string, ReceivedMail> stored;  // Read's record per name
  std::map<std::string, Status> unreadable;    // Read's failure per name
  std::vector<std::string> read_names;         // Read calls, in order
  std::vector<std::string> read_args;          // the last call's arguments
  // Runs at the start of each Read call (may throw, to inject faults).
  std::function<void(const std::string&)> on_read;

  // --- settling ---
  std::vector<std::string> settled;  // MarkSettled names, in order
  std::vector<std::string> settled_folders;
  std::vector<std::string> began;  // MarkProcessing names, in order
  std::vector<std::string> acted;  // MarkActed names, in order

  // --- refusals of unknown addresses, handed out once ---
  std::vector<UnknownRecipient> unknown;

  Status Send(const std::string& server, const OutgoingMessage& message) override {
    const int index = static_cast<int>(sent.size());
    std::string attachments;
    for (const std::string& a : message.attachments) attachments += (attachments.empty() ? "" : "\t") + a;
    sent.push_back(SentMail{server, ItemsOf(message), message.from, message.subject, message.body, attachments,
                            message});
    if (on_send) on_send(sent.back());
    if (fail_always || failing_calls.count(index) != 0) return Status::Error(failure_text);
    const std::string& items = sent.back().recipients;
    auto it = refusals.find(items.substr(0, items.find('\t')));
    if (it != refusals.end()) return Status::Error(it->second);
    return Status::OK();
  }

  DeliveryReport SendComposed(const std::string& server, const std::string& mail_from,
                              const std::vector<std::string>& recipients, const std::string& message) override {
    composed.push_back(Composed{server, mail_from, recipients, message});
    DeliveryReport report;
    for (const std::string& r : recipients) {
      if (refuse.count(r)) {
        report.refused.emplace_back(r, "RCPT TO: 550 no such user");
      } else if (defer.count(r)) {
        report.deferred.emplace_back(r, "RCPT TO: 451 try later\r\n");
      } else {
        report.delivered.push_back(r);
      }
    }
    return report;
  }

  Status Fetch(const std::string& a, const std::string& b, const std::string& password, const std::string& folder,
               std::vector<std::string>* names) override {
    ++rcv_calls;
    rcv_args = {a, b, password, folder};
    polled.push_back(a + "/" + b);
    names->clear();
    if (throw_on_rcv) throw std::runtime_error("socket exploded");
    if (!pending.empty()) {
      names->swap(pending);
      return Status::OK();
    }
    auto it = replies.find(a);
    if (it != replies.end()) {
      *names = it->second;
      return Status::OK();
    }
    return rcv_status;
  }

  Status Read(const std::string& name, const std::string& folder, ReceivedMail* mail) override {
    read_names.push_back(name);
    read_args = {name, folder};
    if (on_read) on_read(name);
    if (reader) return reader(name, folder, mail);
    if (auto failure = unreadable.find(name); failure != unreadable.end()) return failure->second;
    auto it = stored.find(name);
    if (it == stored.end()) return Status::NotFound("メッセージが見つかりません");
    *mail = it->second;
    mail->StoredName = name;
    return Status::OK();
  }

  void MarkSettled(const std::string& folder, const std::string& name) override {
    settled_folders.push_back(folder);
    settled.push_back(name);
  }
  void MarkProcessing(const std::string&, const std::string& name) override { began.push_back(name); }
  void MarkActed(const std::string&, const std::string& name) override { acted.push_back(name); }

  std::vector<UnknownRecipient> TakeUnknownRecipients() override {
    std::vector<UnknownRecipient> out;
    out.swap(unknown);
    return out;
  }
};

}  // namespace kelmora
