// SPDX-License-Identifier: GPL-3.0-or-later
// SmtpSession: one connection to an SMTP server, as the delivery logic
// (MailSender) sees it. Narrow on purpose: the delivery logic decides about
// batches, retries and what to report; a session only carries out one
// transaction at a time and says what the server answered.
//
// A session is opened (connect, greeting, EHLO, STARTTLS where offered,
// AUTH when the server string names a user), then runs transactions one
// after another on the same connection, then is closed (QUIT). An
// implementation may put off the opening until the first transaction (the
// libcurl one does); a failure of the opening then shows as a transaction
// that failed before its first RCPT TO.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/server_string.h"
#include "textio/status.h"

namespace kelmora {

// The server's reply to the RCPT TO of one recipient.
struct SmtpRecipientReply {
  std::string address;
  int code = 0;       // 0: no reply seen (the transaction ended before it)
  std::string reply;  // the reply line(s), e.g. "550 5.1.1 no such user"
};

// What became of one transaction: MAIL FROM, one RCPT TO per recipient,
// DATA with the message and its final reply.
struct SmtpTransaction {
  std::vector<SmtpRecipientReply> recipients;  // one per address given, in that order
  bool reached_rcpt = false;  // at least one RCPT TO went out
  bool message_taken = false; // the server took the message (2xx after the data)
  int data_code = 0;          // the reply after the data; 0 when the data never went
  std::string data_reply;
  // When something failed: the step and the server's reply or the
  // transport's error, e.g. "MAIL FROM: 421 4.7.0 too many messages",
  // "RCPT TO <a@b>: 550 ...", "end of data: 554 ...", "connect: ...".
  std::string failure;
};

class SmtpSession {
 public:
  virtual ~SmtpSession() = default;

  // Opens the connection (or gets ready to, see above). A failure's
  // message reads "step: reply or error".
  [[nodiscard]] virtual Status Open() = 0;

  // Runs one transaction on the open connection. Never throws.
  virtual SmtpTransaction Send(const std::string& mail_from, const std::vector<std::string>& recipients,
                               const std::string& message) = 0;

  // Ends the session (QUIT). The destructor closes an open session too.
  virtual void Close() = 0;
};

// Makes sessions to one server; every session is a new connection.
class SmtpSessionFactory {
 public:
  virtual ~SmtpSessionFactory() = default;
  virtual std::unique_ptr<SmtpSession> NewSession(const SmtpServer& server) = 0;
};

}  // namespace kelmora
