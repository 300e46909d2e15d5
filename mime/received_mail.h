// SPDX-License-Identifier: GPL-3.0-or-later
// ReceivedMail: one received message as the processing rules read it,
// whichever road it came by, and the text operations that find addresses
// and display names in header values such as "\"Name\" <a@b>".
#pragma once

#include <string>
#include <vector>

#include "mime/delivery_report.h"

namespace kelmora {

// One recipient a message names, as its headers give it.
struct Addressee {
  std::string address;  // bare local@domain
  std::string name;     // display name, "" when none
};

struct ReceivedMail {
  std::string StoredName;
  std::string ToAddress;
  std::string ToName;
  std::string FromAddress;
  std::string FromName;
  std::string Subject;
  std::string Body;
  std::vector<std::string> AttachmentFiles{""};  // element 0 is always ""

  // Headers that tell automatic mail, list mail and loops apart, as the
  // message carries them (unfolded, blanks trimmed); "" when absent. Every
  // road that fills a ReceivedMail fills these too.
  std::string AutoSubmitted;  // e.g. "auto-replied"; "no" or "" for a person
  std::string Precedence;     // e.g. "bulk", "junk", "list"
  std::string ListId;         // the List-Id header of mail from a list
  bool HasReturnPath = false; // a Return-Path header was present
  std::string ReturnPath;     // its value, "<>" for a bounce
  std::string XLoop;          // every X-Loop value, separated by TAB
  std::string MessageId;      // "<id>" of this message
  std::string References;     // its References header
  std::string InReplyTo;      // its In-Reply-To header
  // Every mailbox of its To and Cc headers, in header order: a rule's
  // receiving address may stand anywhere among them (a reply to all).
  std::vector<Addressee> Recipients;
  // The recipients a delivery status notification reports on, from its
  // machine-readable part; empty for any other message.
  std::vector<ReportedRecipient> DeliveryStatus;
  int AttachmentCount() const { return static_cast<int>(AttachmentFiles.size()) - 1; }
};

// The first e-mail address standing between `open` and `close`, or "".
std::string ExtractAddress(const std::string& text, const std::string& open, const std::string& close);

// The text between the first `open` and the last `close`, or "".
std::string TextBetween(const std::string& text, const std::string& open, const std::string& close);

// The display name of a header value such as "\"Name\" <a@b>", or "".
std::string DisplayName(const std::string& value);

}  // namespace kelmora
