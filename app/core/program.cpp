// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/program.h"

#include <malloc.h>

#include <exception>

#include "app/core/program_folder.h"
#include "log/error_entry.h"
#include "mail/pop3_inbox.h"
#include "mail/received_mail.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

Program::Program(FileSystem& fs, const Clock& clock, FrontEnd& front, std::string program_folder)
    : fs_(fs),
      clock_(clock),
      front_(front),
      folder_(std::move(program_folder)),
      logger_(fs, clock, folder_,
              [this](const std::string& entry) {
                front_.Flash();
                front_.SetStatusText(entry);
              }),
      lock_(fs),
      settings_file_(fs, JoinPath(folder_, "Kelmora.ini")),
      send_context_{fs_,       clock_,   logger_,  nullptr,        pacer_, settings_,
                    master_,   members_, settings_file_, no_wait_, to_forward_delay_ms_},
      dispatch_context_{send_context_, members_, undelivery_, folder_} {}

std::string Program::SettingsPath() const { return JoinPath(folder_, "Kelmora.ini"); }

namespace {

// "Form Load Error。" alone tells the owner nothing to do; the cause follows
// on its own line.
Status FormLoadError(const std::string& reason) {
  return Status::Error(reason.empty() ? std::string(kFormLoadError) : kFormLoadError + ("\n" + reason));
}

}  // namespace

Status Program::Start(const std::string& delay_argument) {
  if (startup_done_) return Status::OK();
  startup_done_ = true;
  Status s;
  try {
    s = StartSteps(delay_argument);
  } catch (const std::exception& e) {
    s = FormLoadError(e.what());
  }
  // A copy that does not run leaves the folder as it found it.
  if (!s.ok()) lock_.Release();
  return s;
}

Status Program::StartFolder() {
  std::string why;
  switch (lock_.Acquire(folder_, &why)) {
    case InstanceLock::Result::kAcquired: break;
    case InstanceLock::Result::kHeldByAnother: return Status::Refused(kSecondInstance);
    case InstanceLock::Result::kFailed: return FormLoadError(why);
  }
  // Taken under the lock, so two copies started together never both copy.
  if (!bundled_example_.empty() && !HasRuleTable(fs_, folder_)) {
    Status s = CopyBundledExample(fs_, bundled_example_, folder_, &first_start_files_);
    if (!s.ok()) return FormLoadError("the example " + bundled_example_ + " could not be copied: " + s.message());
  }
  return Status::OK();
}

Status Program::StartSteps(const std::string& delay_argument) {
  Status s = StartFolder();
  if (!s.ok()) return s;
  timer_enabled_ = false;
  minute_count_ = 0;
  members_ = MemberTable();
  current_rule_index_ = 0;

  s = ReadMaster(fs_, folder_, JoinPath(folder_, "Master.txt"), &master_);
  if (!s.ok()) return s;
  s = ReadAddress(fs_, folder_, master_, &members_);
  if (!s.ok()) return s;
  s = settings_file_.Load(static_cast<int>(master_.size()), &settings_);
  if (!s.ok()) return s;
  s = PrepareWindow(delay_argument);
  if (!s.ok()) return s;
  if (!first_start_files_.empty()) {
    logger_.WriteNotice(FirstStartLogLine(folder_, first_start_files_));
    first_start_message_ = FirstStartMessage(folder_, first_start_files_);
  }

  timer_enabled_ = true;  // the program starts minimised, so checking runs
  return Status::OK();
}

Status Program::PrepareWindow(const std::string& delay_argument) {
  to_forward_delay_ms_ = ReadRoundedInt(delay_argument);
  if (to_forward_delay_ms_ > 5000) to_forward_delay_ms_ = 5000;
  if (to_forward_delay_ms_ > 0) {
    front_.SetStatusText("ＴＯ転送遅延時間は［" + std::to_string(to_forward_delay_ms_) +
                         "］ミリ秒に設定されています。");
  }
  if (settings_.CheckIntervalMinutes < 1 || settings_.CheckIntervalMinutes > 60) {
    settings_.CheckIntervalMinutes = 20;
  }
  Status s = logger_.EnsureLogFolders();
  if (!s.ok()) return FormLoadError(s.message());
  if (settings_file_.unreadable()) {
    // The main log entry also goes to the status line.
    logger_.WriteLog("Kelmora.iniを読み込めなかったため、既定の設定で動作し、設定は保存しません。");
  }

  const std::string undelivery = JoinPath(folder_, "UnDelivery.txt");
  if (!FindFile(fs_, undelivery).empty()) {
    int r = LoadUnDeliveryPatterns(fs_, undelivery, &undelivery_);
    if (r != 0) return Status::Error(UnDeliveryLoadMessage(r));
  }
  return Status::OK();
}

void Program::OnMinuteTick() {
  if (!timer_enabled_) return;
  ++minute_count_;
  if (minute_count_ >= settings_.CheckIntervalMinutes) {
    timer_enabled_ = false;
    minute_count_ = 0;
    RunMailCheck();
    timer_enabled_ = true;
  }
}

void Program::OnIntervalChosen(int position) {
  if (position >= 0 && position < 60) settings_.CheckIntervalMinutes = position + 1;
}

void Program::OnMinimise() {
  timer_enabled_ = true;
  stop_requested_ = false;
}

void Program::OnRestore() {
  timer_enabled_ = false;
  stop_requested_ = true;
}

void Program::RunMailCheck() {
  // The timer is off while a tick-started cycle runs, but a test run or a
  // second front-end request could still arrive through the event pump.
  if (cycle_running_) return;
  cycle_running_ = true;
  reception_mode_ = ReceptionMode::kNone;
  stop_requested_ = false;
  int count = 0;
  std::vector<std::string> stored_names{""};
  try {
    if (!settings_.HideBusyWindow) {
      front_.ShowBusy();
      front_.PumpEvents();
    }
    if (delivery_queue_ != nullptr) {
      delivery_queue_->Flush([this] { return stop_requested_; });
      RemoveRefusedRecipients(delivery_queue_->TakeUnknownRecipients());
    }
    // A store that cannot be opened ends the cycle.
    Status fetched = Status::OK();
    if (!settings_.MapiUserName.empty() && local_ != nullptr) {
      fetched = local_->FetchMail(&count);
      if (!fetched.ok()) logger_.WriteLog(ErrorEntry(kCycleFailureLabel, fetched));
      if (count > 0) reception_mode_ = ReceptionMode::kLocalStore;
    }
    if (fetched.ok() && !settings_.Pop3Accounts.empty() && count == 0 && mail_ != nullptr) {
      for (const Pop3Account& account : settings_.Pop3Accounts) {
        std::vector<std::string> names;
        count += FetchAccountMail(*mail_, logger_, account.A, account.B, account.Password,
                                  logger_.ReceiveFolder(), &names);
        if (names.size() > 1) AppendStoredNames(&stored_names, names);
      }
      if (count > 0) reception_mode_ = ReceptionMode::kPop3;
    }
    // Sends made while logging on (mail the store still owed) are settled
    // before the dispatcher's own: it ties what it takes to its row.
    if (fetched.ok() && mail_ != nullptr) RemoveRefusedRecipients(mail_->TakeUnknownRecipients());
    if (fetched.ok() && count >= 1 && processor_ != nullptr) {
      if (reception_mode_ == ReceptionMode::kLocalStore) {
        processor_->ProcessMessages(local_->inbox());
        if (local_->SessionOpen()) local_->SignOff();
      } else {
        // Rows without a sender address send through the local store in
        // every cycle, also when the mail came by POP3.
        const bool store_open = local_ != nullptr && !settings_.MapiUserName.empty() && local_->OpenForSending();
        // The names the accounts gave, in reception order; element 0 of the
        // collected list is the empty one every stored-name list carries.
        Pop3Inbox inbox(fs_, logger_, *mail_, logger_.ReceiveFolder(),
                        std::vector<std::string>(stored_names.begin() + 1, stored_names.end()));
        processor_->ProcessMessages(inbox);
        if (store_open && local_->SessionOpen()) local_->SignOff();
      }
    }
  } catch (const std::exception& e) {
    logger_.WriteLog(ErrorEntry(kCycleFailureLabel, e));
  }
  try {
    if (mail_ != nullptr) RemoveRefusedRecipients(mail_->TakeUnknownRecipients());
  } catch (const std::exception& e) {
    logger_.WriteLog(ErrorEntry(kCycleFailureLabel, e));
  }
  if (!settings_.HideBusyWindow) front_.CloseBusy();
  // The cycle's message buffers stay in the heap for reuse while it runs;
  // between cycles the memory goes back to the system.
  malloc_trim(0);
  cycle_running_ = false;
}

void Program::RemoveRefusedRecipients(const std::vector<UnknownRecipient>& refused) {
  if (refused.empty()) return;
  RemoveUnknownRecipients(BounceContext{fs_, logger_, members_, folder_}, master_, refused, nullptr);
}

Status Program::SaveSettings() {
  if (before_save_) before_save_(&settings_);
  return settings_file_.Save(settings_);
}

}  // namespace kelmora
