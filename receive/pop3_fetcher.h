// Pop3Fetcher: fetches every message of one POP3 account into a folder.
//
// One session per call, on one libcurl handle (one connection): LIST and
// UIDL, then for each message RETR, a durable store under a fresh name,
// and only then DELE; the session ends with QUIT, which commits the
// deletions. A message is stored only when its whole text arrived: a RETR
// whose size differs from the LIST size counts only if the connection is
// provably still in step afterwards (a NOOP on it succeeds).
//
// The ReceiveJournal of the folder records each message (account and UIDL)
// before it is fetched, so a session that breaks after DELE and before QUIT
// does not make the next session store the same message again: that
// session finds the UIDL, skips the store and deletes the message again.
#pragma once

#include <string>
#include <vector>

#include "receive/mail_options.h"
#include "receive/receive_journal.h"
#include "textio/file_system.h"

namespace kelmora {

// Where a POP3 server string points. Accepted forms: "host", "host:port",
// "[v6]:port", "pop3://host[:port]", "pop3s://host[:port]" (a user part and
// a path in a URL are ignored: the account names the user).
struct Pop3Server {
  bool implicit_tls = false;  // pop3s: TLS from the first byte
  std::string host;           // without brackets
  int port = 110;
  std::string Url() const;    // "pop3://host:port" or "pop3s://host:port"
  std::string Display() const;  // "host:port", or "pop3s://host:port"
};
// False (with *error set) when `text` is no usable server string.
bool ParsePop3Server(const std::string& text, Pop3Server* server, std::string* error);

struct Pop3FetchResult {
  std::vector<std::string> stored;  // file names stored in this session, in server order
  std::string failure;              // "" when the session went through to QUIT
};

class Pop3Fetcher {
 public:
  Pop3Fetcher(FileSystem& fs, MailOptions options);

  // Fetches the account's messages into `folder`. New records go into
  // *journal (as stored, not yet handed out); the caller saves it. The
  // journal is written once before the first RETR, so that a crash in the
  // middle leaves no stored file unrecorded. `failure` names the server,
  // the user, the step and, when there was one, the server's reply.
  Pop3FetchResult Fetch(const std::string& server, const std::string& user, const std::string& password,
                        const std::string& folder, ReceiveJournal* journal);

 private:
  std::string NewName(const std::string& folder, const ReceiveJournal& journal);

  FileSystem& fs_;
  MailOptions options_;
};

}  // namespace kelmora
