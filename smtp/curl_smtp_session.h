// SPDX-License-Identifier: GPL-3.0-or-later
// CurlSmtpSession: an SmtpSession on one libcurl easy handle. The handle
// keeps its connection between transactions, so the transactions of one
// session share a connection as long as the server keeps it; the handle's
// cleanup sends QUIT. libcurl connects (greeting, EHLO, STARTTLS, AUTH) in
// the first transaction, so Open only prepares the handle.
//
// libcurl does not say which recipient was refused: every command sent and
// every reply line read pass through its debug stream, where each RCPT TO
// is paired with the next reply. Credentials sent during AUTH are never
// kept, and every text a transaction returns (failure, replies) has the
// password scrubbed out. Every connection has the connect, transfer and
// low-speed time-outs of MailOptions.
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
#include "smtp/smtp_session.h"

namespace kelmora {

class CurlSmtpSession : public SmtpSession {
 public:
  CurlSmtpSession(SmtpServer server, MailOptions options);
  ~CurlSmtpSession() override;
  CurlSmtpSession(const CurlSmtpSession&) = delete;
  CurlSmtpSession& operator=(const CurlSmtpSession&) = delete;

  std::string Open() override;
  SmtpTransaction Send(const std::string& mail_from, const std::vector<std::string>& recipients,
                       const std::string& message) override;
  void Close() override;

 private:
  SmtpServer server_;
  MailOptions options_;
  void* handle_ = nullptr;  // CURL*
};

class CurlSmtpSessionFactory : public SmtpSessionFactory {
 public:
  explicit CurlSmtpSessionFactory(MailOptions options) : options_(options) {}
  std::unique_ptr<SmtpSession> NewSession(const SmtpServer& server) override;

 private:
  MailOptions options_;
};

}  // namespace kelmora
