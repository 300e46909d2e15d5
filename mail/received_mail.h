// SPDX-License-Identifier: GPL-3.0-or-later
// ReceivedMail and the reception helpers around the mail component: fetching
// one POP3 account, reading one stored message, and the text operations
// that find addresses and display names in header values.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/mail_component.h"
#include "mime/delivery_report.h"
#include "textio/file_system.h"

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

// Fetches one account into `receive_folder`; *stored_names becomes a list
// whose element 0 is "" and whose elements 1..n are the stored names.
// Returns n; 0 on failure (the failure is written to the main log).
int FetchAccountMail(MailComponent& mail, Logger& log, const std::string& a, const std::string& b,
                     const std::string& password, const std::string& receive_folder,
                     std::vector<std::string>* stored_names);

// Appends elements 1..n of `account_names` to `cycle_names`.
void AppendStoredNames(std::vector<std::string>* cycle_names, const std::vector<std::string>& account_names);

// The ReadMail fields a received message is read with.
extern const char* const kReceivedMailFields;

// Sets the fields of *mail that tell automatic mail, lists and loops apart
// (Auto-Submitted, Precedence, List-Id, Return-Path, X-Loop, Message-ID,
// References, In-Reply-To), the To and Cc recipients ("Recipient:" items)
// and a bounce's report ("Delivery-Status:" items) from ReadMail items;
// other items are ignored.
void ApplyHeaderItems(const std::vector<std::string>& items, ReceivedMail* mail);

// Reads one stored message into *mail. Fails (Corrupt) with the
// component's failure text (then *mail is left as it was).
[[nodiscard]] Status ReadStoredMail(MailComponent& mail_component, const std::string& stored_name,
                           const std::string& receive_folder, ReceivedMail* mail);

// The first e-mail address standing between `open` and `close`, or "".
std::string ExtractAddress(const std::string& text, const std::string& open, const std::string& close);

// The text between the first `open` and the last `close`, or "".
std::string TextBetween(const std::string& text, const std::string& open, const std::string& close);

// The display name of a header value such as "\"Name\" <a@b>", or "".
std::string DisplayName(const std::string& value);

// Elements 1..n of `files` joined with TAB ("" when n is 0).
std::string JoinAttachmentPaths(int n, const std::vector<std::string>& files);

// Deletes a file, also a read-only one. True when it was deleted.
bool DeleteFileForced(FileSystem& fs, const std::string& path);

}  // namespace kelmora
