// SPDX-License-Identifier: GPL-3.0-or-later
// FakePop3Server: a scripted POP3 mailbox behind the Pop3Session
// interface, for unit tests of the fetch logic (no sockets). It is the
// factory of its sessions; every session is one connection.
//
// Model: each session numbers the messages on the server when it opens
// (1, 2, ...). DELE marks a message of the session; only Quit on an
// unbroken session commits the marks (the messages leave the server). A
// broken session fails every later command with "connection lost" and
// commits nothing.
//
// Script (set before the fetch):
//   open_failure          a failed Open (e.g. Pop3Reply::Failed(..., "login")).
//   drop_after_commands   the connection breaks after that many commands of
//                         a session (LIST, UIDL, RETR, DELE, NOOP): the next
//                         one, QUIT included, never arrives; -1 never.
//   uidl_refused          UIDL answers "-ERR" and, as with libcurl, the
//                         session ends with a QUIT.
//   truncate_retr         uidl -> bytes: that message's RETR ends after so
//                         many bytes and the connection breaks, with no error
//                         for the RETR itself (what libcurl reports).
//   list_size_delta       uidl -> n: LIST gives the size plus n (an inexact
//                         size; the RETR itself is whole).
//   refuse                command text ("DELE 2") -> the "-ERR" line.
//   on_command            called with each command's text before it is
//                         answered ("LIST", "RETR 1", "DELE 1", ...).
//
// Record: commands() holds every command of every session in order
// ("OPEN", "LIST", "UIDL", "RETR 1", "DELE 1", "NOOP", "QUIT", "DROPPED").
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pop3/pop3_session.h"

namespace kelmora {

class FakePop3Server : public Pop3SessionFactory {
 public:
  struct Message {
    std::string uidl;
    std::string bytes;
  };

  Pop3Reply open_failure = Pop3Reply::Ok();
  int drop_after_commands = -1;
  bool uidl_refused = false;
  std::map<std::string, size_t> truncate_retr;
  std::map<std::string, long> list_size_delta;
  std::map<std::string, std::string> refuse;
  std::function<void(const std::string&)> on_command = [](const std::string&) {};

  void Deliver(const std::string& uidl, const std::string& bytes) { mailbox_.push_back(Message{uidl, bytes}); }
  const std::vector<Message>& mailbox() const { return mailbox_; }
  const std::vector<std::string>& commands() const { return commands_; }
  int sessions() const { return sessions_; }
  // How often a command was given, over all sessions.
  int Count(const std::string& command) const {
    int n = 0;
    for (const std::string& c : commands_) n += c == command;
    return n;
  }

  std::unique_ptr<Pop3Session> NewSession(const Pop3Server& server, const std::string& user,
                                          const std::string& password) override {
    return std::make_unique<Session>(this);
  }

 private:
  class Session : public Pop3Session {
   public:
    explicit Session(FakePop3Server* server) : s_(server) {}
    ~Session() override { Quit(); }

    Pop3Reply Open() override {
      ++s_->sessions_;
      s_->commands_.push_back("OPEN");
      if (!s_->open_failure.ok()) return s_->open_failure;
      open_ = true;
      view_ = s_->mailbox_;
      return Pop3Reply::Ok();
    }

    Pop3Reply List(std::string* answer) override {
      answer->clear();
      Pop3Reply r = Command("LIST");
      if (!r.ok()) return r;
      for (size_t i = 0; i < view_.size(); ++i) {
        auto delta = s_->list_size_delta.find(view_[i].uidl);
        const long size = static_cast<long>(view_[i].bytes.size()) +
                          (delta == s_->list_size_delta.end() ? 0 : delta->second);
        *answer += std::to_string(i + 1) + " " + std::to_string(size) + "\r\n";
      }
      return r;
    }

    Pop3Reply Uidl(std::string* answer) override {
      answer->clear();
      Pop3Reply r = Command("UIDL");
      if (!r.ok()) return r;
      if (s_->uidl_refused) {
        Quit();
        return Pop3Reply::Failed("command refused", "-ERR unknown command");
      }
      for (size_t i = 0; i < view_.size(); ++i) *answer += std::to_string(i + 1) + " " + view_[i].uidl + "\r\n";
      return r;
    }

    Pop3Reply Retr(int number, std::string* message) override {
      message->clear();
      Pop3Reply r = Command("RETR " + std::to_string(number));
      if (!r.ok()) return r;
      if (number < 1 || number > static_cast<int>(view_.size())) return Refused("-ERR no such message");
      const Message& m = view_[number - 1];
      auto cut = s_->truncate_retr.find(m.uidl);
      if (cut != s_->truncate_retr.end()) {
        *message = m.bytes.substr(0, cut->second);
        Drop();
        return Pop3Reply::Ok();
      }
      *message = m.bytes;
      return r;
    }

    Pop3Reply Dele(int number) override {
      Pop3Reply r = Command("DELE " + std::to_string(number));
      if (!r.ok()) return r;
      if (number < 1 || number > static_cast<int>(view_.size())) return Refused("-ERR no such message");
      marked_.insert(number);
      return r;
    }

    Pop3Reply Noop() override { return Command("NOOP"); }

    void Quit() override {
      if (!open_) return;
      if (s_->drop_after_commands >= 0 && commands_sent_ >= s_->drop_after_commands) {
        Drop();  // the QUIT never arrives
        return;
      }
      s_->commands_.push_back("QUIT");
      open_ = false;
      std::vector<Message> kept;
      std::set<std::string> gone;
      for (int number : marked_) gone.insert(view_[number - 1].uidl);
      for (const Message& m : s_->mailbox_) {
        if (!gone.count(m.uidl)) kept.push_back(m);
      }
      s_->mailbox_ = kept;
    }

   private:
    Pop3Reply Command(const std::string& text) {
      if (!open_) return Pop3Reply::Failed("connection lost");
      if (s_->drop_after_commands >= 0 && commands_sent_ >= s_->drop_after_commands) {
        Drop();
        return Pop3Reply::Failed("connection lost");
      }
      ++commands_sent_;
      s_->commands_.push_back(text);
      s_->on_command(text);
      auto refused = s_->refuse.find(text);
      if (refused != s_->refuse.end()) return Refused(refused->second);
      return Pop3Reply::Ok();
    }
    Pop3Reply Refused(const std::string& line) { return Pop3Reply::Failed("command refused", line); }
    void Drop() {
      s_->commands_.push_back("DROPPED");
      open_ = false;  // nothing committed
    }

    FakePop3Server* s_;
    bool open_ = false;
    int commands_sent_ = 0;
    std::vector<Message> view_;
    std::set<int> marked_;
  };

  std::vector<Message> mailbox_;
  std::vector<std::string> commands_;
  int sessions_ = 0;
};

}  // namespace kelmora
