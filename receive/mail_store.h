// SPDX-License-Identifier: GPL-3.0-or-later
// MailStore: the local mail store, a Maildir profile the program reads,
// deletes in and sends through with no server at all.
//
// The profile is the folder mailstore/<user> of the program folder (it may
// be a symbolic link to a Maildir another program fills): a Maildir with
// the sub-Maildirs .Outbox, .Sent and .Failed, and an optional profile.ini
// (see StoreProfile). Logon creates whatever of it is missing.
//
// The operations mirror what a desktop mail client's message control
// offers, one session at a time:
//   session   Logon, SessionID, SignOff
//   reading   Fetch (the unread messages, oldest delivery first), MsgCount,
//             Select (by index), Read (the selected message's properties),
//             Delete (the selected message), MarkSeen
//   sending   Compose or Forward (from the selected message, with its
//             attachments), SetRecipient (by index: display name, address,
//             To or blind copy), SetSubject, SetNoteText, Send (no dialog)
//
// Unread means: in new/, or in cur/ without the "S" flag. Delivery order is
// the file's modification time, then its name. Reading takes the
// attachments out into a work folder of the program folder; they are
// removed again by DiscardAttachments and at the next logon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/logger.h"
#include "receive/mail_component.h"
#include "receive/recipient_items.h"
#include "receive/maildir.h"
#include "receive/store_journal.h"
#include "receive/store_outbox.h"
#include "receive/store_profile.h"
#include "textio/clock.h"
#include "textio/command_runner.h"
#include "textio/file_system.h"

namespace kelmora {

// The properties of one stored message.
struct StoreMessage {
  std::string RecipAddress, RecipDisplayName;      // first To recipient
  std::string MsgOrigAddress, MsgOrigDisplayName;  // sender
  std::string MsgSubject, MsgNoteText;
  std::vector<std::string> attachment_files;  // the taken-out copies
  std::vector<std::string> header_items;      // the reader's items, for the automatic-mail checks
  int AttachmentCount() const { return static_cast<int>(attachment_files.size()); }
  std::string AttachmentName(int i) const;
};

class MailStore {
 public:
  enum RecipType { kTo = 1, kBcc = 3 };
  static constexpr int kFetchLimitMs = 5 * 60 * 1000;

  // `smtp` (may be null) sends for profiles with an `smtp` route.
  MailStore(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner, MailComponent* smtp,
            std::string program_folder);

  // Opens the profile of `user`. A wrong password is Refused; a broken
  // profile.ini is Corrupt, naming the file and line; a profile folder that
  // cannot be made is an IOError. Completes what a crash left in the
  // journal, runs the `fetch` command when `download` is set (a failure is
  // logged and the logon goes on), and retries what waits in .Outbox.
  Status Logon(const std::string& user, const std::string& password, bool download);
  // > 0 while a session is open.
  std::int64_t SessionID() const { return session_; }
  void SignOff();

  Status Fetch();
  int MsgCount() const { return static_cast<int>(messages_.size()); }
  Status Select(int index);
  int MsgIndex() const { return selected_; }
  // The properties of the selected message; its attachments are taken out.
  Status Read(StoreMessage* message);
  // The selected message's file name (for log lines).
  std::string SelectedName() const;
  // Deletes the selected message's file. Its index stays taken: the others
  // keep theirs. Without `sync` the change lasts only after SyncFolders.
  Status Delete(bool sync = true);
  // Marks the selected message seen (cur/ with the "S" flag); `sync` as
  // for Delete.
  Status MarkSeen(bool sync = true);
  // Makes the deletions and seen marks made without `sync` last.
  Status SyncFolders();
  // Removes the taken-out attachments of `message`.
  void DiscardAttachments(const StoreMessage& message);

  // Durable records of the current session (see StoreJournal).
  Status RecordActed();  // of the selected message
  Status RecordDeletes(const std::vector<int>& indexes);
  // Removes the journal once the cycle has carried out its records.
  void ClearJournal();

  void Compose();
  Status Forward();
  void SetRecipient(int index, const std::string& display_name, const std::string& address, RecipType type);
  void SetSubject(const std::string& subject) { draft_.subject = subject; }
  void SetNoteText(const std::string& text) { draft_.body = text; }
  // The list and reply headers the program sets itself (List-Id, X-Loop,
  // Auto-Submitted, ...); they go out on every route.
  void SetProgramHeaders(const ProgramHeaders& headers) { draft_.headers = headers; }
  // Further files to attach (full paths).
  void AddAttachment(const std::string& path) { draft_.attachments.push_back(path); }
  bool DraftHasAttachment(const std::string& path) const {
    for (const std::string& a : draft_.attachments)
      if (a == path) return true;
    return false;
  }
  // The sender when the profile names no address.
  void SetDefaultSender(const std::string& address) { default_sender_ = address; }
  // Hands the draft to the store: composed, written durably into .Outbox,
  // the selected message recorded as acted on, then delivered by the
  // profile's route (a failure there is the outbox's to retry and report).
  // An error only when the message is not in .Outbox.
  Status Send();

  const std::string& profile_folder() const { return profile_folder_; }

 private:
  struct Draft {
    struct Recipient {
      std::string name, address;
      RecipType type = kTo;
    };
    std::vector<Recipient> recipients;
    std::string subject, body;
    ProgramHeaders headers;
    std::vector<std::string> attachments;
  };

  Status OpenProfile(const std::string& user);
  void Recover();
  void RunFetchCommand();
  void ClearWorkFolder();
  OutboxRoute Route() const;
  const MaildirMessage* Selected() const;

  FileSystem& fs_;
  const Clock& clock_;
  Logger& log_;
  CommandRunner& runner_;
  MailComponent* smtp_;
  std::string program_folder_;
  std::string work_folder_;

  std::int64_t session_ = 0;
  std::int64_t last_session_ = 0;
  std::string profile_folder_;
  StoreProfile profile_;
  std::unique_ptr<StoreJournal> journal_;
  std::unique_ptr<StoreOutbox> outbox_;
  std::vector<MaildirMessage> messages_;
  std::vector<bool> deleted_;
  int selected_ = -1;
  StoreMessage current_;  // the last message read
  Draft draft_;
  std::string default_sender_;
};

}  // namespace kelmora
