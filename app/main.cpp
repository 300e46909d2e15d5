// SPDX-License-Identifier: GPL-3.0-or-later
// kelmora: the private mailing-list server.
#include <malloc.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/core/command_line.h"
#include "app/core/exit_status.h"
#include "app/core/headless.h"
#include "app/core/program.h"
#include "app/core/program_factory.h"
#include "app/core/program_folder.h"
#include "textio/codepage.h"
#ifdef KELMORA_WITH_WINDOW
#include "app/gui/window_app.h"
#endif

using namespace kelmora;

namespace {

int RunHeadlessFrontEnd(const CommandLine& cmd, const Placement& place) {
  InstallStopSignals();
  HeadlessFrontEnd front;
  auto core = BuildKelmora(front, place.folder, place.example, cmd.no_wait);
  front.set_program(&core->program());
  Status s = core->program().Start(cmd.delay);
  if (!s.ok()) ExitWithMessageHeadless(s.message(), StartupExitStatus(s));
  return RunHeadless(core->program(), cmd.once);
}

#ifdef KELMORA_WITH_WINDOW
int RunWindowFrontEnd(int& argc, char** argv, const CommandLine& cmd, const Placement& place) {
  if (!DisplayAvailable()) {
    std::cerr << NoDisplayMessage() << "\n";
    return kExitStartupFault;
  }
  WindowApp app(argc, argv);
  auto core = BuildKelmora(app.front_end(), place.folder, place.example, cmd.no_wait);
  Status s = core->program().Start(cmd.delay);
  if (!s.ok()) app.ExitWithMessage(s.message(), StartupExitStatus(s));
  return app.Run(core->program());
}
#else
// The kelmora command itself links no window toolkit, so that a headless
// installation needs none; the window is a program of its own, started in
// this process's place with the folder already worked out.
int RunWindowFrontEnd(int& argc, char** argv, const CommandLine& cmd, const Placement& place) {
  (void)cmd;
  const std::string window = FindWindowProgram(place.exe_folder);
  if (window.empty()) {
    std::cerr << "kelmora: this installation has no window (the package kelmora-gui adds it); "
                 "run it with --headless, or --once for a single mail check\n";
    return kExitUsage;
  }
  std::vector<std::string> extra = {"--dir", place.folder};  // the last --dir counts
  std::vector<char*> args(argv, argv + argc);
  for (std::string& e : extra) args.push_back(e.data());
  args.push_back(nullptr);
  ::execv(window.c_str(), args.data());
  std::cerr << "kelmora: cannot start " << window << ": " << std::strerror(errno) << "\n";
  return kExitStartupFault;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // Every message passes through buffers of up to a few MB. By default
  // glibc maps each buffer over 128 KB freshly and unmaps it when freed,
  // so its pages fault in again for every message; kept in the heap they
  // are reused. Program hands the memory back after each cycle.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine cmd;
  if (Status parsed = ParseCommandLine(args, &cmd); !parsed.ok()) {
    std::cerr << "kelmora: " << parsed.message() << "\n" << UsageText();
    return kExitUsage;
  }
  if (cmd.help) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (cmd.version) {
    std::cout << "kelmora " << KELMORA_VERSION << "\n";
    return kExitOk;
  }
  if (Status s = CheckCodePage(); !s.ok()) {
    std::cerr << "kelmora: " << s.message() << "\n";
    return kExitStartupFault;
  }
  Placement place;
  RealFileSystem fs;
  Status placed = PlaceProgram(fs, cmd.dir, &place);
  if (!placed.ok()) {
    std::cerr << "kelmora: " << placed.message() << "\n";
    return kExitUsage;
  }
  if (cmd.headless) return RunHeadlessFrontEnd(cmd, place);
  return RunWindowFrontEnd(argc, argv, cmd, place);
}
