// SPDX-License-Identifier: GPL-3.0-or-later
// FakeSmtpServer: a scripted SMTP server behind the SmtpSession interface,
// for unit tests of the delivery logic (no sockets). It is the factory of
// its sessions; every session counts as one connection.
//
// Script (set before the send):
//   open_failure(connection)  "" to accept the connection, else the failure
//                             ("connect: ..." , "AUTH: 535 ...").
//   mail_reply(k)             reply to MAIL FROM of the k-th transaction (from
//                             0) of a connection; a 421 also closes it.
//   rcpt_reply(address, index, txn)  reply to one RCPT TO: index within its
//                             transaction, txn counted over the whole server.
//   data_reply(txn)           the reply after the message data.
//   drop_after_commands       the connection breaks after that many commands
//                             (MAIL, RCPT, DATA and the end of the data each
//                             count) of a session; -1: never.
// A transaction whose recipients were all refused sends no DATA, as libcurl
// does.
//
// Record: commands() holds every command of every session in order
// ("OPEN", "MAIL FROM:<a>", "RCPT TO:<b>", "DATA", "QUIT", "DROPPED");
// transactions() what each transaction delivered.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "smtp/smtp_session.h"

namespace kelmora {

class FakeSmtpServer : public SmtpSessionFactory {
 public:
  struct Txn {
    std::vector<std::string> accepted;  // addresses whose RCPT got a 2xx
    bool data_done = false;             // the message was taken
    std::string message;
  };

  std::function<std::string(int)> open_failure = [](int) { return std::string(); };
  std::function<std::string(int)> mail_reply = [](int) { return std::string("250 OK"); };
  std::function<std::string(const std::string&, int, int)> rcpt_reply = [](const std::string&, int, int) {
    return std::string("250 OK");
  };
  std::function<std::string(int)> data_reply = [](int) { return std::string("250 queued"); };
  int drop_after_commands = -1;

  std::unique_ptr<SmtpSession> NewSession(const SmtpServer& server) override {
    servers_.push_back(server);
    return std::make_unique<Session>(this);
  }

  int connections() const { return connections_; }
  const std::vector<std::string>& commands() const { return commands_; }
  const std::vector<Txn>& transactions() const { return txns_; }
  const std::vector<SmtpServer>& servers() const { return servers_; }
  // How often a command was given, over all sessions.
  int Count(const std::string& command) const {
    int n = 0;
    for (const std::string& c : commands_) n += c == command;
    return n;
  }

 private:
  class Session : public SmtpSession {
   public:
    explicit Session(FakeSmtpServer* server) : s_(server) {}
    ~Session() override { Close(); }

    Status Open() override {
      const int connection = s_->connections_++;
      s_->commands_.push_back("OPEN");
      std::string failure = s_->open_failure(connection);
      open_ = failure.empty();
      return open_ ? Status::OK() : Status::IOError(failure);
    }

    SmtpTransaction Send(const std::string& mail_from, const std::vector<std::string>& recipients,
                         const std::string& message) override {
      SmtpTransaction t;
      for (const std::string& a : recipients) t.recipients.push_back(SmtpRecipientReply{a, 0, ""});
      if (!open_) {
        t.failure = "connect: connection closed";
        return t;
      }
      if (!Command("MAIL FROM:<" + mail_from + ">", "MAIL FROM", &t)) return t;
      const std::string mail = s_->mail_reply(transactions_++);
      if (mail[0] != '2') {
        t.failure = "MAIL FROM: " + mail;
        if (mail.rfind("421", 0) == 0) Drop();
        return t;
      }
      const int txn = static_cast<int>(s_->txns_.size());
      s_->txns_.emplace_back();
      bool any_accepted = false;
      for (size_t i = 0; i < recipients.size(); ++i) {
        SmtpRecipientReply& rr = t.recipients[i];
        if (!Command("RCPT TO:<" + rr.address + ">", "RCPT TO", &t)) return t;
        t.reached_rcpt = true;
        const std::string reply = s_->rcpt_reply(rr.address, static_cast<int>(i), txn);
        rr.code = std::stoi(reply.substr(0, 3));
        rr.reply = reply;
        if (rr.code / 100 == 2) {
          any_accepted = true;
          s_->txns_[txn].accepted.push_back(rr.address);
        } else {
          t.failure = "RCPT TO <" + rr.address + ">: " + reply;
        }
      }
      if (!any_accepted) return t;
      if (!Command("DATA", "DATA", &t)) return t;
      if (!Command("", "end of data", &t)) return t;
      const std::string reply = s_->data_reply(txn);
      t.data_code = std::stoi(reply.substr(0, 3));
      t.data_reply = reply;
      t.message_taken = t.data_code / 100 == 2;
      if (t.message_taken) {
        s_->txns_[txn].data_done = true;
        s_->txns_[txn].message = message;
      } else {
        t.failure = "end of data: " + reply;
      }
      return t;
    }

    void Close() override {
      if (!open_) return;
      s_->commands_.push_back("QUIT");
      open_ = false;
    }

   private:
    // Sends one command (recorded unless `text` is empty); false when the
    // connection broke before its reply.
    bool Command(const std::string& text, const std::string& step, SmtpTransaction* t) {
      if (s_->drop_after_commands >= 0 && commands_sent_ >= s_->drop_after_commands) {
        Drop();
        t->failure = step + ": connection closed by the server";
        return false;
      }
      ++commands_sent_;
      if (!text.empty()) s_->commands_.push_back(text);
      return true;
    }
    void Drop() {
      if (!open_) return;
      s_->commands_.push_back("DROPPED");
      open_ = false;
    }

    FakeSmtpServer* s_;
    bool open_ = false;
    int transactions_ = 0;
    int commands_sent_ = 0;
  };

  int connections_ = 0;
  std::vector<std::string> commands_;
  std::vector<Txn> txns_;
  std::vector<SmtpServer> servers_;
};

}  // namespace kelmora
