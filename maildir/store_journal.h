// SPDX-License-Identifier: GPL-3.0-or-later
// StoreJournal: what the local mail store must remember about its received
// messages across cycles and crashes, keyed by a message's Maildir base
// name (the part before ":2,", which no move or flag change alters).
//
// Per message it knows:
//   began     how often its processing began in a cycle that never
//             finished while the program still worked on the message
//             itself (reading it, walking the rules, composing what it
//             sends): a message that brings the program down is set aside
//             after kMaxAttempts. Once an attempt got through to handing
//             its mail to the disk, it no longer counts: a program killed
//             while it waits for the disk or a route is no fault of the
//             message;
//   acted     a rule acted on it (saved, registered, answered, ...): it must
//             never be processed again;
//   sends     the outgoing copies made for it, by their .Outbox names; a
//             copy is "unconfirmed" from the moment it was written into
//             .Outbox/tmp until it was seen in .Outbox proper: a message
//             whose copy never got there is processed again;
//   remove    the cycle decided to delete it (carried out once every copy
//             of its sends reached .Sent).
// A message with a confirmed send counts as acted on.
//
// The file (kelmora-journal in the profile) holds one record per line:
//   "began <base>", "passed <base>" (the attempt got through; it cancels
//   the attempts before it), "odd <key>" (an entry that is no mail was
//   named in the log), "acted <base>", "queued <base> <copy>" (unconfirmed),
//   "outgoing <base> <copy>" (confirmed), "delete <base>".
// Names are %-escaped (every byte below "!", "%" and DEL), so a name with
// blanks or line breaks round-trips. Records are appended and (but for the
// attempts, which only a dying program needs) flushed to disk before a
// call returns; a last line cut short by a crash never
// counted. Save rewrites the file with what is still needed (atomically:
// a new file renamed over the old one). The file is opened without
// following a link and without waiting on a named pipe; anything but a
// regular file is refused.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

class StoreJournal {
 public:
  static constexpr int kMaxAttempts = 3;

  struct Send {
    std::string copy;  // the outgoing copy's name in .Outbox
    bool confirmed = false;
  };
  struct Record {
    int began = 0;
    bool acted = false;
    bool remove = false;
    bool odd = false;
    std::vector<Send> sends;
    bool ActedOn() const;
    bool Empty() const { return began == 0 && !acted && !remove && !odd && sends.empty(); }
  };

  StoreJournal(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  // Reads the file (a missing one is an empty journal). An error when it
  // cannot be read or is not a regular file: then nobody can tell what was
  // already done, and the store must not be used.
  Status Load();

  // Durable records; each also updates the journal in memory.
  Status RecordBegan(const std::string& base) { return Append("began", base, "", false); }
  Status RecordPassed(const std::string& base) { return Append("passed", base, "", false); }
  // An entry that is no mail was named in the log (keyed by its name).
  Status RecordOdd(const std::string& key) { return Append("odd", key, "", false); }
  Status RecordActed(const std::string& base) { return Append("acted", base, "", true); }
  Status RecordQueued(const std::string& base, const std::string& copy) { return Append("queued", base, copy, true); }
  // One record per base, flushed once.
  Status RecordDeletes(const std::vector<std::string>& bases);

  // Changes in memory only, written by the next Save.
  void Confirm(const std::string& base, const std::string& copy);
  void DropSend(const std::string& base, const std::string& copy);
  void ForgetAttempts(const std::string& base);
  void CancelRemove(const std::string& base);
  void Forget(const std::string& base);

  // Rewrites the file with the records still held (removes it when there
  // are none). Does nothing when nothing changed since the last Load/Save.
  Status Save();

  // nullptr when the message has no record.
  const Record* Find(const std::string& base) const;
  const std::map<std::string, Record>& records() const { return records_; }
  const std::string& path() const { return path_; }

  // The escaping of names in the file.
  static std::string Escape(const std::string& name);
  static std::string Unescape(const std::string& text);

 private:
  Status Append(const char* kind, const std::string& base, const std::string& copy, bool flush);
  void Apply(const std::string& kind, const std::string& base, const std::string& copy);

  FileSystem& fs_;
  std::string path_;
  std::map<std::string, Record> records_;
  bool dirty_ = false;  // memory differs from what Save last wrote
};

}  // namespace kelmora
