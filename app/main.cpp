// kelmora: the private mailing-list server.
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/core/command_line.h"
#include "app/core/headless.h"
#include "app/core/program.h"
#include "process/dispatcher.h"
#include "receive/curl_mail_component.h"
#include "receive/mail_store.h"
#include "receive/mail_store_reception.h"
#include "textio/command_runner.h"
#include "textio/clock.h"
#include "textio/file_system.h"

using namespace kelmora;

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine cmd;
  std::string error;
  if (!ParseCommandLine(args, &cmd, &error)) {
    std::cerr << "kelmora: " << error << "\n" << UsageText();
    return 2;
  }
  if (cmd.help) {
    std::cout << UsageText();
    return 0;
  }
  if (cmd.version) {
    std::cout << "kelmora " << KELMORA_VERSION << "\n";
    return 0;
  }
  std::string folder = cmd.dir.empty() ? ExecutableFolder() : cmd.dir;
  char resolved[PATH_MAX];
  if (::realpath(folder.c_str(), resolved) == nullptr) {
    std::cerr << "kelmora: the program folder " << folder << " does not exist\n";
    return 2;
  }
  folder = resolved;
  if (!cmd.headless) {
    std::cerr << "kelmora: this build has no window; run it with --headless or --once\n";
    return 2;
  }

  InstallStopSignals();
  RealFileSystem fs;
  SystemClock clock;
  HeadlessFrontEnd front;
  Program program(fs, clock, front, folder);
  front.set_program(&program);
  program.set_no_wait(cmd.no_wait);

  CurlMailComponent mail(fs, program.logger());
  program.set_mail_component(&mail);
  // The local mail store: read first each cycle; rows without a sender
  // address of their own send through it.
  RealCommandRunner runner;
  MailStore store(fs, clock, program.logger(), runner, &mail, folder);
  MailStoreReception reception(store, program.logger(), program.settings().MapiUserName,
                               program.settings().MapiPassword, program.settings().DownloadFromServer);
  program.set_mail_store(&store);
  program.set_local_reception(&reception);
  Dispatcher dispatcher(program.dispatch_context());
  program.set_processor(&dispatcher);

  Status s = program.Start(cmd.delay);
  if (!s.ok()) ExitWithMessageHeadless(s.message());
  return RunHeadless(program, cmd.once);
}
