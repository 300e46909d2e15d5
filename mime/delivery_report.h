// SPDX-License-Identifier: GPL-3.0-or-later
// What a returned message says about each recipient. Mail servers write
// delivery status notifications (multipart/report with a
// message/delivery-status part, RFC 3464): one group of fields per
// recipient, with the address (Final-Recipient), what happened (Action) and
// a status code (Status). The same notices also warn of mail that is only
// delayed; those must never cost a member the membership.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// GMime's message object, declared without GMime's headers: this header
// reaches the window code through ReceivedMail, and GLib's names clash with
// the window toolkit's.
typedef struct _GMimeObject GMimeObject;

namespace kelmora {

struct ReportedRecipient {
  std::string address;  // the bare address of Final-Recipient (Original-Recipient when absent)
  std::string action;   // lower case: "failed", "delayed", "delivered", "relayed", "expanded", or ""
  std::string status;   // "5.1.1", or "" when the group gives none

  // Delivery failed for good: the action says so, or the group names no
  // other action and its status is permanent (5.x.x).
  bool Failed() const;
};

// The recipient groups of the text of a message/delivery-status part, in
// their order. Groups without an address are left out; folded fields,
// comments, "<>" around the address and CR LF or LF line ends are
// understood.
std::vector<ReportedRecipient> ParseDeliveryStatus(std::string_view text);

// The text of the first message/delivery-status (or
// message/global-delivery-status) part of a message, its transfer encoding
// undone; "" when the message carries none. Attached messages are not
// looked into: a bounce quoting an earlier bounce reports only its own.
std::string DeliveryStatusText(GMimeObject* message_part);

// True for the subjects with which mail servers warn that a message is
// only delayed (Postfix, Exim, Sendmail, the large providers).
bool IsDelayNoticeSubject(std::string_view subject);

}  // namespace kelmora
