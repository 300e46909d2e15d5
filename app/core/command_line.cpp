// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/command_line.h"

namespace kelmora {

Status ParseCommandLine(const std::vector<std::string>& args, CommandLine* out) {
  *out = CommandLine();
  bool have_delay = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--dir") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return Status::InvalidArgument("--dir needs a folder");
      }
      out->dir = args[++i];
    } else if (a.rfind("--dir=", 0) == 0) {
      out->dir = a.substr(6);
      if (out->dir.empty()) {
        return Status::InvalidArgument("--dir needs a folder");
      }
    } else if (a == "--headless") {
      out->headless = true;
    } else if (a == "--once") {
      out->once = true;
      out->headless = true;
    } else if (a == "--no-wait") {
      out->no_wait = true;
    } else if (a == "--help" || a == "-h") {
      out->help = true;
    } else if (a == "--version") {
      out->version = true;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return Status::InvalidArgument("unknown option " + a);
    } else if (!have_delay) {
      // The one positional argument is the pause between one-by-one sends;
      // like any number in the program, text that is no number reads as 0.
      out->delay = a;
      have_delay = true;
    } else {
      return Status::InvalidArgument("unexpected argument " + a);
    }
  }
  return Status::OK();
}

std::string UsageText() {
  return "Usage: kelmora [DELAY] [--dir DIR] [--headless] [--once] [--no-wait] [--help] [--version]\n"
         "\n"
         "  DELAY       pause in milliseconds between two one-by-one sends (at most 5000)\n"
         "  --dir DIR   program folder (default: ~/Kelmora when installed, else the folder of\n"
         "              the executable)\n"
         "  --headless  no window: run mail checks on the minute timer until SIGINT/SIGTERM\n"
         "  --once      headless: start, run one mail check at once, save and exit\n"
         "  --no-wait   skip the fixed waits after sends (tests and benchmarks only)\n"
         "  --help      show this text\n"
         "  --version   show the version\n"
         "\n"
         "Exit status: 0 done; 1 start-up fault (a data file); 2 bad command line; 3 the check\n"
         "(--once) logged a failure; 4 another copy works on the program folder.\n";
}

std::string ExecutableFolder(const FileSystem& fs) {
  std::string path;
  if (!fs.ReadLink("/proc/self/exe", &path).ok() || path.empty()) return ".";
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace kelmora
