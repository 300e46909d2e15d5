// SPDX-License-Identifier: GPL-3.0-or-later
// MailComponent: the program's only door to mail servers, in the
// program's UTF-8:
//
// Send(server, message) -> OK when the message (outgoing_message.h) was
//   sent, else a failure whose text names the server and the reason.
//
// Fetch(a, b, password, folder, &names) -> OK with the stored name of every
//   message fetched into `folder` (none when nothing came), or a failure
//   whose message is the text to log. A message is never handed out twice.
//
// Read(name, folder, &mail) -> OK with *mail filled from the stored message
//   (mime/mail_reader.h: every field, attachments saved into `folder`), or
//   a failure whose message names the file and the reason; *mail is then
//   left as it was.
#pragma once

#include <string>
#include <vector>

#include "mime/outgoing_message.h"
#include "mime/received_mail.h"
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

  virtual Status Fetch(const std::string& a, const std::string& b, const std::string& password,
                       const std::string& folder, std::vector<std::string>* names) = 0;

  virtual Status Read(const std::string& name, const std::string& folder, ReceivedMail* mail) = 0;

  // Tells the component that the program has finished with a stored
  // message (it was deleted, set aside or rewritten), so that it is never
  // handed out again. Stored messages that were handed out and never
  // settled (the program died) are handed out again by the next Fetch for
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
