// SPDX-License-Identifier: GPL-3.0-or-later
// CommandRunner: runs an outside program (a sendmail-compatible command, a
// fetch command) and waits for it, so that the mail store can be tested
// with a recording double instead of real processes.
//
// A command line is split into words the way a shell splits simple ones:
// blanks separate words, single quotes keep everything literally, double
// quotes group words and a backslash takes the next character literally.
// No shell runs: there is no expansion of variables or wildcards and no
// pipe or redirection. A profile that needs them says so itself, e.g.
// `sh -c 'fetchmail -s && notmuch new'`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "textio/status.h"

namespace kelmora {

struct CommandRequest {
  std::vector<std::string> argv;  // argv[0] is looked up in PATH when it holds no "/"
  std::string folder;             // working folder; "" = the current one
  // Standard input: this file, read by the program itself from
  // `input_offset` on (opened without following a link, and refused unless
  // it is a regular file); "" = nothing (/dev/null).
  std::string input_path;
  std::int64_t input_offset = 0;
  int limit_ms = 0;
  // Asked several times a second while the program runs; true ends it.
  std::function<bool()> stop;
};

struct CommandResult {
  bool timed_out = false;  // killed at the time limit
  bool stopped = false;    // killed because `stop` said so
  int exit_code = -1;      // the program's exit status; -1 when it died of a signal
  int signal = 0;          // the signal it died of, when it did
  std::string output;      // standard output and error, at most the first 4 KB
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs the program and waits for it to exit (not for its output to end:
  // a background process it leaves behind does not keep the caller
  // waiting). The program and everything it started are killed when it
  // runs longer than `limit_ms` or when `stop` says so. A program that
  // cannot be started (or an input file that cannot be opened) is an error
  // status; otherwise the status is OK and *result tells the outcome.
  virtual Status Run(const CommandRequest& request, CommandResult* result) = 0;
};

// fork/exec. The child runs in its own process group and is killed when
// this process dies (a parent-death signal), so that nothing it was doing
// for a dead program goes on unattended.
class RealCommandRunner : public CommandRunner {
 public:
  Status Run(const CommandRequest& request, CommandResult* result) override;
};

// The words of a command line (see the file comment). False when a quote is
// left open.
bool SplitCommandLine(const std::string& line, std::vector<std::string>* words);

// How a run ended, for a log line: the program's name (never its
// arguments, which may hold a password), then "exit N" or "signal N" or
// the time-out, and at most the first line of its output, on one line.
std::string DescribeCommandOutcome(const std::vector<std::string>& argv, const CommandResult& result);

// The first non-blank line of `text`, trimmed; CR and LF never remain.
std::string FirstLine(const std::string& text);

}  // namespace kelmora
