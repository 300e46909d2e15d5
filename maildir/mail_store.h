// SPDX-License-Identifier: GPL-3.0-or-later
// MailStore: the local mail store, a Maildir profile the program reads,
// deletes in and sends through with no server at all.
//
// The profile is the folder mailstore/<user> of the program folder (it may
// be a symbolic link to a Maildir another program fills): a Maildir with
// the sub-Maildirs .Outbox, .Sent and .Failed, and an optional profile.ini
// (see StoreProfile). Only the default profile is made on first use; a
// logon to any other name whose folder is missing is refused. Logon adds
// whatever else of the Maildir is missing.
//
// The operations mirror what a desktop mail client's message control
// offers, one session at a time:
//   session   Logon, SessionID, SignOff
//   reading   Fetch (the unread messages, oldest delivery first), MsgCount,
//             Select (by index), Read (the selected message's properties),
//             Delete (the selected message), MarkSeen
//   sending   ForwardedAttachments (of the selected message), Send (one
//             OutgoingMessage, no dialog)
//
// Unread means: in new/, or in cur/ without the "S" flag. Delivery order is
// the file's modification time, then its name. Only regular files are mail:
// links and other odd entries are logged once and left alone. Reading takes
// the attachments out into a work folder of the program folder; they are
// removed again by DiscardAttachments and at the next logon.
//
// Nothing is lost and nothing is done twice, whatever moment the program
// dies at (see StoreJournal): a message a rule acted on is never handed
// out again, also while marking or deleting it keeps failing (the next
// fetches try again, with one log line per cycle); a send counts as an
// action only once its copy is safely in .Outbox; a message whose
// processing began three times without the cycle ending is set aside
// (marked seen and flagged). A deletion waits until every copy sent for the
// message reached .Sent; when one goes to .Failed instead, the received
// message is kept, seen and flagged, for the owner to look at.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/mail_component.h"
#include "maildir/command_runner.h"
#include "maildir/maildir.h"
#include "maildir/store_journal.h"
#include "maildir/store_outbox.h"
#include "maildir/store_profile.h"
#include "mime/mail_composer.h"
#include "mime/outgoing_message.h"
#include "mime/received_mail.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

// One stored message as read: what the reader gives (the subject trimmed),
// its attachments the taken-out copies.
struct StoreMessage {
  ReceivedMail mail;
  int AttachmentCount() const { return mail.AttachmentCount(); }
  // The file name of attachment `i` (from 0), "" when there is none.
  std::string AttachmentName(int i) const;
  // The taken-out copies, from the first.
  std::vector<std::string> AttachmentPaths() const;
};

class MailStore {
 public:
  enum RecipType { kTo = 1, kBcc = 3 };
  // What the end of a cycle does with each fetched message.
  enum class Fate {
    kOpen,      // left as it is (unread): handed out again by the next cycle
    kDelete,    // removed, once its sends reached .Sent
    kSeen,      // kept, marked seen
    kSetAside,  // kept, marked seen and flagged, with a log line naming it
  };
  static constexpr int kFetchLimitMs = 5 * 60 * 1000;
  static constexpr const char* kDefaultProfile = "メイン ユーザー";

  // `smtp` (may be null) sends for profiles with an `smtp` route.
  MailStore(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner, MailComponent* smtp,
            std::string program_folder);

  // Asked while route and fetch commands run; true ends them.
  void set_stop_check(std::function<bool()> stop) { stop_ = std::move(stop); }

  // A new mail-check cycle begins: what is logged once per cycle may be
  // logged again, and the route may time out once more.
  void NewCycle();

  // Opens the profile of `user`. A wrong password, or a profile other than
  // the default one whose folder does not exist, is Refused; a broken
  // profile.ini is Corrupt, naming the file and line; a profile folder that
  // cannot be made, or a journal that cannot be read, is an IOError.
  // Completes what a crash left in .Outbox/tmp, runs the `fetch` command
  // when `download` is set (a failure is logged and the logon goes on),
  // and, with `deliver`, retries what waits in .Outbox.
  Status Logon(const std::string& user, const std::string& password, bool download, bool deliver = true);
  // > 0 while a session is open.
  std::int64_t SessionID() const { return session_; }
  void SignOff();

  // Lists the unread messages. Messages already acted on are settled
  // instead of being handed out; messages whose processing began too often
  // are set aside.
  Status Fetch();
  // Reads and composes one small message of its own, so that what the
  // libraries set up on their first use is done before the first fetched
  // message's attempt is counted: a program killed while it starts up is
  // no fault of the message it was about to handle.
  void WarmUp();
  int MsgCount() const { return static_cast<int>(messages_.size()); }
  Status Select(int index);
  int MsgIndex() const { return selected_; }
  // The properties of the selected message; its attachments are taken out.
  // An IOError is a failure that can pass (the file or the work folder
  // cannot be read or written now); Corrupt means it can never be read.
  Status Read(StoreMessage* message);
  // The selected message's file name (for log lines).
  std::string SelectedName() const;
  // Removes the taken-out attachments of `message`.
  void DiscardAttachments(const StoreMessage& message);

  // Durable records about the selected message (see StoreJournal).
  Status RecordBegan();
  Status RecordActed();
  // True when a read or a send of message `index` failed for a reason that
  // can pass (full disk, unreadable file, unwritable folder).
  bool FailedTemporarily(int index) const;
  // The caller's own part of handling the selected message failed for a
  // reason that can pass (its settings could not be stored).
  void NoteTemporaryFailure();
  // True when a rule's action on message `index` is on record.
  bool ActedOn(int index) const;

  // Ends the cycle's work on the fetched messages: `fates` has one entry
  // per index. Deletions are recorded first, so that a crash in the middle
  // is completed by the next fetch.
  void Finish(const std::vector<Fate>& fates);

  // The files a forwarded message takes along: the selected message's
  // attachments; with no message selected (the cycle's mail came by
  // another road) the files `files` names (full paths; other entries are
  // skipped).
  std::vector<std::string> ForwardedAttachments(const std::vector<std::string>& files = {}) const;
  // Hands `message` to the store: composed, written durably into .Outbox
  // and recorded as the selected message's action, then delivered by the
  // profile's route (a failure there is the outbox's to retry and report).
  // The profile's name and address are the sender; `message.from` (a bare
  // address) stands in when the profile names no address. The Message-ID
  // names the program; no copy is saved beside the one in .Sent. A
  // recipient that is no mail address is logged and left out.
  // `before_queue` (may be empty) runs once the mail is composed, just
  // before it is queued; its failure stops the send. An error only when
  // the message is not in .Outbox; an IOError when the reason can pass.
  Status Send(const OutgoingMessage& message, const std::function<Status()>& before_queue = nullptr);

  const std::string& profile_folder() const { return profile_folder_; }

 private:
  // Settling failures of a cycle, logged together once.
  struct Failures {
    int count = 0;
    std::string first;
    void Add(const std::string& name, const Status& s) {
      if (count++ == 0) first = "<" + name + ">:" + s.message();
    }
  };

  Status OpenProfile(const std::string& user);
  // `message` as the profile sends it.
  Status ComposeForProfile(const OutgoingMessage& message, ComposedMail* mail);
  Status RecoverOutbox();
  void RunFetchCommand();
  void ClearWorkFolder();
  OutboxRoute Route();
  const MaildirMessage* Selected() const;
  // Renames a message within the profile to cur/ with `add` among its
  // flags; updates `m`.
  Status AddFlags(MaildirMessage& m, const std::string& add, bool sync);
  // Carries out what the journal says about a message that is no longer
  // handed out; true when its records are done with.
  bool SettleByRecord(MaildirMessage& m, const StoreJournal::Record& r, Failures* failures);
  void FlagSource(const std::string& base);
  // The steps of Fetch: name the entries that are no regular files (once
  // for as long as they stay), take one message (handed out, settled by
  // its record or set aside), forget the records of messages gone for good.
  void NoteOddEntries(const std::vector<std::string>& odd, std::set<std::string>* present);
  void TakeMessage(MaildirMessage& m, Failures* failures);
  void ForgetGone(const std::set<std::string>& present);
  void LogOncePerCycle(const std::string& key, const std::string& line);
  void LogFailures(const char* what, const Failures& failures);
  void SaveJournal();
  void SyncFolders();

  FileSystem& fs_;
  const Clock& clock_;
  Logger& log_;
  CommandRunner& runner_;
  MailComponent* smtp_;
  std::string program_folder_;
  std::string work_folder_;
  std::function<bool()> stop_;

  std::int64_t session_ = 0;
  std::int64_t last_session_ = 0;
  std::string profile_folder_;
  StoreProfile profile_;
  std::unique_ptr<StoreJournal> journal_;
  std::unique_ptr<StoreOutbox> outbox_;
  std::vector<MaildirMessage> messages_;
  std::vector<bool> deleted_;
  std::vector<bool> temporary_;  // per index: a failure that can pass
  int selected_ = -1;
  StoreMessage current_;  // the last message read
  std::set<std::string> logged_this_cycle_;
};

}  // namespace kelmora
