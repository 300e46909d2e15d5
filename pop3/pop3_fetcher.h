// SPDX-License-Identifier: GPL-3.0-or-later
// Pop3Fetcher: fetches every message of one POP3 account into a folder.
//
// One session per call (a second one only when the server refused UIDL):
// LIST and UIDL, then RETR of each message into a temporary file beside its
// fresh name. Messages are committed in batches (64 messages or 16 MB):
// flushed, renamed into place, the folder flushed once, and only then is
// each message of the batch deleted (DELE). The session ends with QUIT,
// which commits the deletions. No message is deleted before it is durable
// under its final name; a session that breaks commits what arrived and
// deletes nothing more (the next session deletes those by UIDL). A message
// is stored only when its whole text arrived (Pop3Session::RetrMany
// vouches for it). Batches are cut by LIST's sizes, so that a server that
// pipelines gets the RETRs of a batch in windows and its DELEs in one
// write; the others get one command after the other.
//
// The ReceiveJournal of the folder records each message (account and UIDL)
// before it is fetched, so a session that breaks after DELE and before QUIT
// does not make the next session store the same message again: that
// session finds the UIDL, skips the store and deletes the message again.
//
// Sessions come from a Pop3SessionFactory (libcurl in the program, a
// scripted fake in tests); server strings are read by ParsePop3Server
// (server_string.h).
#pragma once

#include <string>
#include <vector>

#include "net/server_string.h"
#include "pop3/pop3_session.h"
#include "pop3/receive_journal.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct Pop3FetchResult {
  std::vector<std::string> stored;  // file names stored in this session, in server order
  Status status;                    // OK when the session went through to QUIT
};

class Pop3Fetcher {
 public:
  // `clock` stamps the names of stored files.
  Pop3Fetcher(FileSystem& fs, const Clock& clock, Pop3SessionFactory& sessions);

  // Fetches the account's messages into `folder`. New records go into
  // *journal (as stored, not yet handed out); the caller saves it. The
  // journal is written once before the first RETR, so that a crash in the
  // middle leaves no stored file unrecorded. A failure names the server,
  // the user, the step and, when there was one, the server's reply; never
  // the password (a server may echo it).
  Pop3FetchResult Fetch(const std::string& server, const std::string& user, const std::string& password,
                        const std::string& folder, ReceiveJournal* journal);

 private:
  // One call of Fetch: its session, its plan and the batch on the way to
  // disk, step by step.
  class Run;

  // Fetch without the scrubbing of the failure text.
  Pop3FetchResult FetchUnscrubbed(const std::string& server, const std::string& user, const std::string& password,
                                  const std::string& folder, ReceiveJournal* journal);

  // A fresh file name "yyyymmddhhmmss-nnnnnn-pid.eml" that neither the
  // journal nor the folder holds, or "" when none is free.
  std::string NewName(const ReceiveJournal& journal);

  FileSystem& fs_;
  const Clock& clock_;
  Pop3SessionFactory& sessions_;
  unsigned name_sequence_ = 0;
};

}  // namespace kelmora
