// SPDX-License-Identifier: GPL-3.0-or-later
// SmtpCommandSession: an SmtpSession that speaks the transaction commands
// itself on a MailChannel that a connector has connected, secured and
// logged in (CurlSmtpSession connects through libcurl; tests hand in a
// scripted channel).
//
// When the server announced PIPELINING in its EHLO reply, MAIL FROM, every
// RCPT TO of the transaction and DATA go out in one write and the replies
// are read back in order, so a transaction costs two round trips however
// many recipients it has. Otherwise every command waits for its reply. In
// both modes the outcome is the one SmtpTransaction describes:
//   - a refused MAIL FROM counts as a failure before any RCPT (the RCPT
//     replies of a pipelined batch then answer nothing and are dropped);
//   - a recipient refused at its RCPT keeps its own reply;
//   - when no recipient was accepted, or DATA was refused, no message goes
//     out (a server that still answers DATA with 354 gets an empty body
//     ended at once) and RSET clears the transaction;
//   - a connection that breaks or times out ends the transaction with the
//     step it was in ("RCPT TO: connection lost"); the next transaction
//     connects anew.
// Replies are scrubbed of the password before they leave the session.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/mail_channel.h"
#include "net/server_string.h"
#include "smtp/smtp_session.h"
#include "textio/status.h"

namespace kelmora {

// A connection ready for transactions, or why there is none.
struct SmtpConnection {
  std::unique_ptr<MailChannel> channel;
  bool pipelining = false;  // the server announced PIPELINING
  Status status;            // when channel is null: why, as "step: reply or error"
};

// Connects for a transaction whose sender is the given address (the EHLO
// name may follow it).
using SmtpConnector = std::function<SmtpConnection(const std::string& mail_from)>;

class SmtpCommandSession : public SmtpSession {
 public:
  SmtpCommandSession(SmtpServer server, SmtpConnector connector);
  ~SmtpCommandSession() override;

  Status Open() override;
  SmtpTransaction Send(const std::string& mail_from, const std::vector<std::string>& recipients,
                       const std::string& message) override;
  void Close() override;

 private:
  struct Reply {
    int code = 0;
    std::string text;  // every line of the reply, joined by blanks
    Status error;      // the channel's failure when no reply came
  };
  Reply ReadReply();
  void Transact(const std::string& mail_from, const std::vector<std::string>& recipients,
                const std::string& message, SmtpTransaction* out);
  // The steps of Transact. Each answers false when the transaction ended
  // there; *out then says why.
  bool MailFrom(const std::string& mail_from, const std::vector<std::string>& recipients, bool pipelined,
                SmtpTransaction* out);
  bool Recipients(bool pipelined, SmtpTransaction* out);
  bool Data(bool pipelined, int accepted, SmtpTransaction* out);
  void Message(const std::string& message, SmtpTransaction* out);
  // The connection is of no further use: the next transaction connects anew.
  // Always false, so that a step ends with it.
  bool Lost(const std::string& step, const Status& error, SmtpTransaction* out);
  // Reads and drops `count` replies (of a batch whose MAIL FROM was refused).
  void SkipReplies(size_t count);
  // Ends a transaction that carries no message: an empty body when the
  // server answered DATA with 354, else RSET; a connection that fails
  // there is dropped.
  void EndWithoutMessage(int data_code);
  // The message as it goes after DATA: dot-stuffed, ended by CR LF "." CR LF.
  const std::string& DataFor(const std::string& message);

  SmtpServer server_;
  SmtpConnector connector_;
  SmtpConnection connection_;
  bool opened_ = false;
  std::string data_source_;  // the message data_ was made from
  std::string data_;
};

// True when one line of an EHLO reply ("250-PIPELINING", "250 PIPELINING")
// announces the keyword.
bool EhloLineAnnounces(const std::string& line, const std::string& keyword);

}  // namespace kelmora
