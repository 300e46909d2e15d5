// SPDX-License-Identifier: GPL-3.0-or-later
// Inbox: the messages one mail-check cycle received, whichever road they
// came by. The dispatcher walks them by index (0 .. Count()-1), reads each
// into a ReceivedMail and, when it has finished with one, says what becomes
// of it; Finish() ends the cycle's work on the inbox.
//
// Contract:
//   - Read(i) gives a fresh record: a message that cannot be read returns an
//     error and never the fields of another message.
//   - Settle(i) is called at most once per message; a message that is never
//     settled (the cycle stopped before reaching it) stays as it arrived and
//     may be handed out again by a later cycle.
//   - BeginProcessing(i) is called before message i is read; RecordAction(i)
//     once, just before the first rule acts on it (sends, answers, saves,
//     registers). Both are recorded durably at once, so that a crash never
//     makes a message acted on a second time, and a message that brings the
//     program down is not handed out for ever.
//   - Finish() is called once, after the last message was settled.
//     Deletions an inbox defers (the local store deletes from the highest
//     index down, and marks what it keeps as seen) happen there. A cycle
//     that stopped early or failed does not call it, so nothing deferred
//     takes effect then; what RecordAction recorded still holds.
#pragma once

#include <string>
#include <vector>

#include "mail/received_mail.h"
#include "textio/status.h"

namespace kelmora {

// The road the messages of a cycle came by.
enum class ReceptionMode { kNone = 0, kLocalStore = 1, kPop3 = 2 };

class Inbox {
 public:
  // What becomes of a message the dispatcher has finished with.
  enum class Disposition {
    kDelete,        // gone for good
    kKeepReadable,  // kept; a stored copy is rewritten in readable form
    kSetAside,      // kept apart as a failure ("...Error.txt")
    kKeepAsIs,      // left exactly as it is
  };

  virtual ~Inbox() = default;

  virtual ReceptionMode mode() const = 0;
  virtual int Count() const = 0;

  // Reads message `index` into *mail, replacing every field with what the
  // reader gives (mime/mail_reader.h). On failure *mail is a fresh record
  // with at most its StoredName, and the Status's message is the text the
  // log shows after that name.
  virtual Status Read(int index, ReceivedMail* mail) = 0;

  // The attachments of message `index`, TAB-joined as the send methods take
  // them, and one per element in *names (from element 0). For stored mail
  // these are the saved files' paths; a store may give the names it knows
  // the attachments by.
  virtual std::string AttachmentList(int index, const ReceivedMail& mail, std::vector<std::string>* names) = 0;

  // Removes the files the reading of message `index` left behind (saved
  // attachments). Called when no send for the message failed.
  virtual void DiscardAttachments(int index, const ReceivedMail& mail) = 0;

  // Processing of message `index` begins; recorded durably before any rule
  // runs, so that a message that brings the program down every time is set
  // aside after a few attempts instead of being handed out for ever.
  virtual void BeginProcessing(int index) = 0;

  // A rule is about to act on message `index` (send, reply, save, register,
  // answer, remove a member); recorded durably at once, so that a message
  // stopped half-way is never handed out again to act twice.
  virtual void RecordAction(int index) = 0;

  virtual void Settle(int index, const ReceivedMail& mail, Disposition how) = 0;

  // The name under which the owner finds message `index` after Settle, for
  // log lines: a road that renames a message it sets aside says the new
  // name. By default the stored name.
  virtual std::string SettledName(int index, const ReceivedMail& mail) const {
    (void)index;
    return mail.StoredName;
  }

  // Settles message `index`, which no rule processed, so that its owner can
  // still read it whole: headers, attachments and every character. Returns
  // a text that says where it is kept, for the main log ("" when the road
  // has nothing to add). By default it is kept like any other message.
  virtual std::string KeepUnprocessed(int index, const ReceivedMail& mail) {
    Settle(index, mail, Disposition::kKeepReadable);
    return "";
  }

  virtual void Finish() = 0;
};

}  // namespace kelmora
