// SPDX-License-Identifier: GPL-3.0-or-later
// CurlSmtpSession: an SmtpSession whose connection libcurl makes (connect,
// greeting, EHLO, STARTTLS, AUTH, in connect-only mode) and whose
// transactions SmtpCommandSession speaks on it, pipelined when the server
// announces PIPELINING. libcurl keeps TLS, proxies and the connect time-out;
// the command layer keeps the transfer and low-speed time-outs of
// MailOptions and MailOptions::cancel. The connection is made with the
// first transaction (the EHLO name follows its sender) and ended with QUIT
// by Close or the destructor.
//
// Credentials sent during AUTH are never kept, and every text a transaction
// returns (failure, replies) has the password scrubbed out.
//
// Security (see server_string.h): the certificate is checked (against
// MailOptions::ca_file when set, else the system store) unless the server
// string says verify=no; when SmtpServer::tls_required, STARTTLS must
// succeed before AUTH, and a server without it gets no login
// ("STARTTLS: login refused: ...").
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/mail_options.h"
#include "smtp/smtp_command_session.h"

namespace kelmora {

class CurlSmtpSession : public SmtpCommandSession {
 public:
  CurlSmtpSession(SmtpServer server, MailOptions options);
};

// Connects to `server` through libcurl for a message from `mail_from`.
SmtpConnection ConnectSmtpWithCurl(const SmtpServer& server, const MailOptions& options,
                                   const std::string& mail_from);

class CurlSmtpSessionFactory : public SmtpSessionFactory {
 public:
  explicit CurlSmtpSessionFactory(MailOptions options) : options_(options) {}
  std::unique_ptr<SmtpSession> NewSession(const SmtpServer& server) override;

 private:
  MailOptions options_;
};

}  // namespace kelmora
