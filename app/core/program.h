// SPDX-License-Identifier: GPL-3.0-or-later
// Program: the main object of Kelmora. It owns the settings, the rule table,
// the destination lists, the undelivered-mail patterns and the state of the
// mail-check cycle for the whole run, and carries out start-up, the minute
// timer's tick, the cycle and shutdown. Front ends (the window, the
// headless runner) drive it; everything outside is reached through the
// interfaces it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/front_end.h"
#include "app/core/program_control.h"
#include "app/core/road_source.h"
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
#include "net/transfer_cancel.h"
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

// The entries of a main log (UTF-8), newest first. An entry ends with the
// line that carries its stamp (" at YYYYMMDD-HHMMSS"); a message with line
// breaks spans several lines.
std::vector<std::string> LogEntriesNewestFirst(const std::string& log);

// What a program is made of besides its roads.
struct ProgramSetup {
  FileSystem& fs;
  const Clock& clock;
  FrontEnd& front;
  std::string folder;
  // The example a program folder without a rule table is started with (the
  // first start of an installed Kelmora); "" for none.
  std::string bundled_example;
  // Waits after sends (1000, 3000, 5000 ms) are skipped when set.
  bool no_wait = false;
};

class Program : public ProgramControl {
 public:
  // Builds the program and asks `roads` for its collaborators; they are
  // fixed for its lifetime. Use MakeProgram (program_factory.h).
  Program(const ProgramSetup& setup, RoadSource& roads);

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Start-up. `delay_argument` is the command line's number (may be "").
  // An error's message is the text the front end shows before the process
  // ends (nothing has been saved then, and no lock file is left behind);
  // it is Refused only when another copy holds the program folder.
  Status Start(const std::string& delay_argument);

  // After a start that copied the bundled example into the program folder:
  // what the window tells the owner (the folder and the files to edit).
  // "" otherwise.
  const std::string& first_start_message() const override { return first_start_message_; }

  // The minute timer fired: counts minutes and runs a cycle (on this
  // thread) when the interval is reached.
  void OnMinuteTick();

  // --- ProgramControl ---
  WindowSettings CurrentSettings() const override;
  int RuleCount() const override { return static_cast<int>(master_.size()); }
  RuleView ViewRule(int row) const override;
  int current_rule_index() const override { return current_rule_index_; }
  void set_current_rule_index(int index) override { current_rule_index_ = index; }
  int SavedMailCount() override;
  std::vector<std::string> MainLogEntries() override;
  void SetOption(WindowOption option, bool on) override;
  void OnIntervalChosen(int position) override;
  void SetLogon(const std::string& user, const std::string& password) override;
  // Writes Kelmora.ini from the current settings (changes the window made
  // during a cycle included). Edits of the logon take effect here: the
  // store's road logs on with the saved logon.
  Status SaveSettings() override;
  bool TickStartsCycle() override;
  void EndTickCycle() override { timer_enabled_ = true; }
  void RunMailCheck() override;
  void OnMinimise() override;
  void OnRestore() override;
  void RequestStop() override;
  void OnCloseRequest() override;
  bool cycle_running() const override { return cycle_running_; }
  bool timer_enabled() const override { return timer_enabled_; }
  bool stop_requested() const override { return stop_requested_ || closing_; }
  int minute_count() const override { return minute_count_; }

  // --- state, read by the processing code and the tests ---
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
  // What aborts the transfers of the mail roads (their MailOptions::cancel).
  TransferCancel& transfer_cancel() { return cancel_; }

  ReceptionMode reception_mode() const { return reception_mode_; }
  std::int32_t to_forward_delay_ms() const { return to_forward_delay_ms_; }

  // What the send methods and the dispatcher work with: this program's
  // data, file system, clock, logger, mail component and front end.
  const SendContext& send_context() const { return send_context_; }
  const DispatchContext& dispatch_context() const { return dispatch_context_; }
  bool no_wait() const { return no_wait_; }

 private:
  // The front end's duties as the sending and processing loops see them,
  // with this program's stop flag. Its event pump is the cycle's check
  // point: the window's changes are taken in and new numbers published.
  class FrontEndPacer : public Pacer {
   public:
    explicit FrontEndPacer(Program& program) : program_(program) {}
    void PumpEvents() override {
      program_.front_.PumpEvents();
      program_.CheckPoint();
    }
    void Wait(int ms) override { program_.front_.Wait(ms); }
    void SetBusyText(const std::string& text) override { program_.front_.SetBusyText(text); }
    void Flash() override { program_.front_.Flash(); }
    bool StopRequested() const override { return program_.stop_requested(); }

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
  void RunCycleSteps();
  // A change from the window: at once between cycles, else at the cycle's
  // next check point.
  void Change(std::function<void(Settings&)> change);
  // On the cycle's thread: applies the window's changes and publishes the
  // numbers and lists the window shows.
  void CheckPoint();
  void PublishView();

  FileSystem& fs_;
  const Clock& clock_;
  FrontEnd& front_;
  std::string folder_;
  Logger logger_;
  InstanceLock lock_;
  FrontEndPacer pacer_{*this};
  TransferCancel cancel_;

  MailComponent* mail_ = nullptr;
  LocalMailReception* local_ = nullptr;
  MessageProcessor* processor_ = nullptr;
  DeliveryQueue* delivery_queue_ = nullptr;

  bool startup_done_ = false;
  int minute_count_ = 0;
  bool timer_enabled_ = false;
  std::atomic<bool> cycle_running_{false};
  ReceptionMode reception_mode_ = ReceptionMode::kNone;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> closing_{false};
  std::int32_t to_forward_delay_ms_ = 0;
  std::atomic<int> current_rule_index_{0};
  bool no_wait_ = false;

  // Guards what the window and a cycle on another thread share: the
  // pending changes and the published copies.
  mutable std::mutex shared_mu_;
  std::vector<std::function<void(Settings&)>> pending_;
  // The logon boxes' text, taken over when the settings are saved.
  bool logon_edited_ = false;
  std::string edited_user_, edited_password_;
  std::vector<std::int32_t> published_numbers_;
  MemberTable published_members_;
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
