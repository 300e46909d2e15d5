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
#include "app/core/program_folder.h"
#include "mail/curl_mail_component.h"
#include "maildir/command_runner.h"
#include "maildir/mail_store.h"
#include "maildir/mail_store_reception.h"
#include "process/dispatcher.h"
#include "smtp/delivery_queue.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/strings.h"
#ifdef KELMORA_WITH_WINDOW
#include "app/gui/window_app.h"
#endif

using namespace kelmora;

namespace {

// The program with its collaborators, the same whichever front end shows
// it: how mail is received, sent and dispatched is wired here only.
class Core {
 public:
  Core(FrontEnd& front, const std::string& folder, bool no_wait)
      : program_(fs_, clock_, front, folder),
        queue_sessions_(mail_options_),
        queue_(fs_, program_.logger(), clock_, queue_sessions_, JoinPath(folder, "queue"), mail_options_),
        mail_(fs_, program_.logger(), clock_, mail_options_, &queue_),
        store_(fs_, clock_, program_.logger(), runner_, &mail_, folder),
        reception_(store_, program_.logger(), program_.settings().MapiUserName, program_.settings().MapiPassword,
                   program_.settings().DownloadFromServer),
        dispatcher_(program_.dispatch_context()) {
    program_.set_no_wait(no_wait);
    program_.set_mail_component(&mail_);
    // Recipients a server deferred wait in queue/ and are tried again at
    // the start of later cycles.
    program_.set_delivery_queue(&queue_);
    // The local mail store: read first each cycle; rows without a sender
    // address of their own send through it.
    program_.set_mail_store(&store_);
    program_.set_local_reception(&reception_);
    program_.set_processor(&dispatcher_);
  }
  Program& program() { return program_; }

 private:
  RealFileSystem fs_;
  SystemClock clock_;
  Program program_;
  MailOptions mail_options_;
  CurlSmtpSessionFactory queue_sessions_;
  DeliveryQueue queue_;
  CurlMailComponent mail_;
  RealCommandRunner runner_;
  MailStore store_;
  MailStoreReception reception_;
  Dispatcher dispatcher_;
};

int RunHeadlessFrontEnd(const CommandLine& cmd, const Placement& place) {
  InstallStopSignals();
  HeadlessFrontEnd front;
  Core core(front, place.folder, cmd.no_wait);
  front.set_program(&core.program());
  core.program().set_bundled_example(place.example);
  Status s = core.program().Start(cmd.delay);
  if (!s.ok()) ExitWithMessageHeadless(s.message(), StartupExitStatus(s));
  return RunHeadless(core.program(), cmd.once);
}

#ifdef KELMORA_WITH_WINDOW
int RunWindowFrontEnd(int& argc, char** argv, const CommandLine& cmd, const Placement& place) {
  if (!DisplayAvailable()) {
    std::cerr << NoDisplayMessage() << "\n";
    return kExitStartupFault;
  }
  WindowApp app(argc, argv);
  Core core(app.front_end(), place.folder, cmd.no_wait);
  core.program().set_bundled_example(place.example);
  Status s = core.program().Start(cmd.delay);
  if (!s.ok()) app.ExitWithMessage(s.message(), StartupExitStatus(s));
  return app.Run(core.program());
}
#else
// The kelmora command itself links no window toolkit, so that a headless
// installation needs none; the window is a program of its own, started in
// this process's place with the folder already worked out.
int RunWindowFrontEnd(int& argc, char** argv, const CommandLine& cmd, const Placement& place) {
  (void)cmd;
  const std::string window = FindWindowProgram(ExecutableFolder());
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
  std::string error;
  if (!ParseCommandLine(args, &cmd, &error)) {
    std::cerr << "kelmora: " << error << "\n" << UsageText();
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
  Placement place;
  Status placed = PlaceProgram(cmd.dir, &place);
  if (!placed.ok()) {
    std::cerr << "kelmora: " << placed.message() << "\n";
    return kExitUsage;
  }
  if (cmd.headless) return RunHeadlessFrontEnd(cmd, place);
  return RunWindowFrontEnd(argc, argv, cmd, place);
}
