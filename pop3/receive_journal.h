// SPDX-License-Identifier: GPL-3.0-or-later
// ReceiveJournal: what the POP3 path must remember about fetched messages
// across sessions, crashes and power loss. It lives as one hidden file in
// the reception folder and answers two questions:
//
// (a) Which messages on a server are already stored here? A message is
//     recorded (account, UIDL) before it is fetched and stays recorded until
//     the server no longer lists it. If a session breaks after DELE but
//     before QUIT, the server keeps the message and the next fetch finds its
//     UIDL here: it deletes it again instead of storing a duplicate.
//
// (b) Which stored messages has the program not finished with? Every stored
//     message is "unsettled" until MarkSettled; unsettled messages whose
//     file is still present are handed out again by the next fetch of their
//     account, before new mail. Two kinds are set aside under their
//     "...Error.txt" name instead: a message whose processing began
//     kMaxAttempts times without finishing (it brings the program down),
//     and a message some rule already acted on (sent, replied, saved,
//     registered): processing it again would act twice. Only the attempts
//     at a message count, not how often it waited behind another one.
//
// File format (UTF-8, one record per line, LF):
//   line 1: the header kHeader
//   "M" TAB name TAB account TAB uidl TAB on_server TAB hand_outs TAB settled
//       TAB attempts TAB acted TAB check   (the last two fields may be absent)
//   "S" TAB name TAB check      (a settle mark appended by AppendSettled)
//   "B" TAB name TAB check      (processing began, appended by AppendMark)
//   "A" TAB name TAB check      (a rule acted, appended by AppendMark)
// `check` is a hash of the rest of the line. Fields are %-escaped. An
// appended mark torn by a power loss during its append is ignored; anything
// else that does not parse makes
// the whole journal untrustworthy: it is moved aside and the journal starts
// empty. The stored message files are never touched by that recovery.
//
// Not thread-safe; one program instance owns a reception folder.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

class ReceiveJournal {
 public:
  static constexpr int kMaxAttempts = 3;
  static constexpr const char* kFileName = ".receive-journal";
  static constexpr const char* kHeader = "kelmora receive journal 1";

  struct Entry {
    std::string name;      // file name inside the folder
    std::string account;   // see AccountKey
    std::string uidl;      // "" when the server gave none
    bool on_server = true; // the server may still hold the message
    int hand_outs = 0;     // times the name was handed out by a fetch
    bool settled = false;  // the program is done with the message
    int attempts = 0;      // times its processing began
    bool acted = false;    // a rule acted on it
  };

  // The marks the program appends while it processes a stored message.
  enum class Mark { kSettled, kBegan, kActed };

  // `clock` stamps the name under which an unreadable journal is set aside.
  ReceiveJournal(FileSystem& fs, const Clock& clock, std::string folder);

  // The key under which an account's records are kept.
  static std::string AccountKey(const std::string& server, const std::string& user);

  // Reads the journal file (a missing file is an empty journal) and drops
  // what no longer matters: records of messages whose file vanished before
  // it was ever handed out (the store never happened, so the message must
  // be fetched again), and settled records the server no longer holds. A
  // stored message whose file vanished after a hand-out counts as settled.
  // Fails (Corrupt) with the line for the main log when the journal was
  // unreadable and was moved aside; the journal then starts empty.
  [[nodiscard]] Status Load();

  // Removes every temporary file in the folder: what writes cut off by a
  // crash left behind (stores of a batch that was never committed, readable
  // forms, journal rewrites). Only to be called while nothing writes there,
  // as at the start of the first fetch of a program run.
  void RemoveStaleTemporaries();

  // Writes the whole journal atomically and durably.
  Status Save();

  // ---- (a) the server side ----

  // True when the account's message with this UIDL is already stored.
  bool HoldsUidl(const std::string& account, const std::string& uidl) const;
  // The server listed exactly `listed` for the account: records of UIDLs not
  // among them are no longer on the server.
  void KeepOnlyListedUidls(const std::string& account, const std::set<std::string>& listed);
  // Records a message that is about to be stored under `name`.
  void AddStored(const std::string& name, const std::string& account, const std::string& uidl);
  // Forgets a record made by AddStored for a message that was not stored.
  void Forget(const std::string& name);

  // ---- (b) the hand-out side ----

  // The account's unsettled messages whose file is present, in the order
  // they were stored; each counts one more hand-out. A message whose
  // processing began kMaxAttempts times, or that a rule acted on, is not
  // returned: its file is renamed to StripExtension(path) + "Error.txt" and
  // the new path is added to *set_aside (too many attempts) or *acted_aside
  // (or, when the rename fails, the problem to *problems).
  std::vector<std::string> TakeUnsettled(const std::string& account, std::vector<std::string>* set_aside,
                                         std::vector<std::string>* acted_aside,
                                         std::vector<std::string>* problems);
  // Counts one hand-out of a message stored in this session.
  void CountHandOut(const std::string& name);
  // Counts one attempt at processing the message (what a kBegan mark
  // records on disk).
  void CountAttempt(const std::string& name);
  // The program is done with the message.
  void Settle(const std::string& name);

  // Appends a mark for `name` to the journal file of `folder` without
  // reading it; cheap enough to run a few times per processed message. The
  // mark survives the program being killed at any later moment. Does
  // nothing when the folder has no journal.
  static Status AppendMark(FileSystem& fs, const std::string& folder, Mark mark, const std::string& name);
  static Status AppendSettled(FileSystem& fs, const std::string& folder, const std::string& name) {
    return AppendMark(fs, folder, Mark::kSettled, name);
  }

  std::string Path() const;
  std::string PathOf(const std::string& name) const;  // full path of a stored file
  const std::vector<Entry>& entries() const { return entries_; }
  // True when some name in the journal is `name`.
  bool Knows(const std::string& name) const;

 private:
  // A mark read from the file: its kind ('S', 'B' or 'A') and the name.
  using ReadMark = std::pair<char, std::string>;

  Entry* Find(const std::string& name);
  // Moves an unreadable journal aside; the failure names where it went.
  Status SetAside(const std::string& path, const Status& read);
  void ApplyMarks(const std::vector<ReadMark>& marks);
  // Settles the records whose file vanished after a hand-out and drops
  // those whose file vanished before one; answers the names dropped.
  std::set<std::string> ForgetVanished();
  void DropFinished();
  // Removes the temporary files of stores that never completed.
  void RemoveTornStores(const std::set<std::string>& names);

  FileSystem& fs_;
  const Clock& clock_;
  std::string folder_;
  std::vector<Entry> entries_;
};

}  // namespace kelmora
