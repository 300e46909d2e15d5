// SPDX-License-Identifier: GPL-3.0-or-later
// DeliverMessage: hands one composed message to one SMTP server for a list
// of envelope recipients, in transactions of at most `max_per_transaction`,
// and says what became of every recipient. Used by MailSender for a new
// message and by DeliveryQueue for the recipients a message still owes.
//
// Transactions run on one session (connection) where the server allows it.
// A recipient refused with 452 (too many recipients) goes into a further
// transaction, as long as the transaction that refused it delivered to
// someone. A transaction that fails before its first RCPT (connection,
// greeting, AUTH, MAIL FROM) ends the delivery for everyone left, since the
// next would fail alike; only when an earlier transaction of the same
// delivery went through (a server that limits messages per session) is it
// tried once more on a new session.
//
// Every recipient ends in exactly one of three lists:
//   delivered  the server took the message for it;
//   refused    a permanent refusal (a 5xx reply to its RCPT, to the data or
//              to a step before RCPT): sending again would not help;
//   deferred   a temporary failure: a 4xx reply (452 once no transaction
//              delivers any more), a connection that broke or timed out, a
//              server that could not be reached, or not tried at all because
//              the delivery was stopped.
// A connection lost after the data went out but before the final reply
// leaves the recipient deferred although the server may have taken the
// message: SMTP cannot tell, and a later retry may deliver it twice.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/server_string.h"
#include "smtp/smtp_session.h"

namespace kelmora {

struct DeliveryReport {
  std::vector<std::string> delivered;
  std::vector<std::pair<std::string, std::string>> refused;   // address, reply or failure
  std::vector<std::pair<std::string, std::string>> deferred;  // address, reply or failure
  // The first failure of a transaction that delivered to nobody ("" when
  // there was none): what a caller reports when nobody got the message.
  std::string first_failure;
  bool stopped = false;  // `after_transaction` asked to stop
  // A failure before the first RCPT (connection, greeting, AUTH, MAIL FROM)
  // ended the delivery: the server is not taking mail now.
  bool server_failed = false;
};

// The addresses of `all`, in their order, that the report has neither
// delivered nor refused: what the message still owes.
std::vector<std::string> Unsettled(const std::vector<std::string>& all, const DeliveryReport& report);

// Called after every transaction that settled at least one recipient
// (delivered or refused), before the next transaction begins, with the
// report so far. Returning false stops the delivery: no further transaction
// starts and everyone not yet settled is deferred.
using AfterTransaction = std::function<bool(const DeliveryReport&)>;

DeliveryReport DeliverMessage(SmtpSessionFactory& sessions, const SmtpServer& server, const std::string& mail_from,
                              const std::string& message, const std::vector<std::string>& recipients,
                              int max_per_transaction, const AfterTransaction& after_transaction);

// True when a failure text ("step: reply or error") carries a permanent
// (5xx) reply. Transport errors without a reply are temporary.
bool IsPermanentFailure(const std::string& failure);

// A recipient a server refused for good at RCPT time because the address
// does not exist or has moved (IsUnknownAddressReply below).
struct UnknownRecipient {
  std::string address;
  std::string reply;         // the server's reply, as logged
  std::string list_address;  // the X-Loop of the refused message (the list it went out for), or ""
};

// True for a server's reply (as it wrote it, code first) that refuses a
// recipient for good because the address does not exist or has moved: a
// 5xx reply with the enhanced status 5.1.1, 5.1.2, 5.1.3, 5.1.6 or 5.1.10.
// A failure text that names a step ("MAIL FROM: 550 5.1.1 ...", a refused
// sender) is not one.
bool IsUnknownAddressReply(std::string_view reply);

}  // namespace kelmora
