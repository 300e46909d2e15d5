// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: kelmora [DELAY] [--dir DIR] [--headless] [--once]
// [--no-wait] [--help] [--version]
#pragma once

#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct CommandLine {
  std::string delay;  // the optional number, as given ("" when absent)
  std::string dir;    // program folder; "" = none given (the last --dir counts)
  bool headless = false;
  bool once = false;
  bool no_wait = false;
  bool help = false;
  bool version = false;
};

// Parses argv[1..]. A bad argument fails (invalid argument) with the text
// that goes in front of the usage.
[[nodiscard]] Status ParseCommandLine(const std::vector<std::string>& args, CommandLine* out);

std::string UsageText();

// The folder that holds the running executable, as the kernel names it
// (the link /proc/self/exe); "." when that cannot be read.
std::string ExecutableFolder(const FileSystem& fs);

}  // namespace kelmora
