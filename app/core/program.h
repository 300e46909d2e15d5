// SPDX-License-Identifier: GPL-3.0-or-later
// Program: the main object of Kelmora. It owns the settings, the rule table,
// the destination lists, the undelivered-mail patterns and the state of the
// mail-check cycle for the whole run, and carries out start-up, the minute
// timer's tick, the cycle and shutdown. Front ends (the window, the
// headless runner) drive it; everything outside is reached through the
// interfaces it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/front_end.h"
#include "app/core/instance_lock.h"
#include "config/address_file.h"
#include "config/master_table.h"
#include "config/settings.h"
#include "config/undelivery.h"
#include "log/logger.h"
#include "mail/inbox.h"
#include "mail/local_mail_reception.h"
#include "mail/mail_component.h"
#include "maildir/mail_store.h"
#include "process/bounce_removal.h"
#include "process/dispatcher.h"
#include "process/message_processor.h"
#include "send/pacer.h"
#include "send/send_context.h"
#include "smtp/delivery_queue.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

inline constexpr const char* kFormLoadError = "Form Load Error。";
inline constexpr const char* kSecondInstance = "２重に起動しようとしました。";
inline constexpr const char* kCycleFailureLabel = "受信メールの処理で何らかの異常が発生：";

class Program {
 public:
  Program(FileSystem& fs, const Clock& clock, FrontEnd& front, std::string program_folder);

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Collaborators; each may be left unset (then that road is closed).
  void set_mail_component(MailComponent* mail) {
    mail_ = mail;
    send_context_.mail = mail;
  }
  void set_local_reception(LocalMailReception* local) { local_ = local; }
  // The local mail store the store's send method sends through. Its route
  // and fetch commands end when the program is asked to stop.
  void set_mail_store(MailStore* store) {
    if (send_context_.store != nullptr) send_context_.store->set_stop_check(nullptr);
    send_context_.store = store;
    if (store != nullptr) store->set_stop_check([this] {
        front_.PumpEvents();
        return stop_requested_;
      });
  }
  void set_processor(MessageProcessor* processor) { processor_ = processor; }
  // The deferred-delivery queue, flushed at the start of every cycle.
  void set_delivery_queue(DeliveryQueue* queue) { delivery_queue_ = queue; }
  // The example a program folder without a rule table is started with (the
  // first start of an installed Kelmora); "" for none.
  void set_bundled_example(std::string folder) { bundled_example_ = std::move(folder); }

  // Start-up. `delay_argument` is the command line's number (may be "").
  // An error's message is the text the front end shows before the process
  // ends (nothing has been saved then, and no lock file is left behind);
  // it is Refused only when another copy holds the program folder.
  Status Start(const std::string& delay_argument);

  // After a start that copied the bundled example into the program folder:
  // what the window tells the owner (the folder and the files to edit).
  // "" otherwise.
  const std::string& first_start_message() const { return first_start_message_; }

  // The minute timer fired: counts minutes and runs a cycle when the
  // interval is reached.
  void OnMinuteTick();

  // One mail-check cycle. A call while a cycle runs does nothing.
  void RunMailCheck();

  // The user chose position `position` (0-based) of the interval list.
  void OnIntervalChosen(int position);

  // Window state: minimised resumes automatic checking; any other state
  // pauses it and asks a running cycle to stop.
  void OnMinimise();
  void OnRestore();
  void OnCloseRequest() { stop_requested_ = true; }

  // Writes Kelmora.ini from the current settings. A window first copies
  // its logon boxes into the settings through the before-save hook.
  Status SaveSettings();
  void set_before_save(std::function<void(Settings*)> hook) { before_save_ = std::move(hook); }

  // --- state, read by the front ends and the processing code ---
  const std::string& program_folder() const { return folder_; }
  std::string SettingsPath() const;
  Settings& settings() { return settings_; }
  const MasterTable& master() const { return master_; }
  MemberTable& members() { return members_; }
  const std::vector<UnDeliveryPattern>& undelivery_patterns() const { return undelivery_; }
  Logger& logger() { return logger_; }
  FileSystem& fs() { return fs_; }
  const Clock& clock() const { return clock_; }
  FrontEnd& front() { return front_; }
  MailComponent* mail() { return mail_; }

  ReceptionMode reception_mode() const { return reception_mode_; }
  bool stop_requested() const { return stop_requested_; }
  void RequestStop() { stop_requested_ = true; }
  std::int32_t to_forward_delay_ms() const { return to_forward_delay_ms_; }
  int minute_count() const { return minute_count_; }
  bool timer_enabled() const { return timer_enabled_; }
  bool cycle_running() const { return cycle_running_; }
  int current_rule_index() const { return current_rule_index_; }
  // The rule viewer moved to another row (0-based).
  void set_current_rule_index(int index) { current_rule_index_ = index; }

  // What the send methods and the dispatcher work with: this program's
  // data, file system, clock, logger, mail component and front end.
  const SendContext& send_context() const { return send_context_; }
  const DispatchContext& dispatch_context() const { return dispatch_context_; }

  // Waits after sends (1000, 3000, 5000 ms) are skipped when set.
  void set_no_wait(bool no_wait) { no_wait_ = no_wait; }
  bool no_wait() const { return no_wait_; }

 private:
  // The front end's duties as the sending and processing loops see them,
  // with this program's stop flag.
  class FrontEndPacer : public Pacer {
   public:
    explicit FrontEndPacer(Program& program) : program_(program) {}
    void PumpEvents() override { program_.front_.PumpEvents(); }
    void Wait(int ms) override { program_.front_.Wait(ms); }
    void SetBusyText(const std::string& text) override { program_.front_.SetBusyText(text); }
    void Flash() override { program_.front_.Flash(); }
    bool StopRequested() const override { return program_.stop_requested_; }

   private:
    Program& program_;
  };

  Status StartSteps(const std::string& delay_argument);
  Status StartFolder();
  // Members that servers refused as unknown addresses while mail of no
  // particular row went out (queue retries, the store's logon) leave the
  // lists of the rows their mail was for.
  void RemoveRefusedRecipients(const std::vector<UnknownRecipient>& refused);
  Status PrepareWindow(const std::string& delay_argument);

  FileSystem& fs_;
  const Clock& clock_;
  FrontEnd& front_;
  std::string folder_;
  Logger logger_;
  InstanceLock lock_;
  FrontEndPacer pacer_{*this};

  MailComponent* mail_ = nullptr;
  LocalMailReception* local_ = nullptr;
  MessageProcessor* processor_ = nullptr;
  DeliveryQueue* delivery_queue_ = nullptr;

  bool startup_done_ = false;
  int minute_count_ = 0;
  bool timer_enabled_ = false;
  bool cycle_running_ = false;
  ReceptionMode reception_mode_ = ReceptionMode::kNone;
  bool stop_requested_ = false;
  std::int32_t to_forward_delay_ms_ = 0;
  int current_rule_index_ = 0;
  bool no_wait_ = false;
  std::function<void(Settings*)> before_save_;
  std::string bundled_example_;
  std::vector<std::string> first_start_files_;
  std::string first_start_message_;

  Settings settings_;
  SettingsFile settings_file_;
  MasterTable master_;
  MemberTable members_;
  std::vector<UnDeliveryPattern> undelivery_;

  // Declared last: they refer to the members above.
  SendContext send_context_;
  DispatchContext dispatch_context_;
};

}  // namespace kelmora
