// SPDX-License-Identifier: GPL-3.0-or-later
// Pop3CommandSession: a Pop3Session that speaks the commands itself on a
// MailChannel a connector has connected, secured and logged in
// (CurlPop3Session connects through libcurl; tests hand in a scripted
// channel). The connection is made with the first command, so a failure
// to connect or log in shows there, with its step.
//
// When the server lists PIPELINING in CAPA, RetrMany keeps a window of
// RETRs on the way (at most kRetrWindowMessages, and no more than
// kRetrWindowBytes by LIST's sizes beyond the first), and DeleMany sends
// all its DELEs in one write; otherwise every command waits for its reply.
// Each message is still handed out whole, one at a time, in one buffer:
// the window costs no memory here, only round trips saved. The end mark
// of a multi-line answer is always seen, so a cut connection is an error,
// never a short message. A refusal ("-ERR") leaves the session usable; a
// transport error ends it (every later command fails, QUIT included, and
// the DELEs are not committed).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/mail_channel.h"
#include "pop3/pop3_session.h"

namespace kelmora {

struct Pop3Connection {
  std::unique_ptr<MailChannel> channel;
  bool pipelining = false;  // CAPA listed PIPELINING
  Pop3Reply failure;        // when channel is null: what failed, with its step
};
using Pop3Connector = std::function<Pop3Connection()>;

class Pop3CommandSession : public Pop3Session {
 public:
  static constexpr size_t kRetrWindowMessages = 32;
  static constexpr std::uint64_t kRetrWindowBytes = 4u << 20;

  // `scrub` takes the password out of what the server said.
  Pop3CommandSession(Pop3Connector connector, std::function<std::string(const std::string&)> scrub);
  ~Pop3CommandSession() override;

  Pop3Reply Open() override;
  Pop3Reply List(std::string* answer) override;
  Pop3Reply Uidl(std::string* answer) override;
  Pop3Reply Retr(int number, std::string* message) override;
  Pop3Reply Dele(int number) override;
  Pop3Reply Noop() override;
  void Quit() override;
  Pop3Reply RetrMany(const std::vector<Wanted>& wanted, std::string* buffer,
                     const std::function<bool(size_t index)>& each, size_t* handed) override;
  Pop3Reply DeleMany(const std::vector<int>& numbers, size_t* deleted) override;

 private:
  // Connects when not yet connected. Ok, or the failure.
  Pop3Reply Ready();
  // Reads the status line of one answer; with `body`, also the lines up
  // to the end mark, dot-unstuffed, each ended by CR LF.
  Pop3Reply ReadAnswer(std::string* body);
  // One command and its answer.
  Pop3Reply Command(const std::string& command, std::string* body);
  Pop3Reply Lost(const std::string& error);

  Pop3Connector connector_;
  std::function<std::string(const std::string&)> scrub_;
  Pop3Connection connection_;
  bool connected_once_ = false;
  bool dead_ = false;
};

}  // namespace kelmora
