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
#include "receive/delivery_queue.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/strings.h"

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

  MailOptions mail_options;
  CurlSmtpSessionFactory queue_sessions(mail_options);
  DeliveryQueue queue(fs, program.logger(), clock, queue_sessions, JoinPath(folder, "queue"), mail_options);
  program.set_delivery_queue(&queue);
  CurlMailComponent mail(fs, program.logger(), clock, mail_options, &queue);
  program.set_mail_component(&mail);
  Dispatcher dispatcher(program.dispatch_context());
  program.set_processor(&dispatcher);

  Status s = program.Start(cmd.delay);
  if (!s.ok()) ExitWithMessageHeadless(s.message());
  return RunHeadless(program, cmd.once);
}
