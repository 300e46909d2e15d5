// SPDX-License-Identifier: GPL-3.0-or-later
// CurlPop3Session: a Pop3Session on one libcurl easy handle, reused for
// every command so that every command runs on the same connection and the
// message numbers of LIST stay valid. libcurl connects, uses STLS where
// the server offers it and logs in with the first command; destroying the
// handle sends QUIT.
//
// libcurl quietly opens a new connection when the old one broke; the
// session notices (a command that needed a new connection) and reports
// "connection lost", since the message numbers and the uncommitted DELEs
// belonged to the old one. Every connection has the connect, transfer and
// low-speed time-outs of MailOptions.
//
// Security (see server_string.h): the certificate is checked (against
// MailOptions::ca_file when set, else the system store) unless the server
// string says verify=no; when Pop3Server::TlsRequired(), STLS must succeed
// before the login, and a server without it fails at step "TLS" with
// "login refused: ...". Failure texts never hold the password.
#pragma once

#include <memory>
#include <string>

#include "net/mail_options.h"
#include "pop3/pop3_session.h"

namespace kelmora {

class CurlPop3Session : public Pop3Session {
 public:
  CurlPop3Session(Pop3Server server, std::string user, std::string password, MailOptions options);
  ~CurlPop3Session() override;
  CurlPop3Session(const CurlPop3Session&) = delete;
  CurlPop3Session& operator=(const CurlPop3Session&) = delete;

  Pop3Reply Open() override;
  Pop3Reply List(std::string* answer) override;
  Pop3Reply Uidl(std::string* answer) override;
  Pop3Reply Retr(int number, std::string* message) override;
  Pop3Reply Dele(int number) override;
  Pop3Reply Noop() override;
  void Quit() override;

 private:
  class Handle;
  // Runs one command: LIST or RETR when `command` is null, else that
  // command; `number` 0 means no message number.
  Pop3Reply Run(int number, const char* command, bool no_body, std::string* body);

  Pop3Server server_;
  std::string user_;
  std::string password_;
  MailOptions options_;
  std::unique_ptr<Handle> handle_;
};

class CurlPop3SessionFactory : public Pop3SessionFactory {
 public:
  explicit CurlPop3SessionFactory(MailOptions options) : options_(options) {}
  std::unique_ptr<Pop3Session> NewSession(const Pop3Server& server, const std::string& user,
                                          const std::string& password) override;

 private:
  MailOptions options_;
};

}  // namespace kelmora
