// SPDX-License-Identifier: GPL-3.0-or-later
// RecordingCommandRunner: a CommandRunner that starts nothing. It records
// every call and answers with the outcome a test set for it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "textio/command_runner.h"

namespace kelmora {

class RecordingCommandRunner : public CommandRunner {
 public:
  struct Call {
    std::vector<std::string> argv;
    std::string folder;
    std::string input;
    int limit_ms = 0;
  };

  Status Run(const std::vector<std::string>& argv, const std::string& folder, const std::string& input,
             int limit_ms, CommandResult* result) override {
    calls.push_back(Call{argv, folder, input, limit_ms});
    *result = CommandResult();
    if (on_run) on_run(calls.back());
    if (!start_error.empty()) return Status::NotFound(start_error);
    result->exit_code = exit_code;
    result->timed_out = timed_out;
    result->output = output;
    return Status::OK();
  }

  std::vector<Call> calls;
  int exit_code = 0;
  bool timed_out = false;
  std::string output;
  std::string start_error;  // non-empty: the program cannot be started
  std::function<void(const Call&)> on_run;
};

}  // namespace kelmora
