// SPDX-License-Identifier: GPL-3.0-or-later
// RecordingCommandRunner: a CommandRunner that starts nothing. It records
// every call and answers with the outcome a test set for it. With a file
// system it also records what the program would have read on its standard
// input (the input file from its offset).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "maildir/command_runner.h"
#include "textio/file_system.h"

namespace kelmora {

class RecordingCommandRunner : public CommandRunner {
 public:
  struct Call {
    std::vector<std::string> argv;
    std::string folder;
    std::string input;       // the input file's bytes from its offset
    std::string input_path;
    int limit_ms = 0;
    bool had_stop = false;   // the request carried a stop check
  };

  explicit RecordingCommandRunner(const FileSystem* fs = nullptr) : fs_(fs) {}
  void set_file_system(const FileSystem* fs) { fs_ = fs; }

  Status Run(const CommandRequest& request, CommandResult* result) override {
    Call call{request.argv, request.folder, "", request.input_path, request.limit_ms, bool(request.stop)};
    if (fs_ != nullptr && !request.input_path.empty()) {
      std::string bytes;
      if (fs_->ReadRegularFile(request.input_path, &bytes).ok() &&
          static_cast<size_t>(request.input_offset) <= bytes.size()) {
        call.input = bytes.substr(static_cast<size_t>(request.input_offset));
      }
    }
    calls.push_back(call);
    *result = CommandResult();
    if (on_run) on_run(calls.back());
    if (!start_error.empty()) return Status::NotFound(start_error);
    // A stop asked for before or while the program runs ends it.
    if (request.stop && request.stop()) {
      result->stopped = true;
      result->signal = 15;
      return Status::OK();
    }
    result->exit_code = exit_code;
    result->timed_out = timed_out;
    if (timed_out) {
      result->exit_code = -1;
      result->signal = 15;
    }
    result->output = output;
    return Status::OK();
  }

  std::vector<Call> calls;
  int exit_code = 0;
  bool timed_out = false;
  std::string output;
  std::string start_error;  // non-empty: the program cannot be started
  std::function<void(const Call&)> on_run;

 private:
  const FileSystem* fs_;
};

}  // namespace kelmora
