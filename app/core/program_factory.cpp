// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/program_factory.h"

#include "mail/curl_mail_component.h"
#include "maildir/command_runner.h"
#include "maildir/mail_store.h"
#include "maildir/mail_store_reception.h"
#include "process/dispatcher.h"
#include "smtp/curl_smtp_session.h"
#include "smtp/delivery_queue.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/strings.h"

namespace kelmora {

std::unique_ptr<Program> MakeProgram(const ProgramSetup& setup, RoadSource& roads) {
  return std::make_unique<Program>(setup, roads);
}

namespace {

// The real roads; built when the program has its logger and settings.
class MailRoads : public RoadSource {
 public:
  MailRoads(FileSystem& fs, const Clock& clock) : fs_(fs), clock_(clock) {}

  Roads Open(Program& program) override {
    const std::string& folder = program.program_folder();
    Logger& log = program.logger();
    // Every transfer ends at once when the program is asked to stop.
    options_.cancel = &program.transfer_cancel();
    queue_sessions_ = std::make_unique<CurlSmtpSessionFactory>(options_);
    // Recipients a server deferred wait in queue/ and are tried again at
    // the start of later cycles.
    queue_ = std::make_unique<DeliveryQueue>(fs_, log, clock_, *queue_sessions_, JoinPath(folder, "queue"), options_);
    mail_ = std::make_unique<CurlMailComponent>(fs_, log, clock_, options_, queue_.get());
    // The local mail store: read first each cycle; rows without a sender
    // address of their own send through it.
    store_ = std::make_unique<MailStore>(fs_, clock_, log, runner_, mail_.get(), folder);
    Settings& s = program.settings();
    reception_ =
        std::make_unique<MailStoreReception>(*store_, log, s.MapiUserName, s.MapiPassword, s.DownloadFromServer);
    dispatcher_ = std::make_unique<Dispatcher>(program.dispatch_context());
    return Roads{mail_.get(), reception_.get(), store_.get(), dispatcher_.get(), queue_.get()};
  }

 private:
  FileSystem& fs_;
  const Clock& clock_;
  MailOptions options_;
  std::unique_ptr<CurlSmtpSessionFactory> queue_sessions_;
  std::unique_ptr<DeliveryQueue> queue_;
  std::unique_ptr<CurlMailComponent> mail_;
  RealCommandRunner runner_;
  std::unique_ptr<MailStore> store_;
  std::unique_ptr<MailStoreReception> reception_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

class RealKelmora : public Kelmora {
 public:
  RealKelmora(FrontEnd& front, const std::string& folder, const std::string& example, bool no_wait)
      : roads_(fs_, clock_) {
    program_ = MakeProgram(ProgramSetup{fs_, clock_, front, folder, example, no_wait}, roads_);
  }
  Program& program() override { return *program_; }

 private:
  RealFileSystem fs_;
  SystemClock clock_;
  // Declared after the program, so that the roads, which write to its
  // logger, go first.
  std::unique_ptr<Program> program_;
  MailRoads roads_;
};

}  // namespace

std::unique_ptr<Kelmora> BuildKelmora(FrontEnd& front, const std::string& folder, const std::string& bundled_example,
                                      bool no_wait) {
  return std::make_unique<RealKelmora>(front, folder, bundled_example, no_wait);
}

}  // namespace kelmora
