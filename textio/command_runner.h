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

#include <string>
#include <vector>

#include "textio/status.h"

namespace kelmora {

struct CommandResult {
  bool timed_out = false;  // killed at the time limit
  int exit_code = -1;      // the program's exit status; -1 when it died of a signal
  std::string output;      // standard output and error, at most the first 4 KB
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs argv[0] (looked up in PATH when it holds no "/") with the other
  // words as arguments, in `folder` ("" = the current one), feeding `input`
  // on standard input. The child and everything it started are killed when
  // it runs longer than `limit_ms`. A program that cannot be started is an
  // error status; otherwise the status is OK and *result tells the outcome.
  virtual Status Run(const std::vector<std::string>& argv, const std::string& folder, const std::string& input,
                     int limit_ms, CommandResult* result) = 0;
};

// fork/exec with pipes; the child runs in its own process group.
class RealCommandRunner : public CommandRunner {
 public:
  Status Run(const std::vector<std::string>& argv, const std::string& folder, const std::string& input,
             int limit_ms, CommandResult* result) override;
};

// The words of a command line (see the file comment). False when a quote is
// left open.
bool SplitCommandLine(const std::string& line, std::vector<std::string>* words);

}  // namespace kelmora
