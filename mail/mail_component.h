// SPDX-License-Identifier: GPL-3.0-or-later
// MailComponent: the program's only door to mail servers, in the
// program's UTF-8:
//
// Send(server, message) -> OK when the message (outgoing_message.h) was
//   sent, else a failure whose text names the server and the reason.
//
// RcvMail(a, b, password, command, folder) -> a list with the stored name
//   of every message fetched into `folder`, or one text: blank when nothing
//   was fetched, else a failure text. A message is never handed out twice.
//
// ReadMail(name, fields, folder) -> a list of "To: ...", "From: ...",
//   "Subject: ...", "Body: ..." and one "File: <full path>" per stored
//   attachment; or one failure text. When `fields` names them, items for
//   the headers that tell automatic mail, list mail and loops apart come
//   between Subject and Body ("Auto-Submitted: ...", "Precedence: ...",
//   "List-Id: ...", "Return-Path: ...", "X-Loop: ..." once per header,
//   "Message-ID: ...", "References: ...", "In-Reply-To: ...", each only
//   when present; "Recipient: ..." per To and Cc mailbox; "Delivery-Status:
//   ..." per recipient a bounce reports on; mail_reader.h). Items always keep these texts and this order; new ones
//   are only ever added, and only when asked for.
#pragma once

#include <string>
#include <vector>

#include "mime/mail_reply.h"
#include "mime/outgoing_message.h"
#include "smtp/smtp_delivery.h"
#include "textio/status.h"

namespace kelmora {

class MailComponent {
 public:
  virtual ~MailComponent() = default;

  virtual Status Send(const std::string& server, const OutgoingMessage& message) = 0;

  // Delivers a message that is already composed (CR LF line ends, headers
  // final) byte for byte to the SMTP server named by `server`, for the
  // envelope sender and recipients given: the local store's SMTP route, so
  // that the copy it keeps is exactly what went out. The report says what
  // became of every recipient.
  virtual DeliveryReport SendComposed(const std::string& server, const std::string& mail_from,
                                      const std::vector<std::string>& recipients, const std::string& message) {
    (void)server, (void)mail_from, (void)message;
    DeliveryReport report;
    report.first_failure = "this mail component cannot send composed mail";
    for (const std::string& r : recipients) report.deferred.emplace_back(r, report.first_failure);
    return report;
  }

  virtual MailReply RcvMail(const std::string& a, const std::string& b, const std::string& password,
                            const std::string& command, const std::string& folder) = 0;

  virtual MailReply ReadMail(const std::string& name, const std::string& fields, const std::string& folder) = 0;

  // Tells the component that the program has finished with a stored
  // message (it was deleted, set aside or rewritten), so that it is never
  // handed out again. Stored messages that were handed out and never
  // settled (the program died) are handed out again by the next RcvMail for
  // the same folder, unless one of the marks below says otherwise.
  virtual void MarkSettled(const std::string& folder, const std::string& name) = 0;

  // The program begins processing a stored message. A message whose
  // processing began three times without being settled is set aside
  // instead of being handed out again: it brings the program down.
  virtual void MarkProcessing(const std::string& folder, const std::string& name) {
    (void)folder;
    (void)name;
  }
  // A rule has acted on a stored message (sent, replied, saved,
  // registered): if the program stops before settling it, it is set aside
  // instead of being handed out again, so that nothing is done twice.
  virtual void MarkActed(const std::string& folder, const std::string& name) {
    (void)folder;
    (void)name;
  }

  // The recipients of the sends since the last call that servers refused as
  // unknown or moved addresses, in the order they were refused. The
  // program removes them from their lists as if a bounce had named them:
  // such a refusal never produces a bounce.
  virtual std::vector<UnknownRecipient> TakeUnknownRecipients() { return {}; }
};

}  // namespace kelmora
