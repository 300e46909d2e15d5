// SPDX-License-Identifier: GPL-3.0-or-later
// CurlPop3Session: a Pop3Session whose connection libcurl makes (connect,
// greeting, CAPA, STLS where offered, login; connect-only mode) and whose
// commands Pop3CommandSession speaks on it, pipelined when CAPA lists
// PIPELINING. libcurl keeps TLS, proxies and the connect time-out; the
// command layer keeps the transfer and low-speed time-outs of MailOptions
// and MailOptions::cancel. The connection is made with the first command;
// Quit or the destructor ends it with QUIT, which commits the DELEs.
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
#include "pop3/pop3_command_session.h"

namespace kelmora {

class CurlPop3Session : public Pop3CommandSession {
 public:
  CurlPop3Session(Pop3Server server, std::string user, std::string password, MailOptions options);
};

// Connects and logs in through libcurl.
Pop3Connection ConnectPop3WithCurl(const Pop3Server& server, const std::string& user, const std::string& password,
                                   const MailOptions& options);

class CurlPop3SessionFactory : public Pop3SessionFactory {
 public:
  explicit CurlPop3SessionFactory(MailOptions options) : options_(options) {}
  std::unique_ptr<Pop3Session> NewSession(const Pop3Server& server, const std::string& user,
                                          const std::string& password) override;

 private:
  MailOptions options_;
};

}  // namespace kelmora
