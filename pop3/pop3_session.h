// SPDX-License-Identifier: GPL-3.0-or-later
// Pop3Session: one POP3 session (one connection, one login), as the fetch
// logic (Pop3Fetcher) sees it. Message numbers are those of this session;
// DELE takes effect only when QUIT ends the session. A session whose
// connection broke is over: the commands after the break fail, and its
// DELEs were never committed.
//
// An implementation may put off connecting and logging in until the first
// command (the libcurl one does); a failure of that first command then
// names the step that failed ("connect", "login", "TLS").
//
// After a refused command ("-ERR") an implementation may have closed the
// connection (libcurl does); the caller opens a new session to go on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/server_string.h"
#include "textio/status.h"

namespace kelmora {

// The outcome of one POP3 step.
struct Pop3Reply {
  // On failure: what went wrong ("connection lost", the transport's
  // words); kRefused when the server refused, else kIOError.
  Status status;
  // On failure: the step that failed when it was not the command itself
  // ("connect", "login", "TLS"), else "".
  std::string step;
  std::string refusal;  // the server's "-ERR ..." line when it refused, else ""

  bool ok() const { return status.ok(); }

  static Pop3Reply Ok() { return Pop3Reply{}; }
  static Pop3Reply Failed(std::string error, std::string refusal = "", std::string step = "") {
    Status status = refusal.empty() ? Status::IOError(std::move(error)) : Status::Refused(std::move(error));
    return Pop3Reply{std::move(status), std::move(step), std::move(refusal)};
  }
};

class Pop3Session {
 public:
  virtual ~Pop3Session() = default;

  // Connects and logs in (or gets ready to, see above).
  virtual Pop3Reply Open() = 0;
  // The multi-line answers, without the status line and the end mark:
  // "n size" lines for LIST, "n uidl" lines for UIDL.
  virtual Pop3Reply List(std::string* answer) = 0;
  virtual Pop3Reply Uidl(std::string* answer) = 0;
  // The message text as received (dot-unstuffed). A connection that breaks
  // in the middle may leave it cut off with no error: the caller compares
  // its size with LIST's.
  virtual Pop3Reply Retr(int number, std::string* message) = 0;
  virtual Pop3Reply Dele(int number) = 0;
  virtual Pop3Reply Noop() = 0;

  // RETR of several messages, in order: each whole message is put into
  // *buffer and `each` is called with its index in `wanted`; `each`
  // returning false stops the fetch there (the session stays usable).
  // *handed counts the messages handed to `each`; on failure the message
  // at that index is the one whose RETR failed. A message handed out is
  // whole: one whose size differs from `size` (LIST's) counts only when
  // the connection is provably still in step. A pipelining session keeps
  // several RETRs on the way; this default sends one after the other.
  struct Wanted {
    int number;
    std::uint64_t size;  // from LIST
  };
  virtual Pop3Reply RetrMany(const std::vector<Wanted>& wanted, std::string* buffer,
                             const std::function<bool(size_t index)>& each, size_t* handed);
  // DELE of several messages; *deleted counts those the server took before
  // the first failure. A pipelining session sends them in one write.
  virtual Pop3Reply DeleMany(const std::vector<int>& numbers, size_t* deleted);

  // Ends the session; the server then commits the DELEs. The destructor
  // quits an open session too.
  virtual void Quit() = 0;
};

// Makes sessions of one account; every session is a new connection.
class Pop3SessionFactory {
 public:
  virtual ~Pop3SessionFactory() = default;
  virtual std::unique_ptr<Pop3Session> NewSession(const Pop3Server& server, const std::string& user,
                                                  const std::string& password) = 0;
};

}  // namespace kelmora
