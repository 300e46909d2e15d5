// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: kelmora [DELAY] [--dir DIR] [--headless] [--once]
// [--no-wait] [--help] [--version]
#pragma once

#include <string>
#include <vector>

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

// Parses argv[1..]. On a bad argument returns false with *error set.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

std::string UsageText();

// The folder that holds the running executable.
std::string ExecutableFolder();

}  // namespace kelmora
