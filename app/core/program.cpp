// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/program.h"

#include <malloc.h>

#include <exception>

#include "app/core/program_folder.h"
#include "log/error_entry.h"
#include "mail/pop3_inbox.h"
#include "mail/received_mail.h"
#include "net/server_string.h"
#include "textio/codepage.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

Program::Program(const ProgramSetup& setup, RoadSource& roads)
    : fs_(setup.fs),
      clock_(setup.clock),
      front_(setup.front),
      folder_(setup.folder),
      logger_(fs_, clock_, folder_, [this](const std::string& entry) { front_.LogEntryWritten(entry); }),
      lock_(fs_),
      no_wait_(setup.no_wait),
      bundled_example_(setup.bundled_example),
      settings_file_(fs_, JoinPath(folder_, "Kelmora.ini")),
      send_context_{fs_,       clock_,   logger_,  nullptr,        pacer_, settings_,
                    master_,   members_, settings_file_, no_wait_, to_forward_delay_ms_},
      dispatch_context_{send_context_, members_, undelivery_, folder_} {
  const Roads r = roads.Open(*this);
  mail_ = r.mail;
  local_ = r.local;
  processor_ = r.processor;
  delivery_queue_ = r.queue;
  send_context_.mail = r.mail;
  send_context_.store = r.store;
  // The store's route and fetch commands end when the program is asked to
  // stop.
  if (r.store != nullptr) r.store->set_stop_check([this] {
      pacer_.PumpEvents();
      return stop_requested();
    });
}

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
  PublishView();
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
    Status loaded = LoadUnDeliveryPatterns(fs_, undelivery, &undelivery_);
    if (!loaded.ok()) return Status::Error(loaded.message());
  }
  return Status::OK();
}

void Program::OnMinuteTick() {
  if (!TickStartsCycle()) return;
  RunMailCheck();
  EndTickCycle();
}

bool Program::TickStartsCycle() {
  if (!timer_enabled_) return false;
  ++minute_count_;
  int interval = 0;
  {
    std::lock_guard<std::mutex> lock(shared_mu_);
    interval = settings_.CheckIntervalMinutes;
  }
  if (minute_count_ < interval) return false;
  timer_enabled_ = false;
  minute_count_ = 0;
  return true;
}

void Program::OnIntervalChosen(int position) {
  if (position >= 0 && position < 60) Change([position](Settings& s) { s.CheckIntervalMinutes = position + 1; });
}

void Program::OnMinimise() {
  timer_enabled_ = true;
  stop_requested_ = false;
}

void Program::OnRestore() {
  timer_enabled_ = false;
  stop_requested_ = true;
}

void Program::RequestStop() {
  stop_requested_ = true;
  cancel_.Cancel();
}

void Program::OnCloseRequest() {
  closing_ = true;
  stop_requested_ = true;
  cancel_.Cancel();
}

void Program::RunMailCheck() {
  {
    // The timer is off while a tick-started cycle runs, but a test run or a
    // second front-end request could still arrive meanwhile.
    std::lock_guard<std::mutex> lock(shared_mu_);
    if (cycle_running_) return;
    cycle_running_ = true;
  }
  reception_mode_ = ReceptionMode::kNone;
  stop_requested_ = false;
  cancel_.Reset();
  // A close that came while the cycle got going still ends its transfers.
  if (closing_) cancel_.Cancel();
  front_.CycleStarted();
  // Whatever the check box says by the end, a window that was shown goes.
  const bool busy_shown = !settings_.HideBusyWindow;
  if (busy_shown) {
    front_.ShowBusy();
    pacer_.PumpEvents();
  }
  RunCycleSteps();
  if (busy_shown) front_.CloseBusy();
  // The cycle's message buffers stay in the heap for reuse while it runs;
  // between cycles the memory goes back to the system.
  malloc_trim(0);
  CheckPoint();
  {
    std::lock_guard<std::mutex> lock(shared_mu_);
    published_members_ = members_;
    for (auto& change : pending_) change(settings_);
    pending_.clear();
    cycle_running_ = false;
  }
  front_.CycleEnded();
}

void Program::RunCycleSteps() {
  int count = 0;
  std::vector<std::string> stored_names{""};
  try {
    if (delivery_queue_ != nullptr) {
      delivery_queue_->Flush([this] { return stop_requested(); });
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
        count += FetchAccountMail(*mail_, logger_, account.Server, account.User, account.Password,
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
}

void Program::Change(std::function<void(Settings&)> change) {
  std::lock_guard<std::mutex> lock(shared_mu_);
  if (cycle_running_) {
    pending_.push_back(std::move(change));
  } else {
    change(settings_);
  }
}

void Program::CheckPoint() {
  std::vector<std::pair<int, std::int32_t>> moved;
  {
    std::lock_guard<std::mutex> lock(shared_mu_);
    for (auto& change : pending_) change(settings_);
    pending_.clear();
    const auto& numbers = settings_.MlSequenceNumbers;
    published_numbers_.resize(numbers.size(), 0);
    for (size_t i = 0; i < numbers.size(); ++i) {
      if (numbers[i] == published_numbers_[i]) continue;
      published_numbers_[i] = numbers[i];
      moved.emplace_back(static_cast<int>(i), numbers[i]);
    }
  }
  for (const auto& [row, number] : moved) front_.SequenceNumberChanged(row, number);
}

void Program::PublishView() {
  std::lock_guard<std::mutex> lock(shared_mu_);
  published_numbers_ = settings_.MlSequenceNumbers;
  published_members_ = members_;
}

WindowSettings Program::CurrentSettings() const {
  std::lock_guard<std::mutex> lock(shared_mu_);
  WindowSettings w;
  w.user = settings_.MapiUserName;
  w.password = settings_.MapiPassword;
  w.options[static_cast<int>(WindowOption::kDownloadFromServer)] = settings_.DownloadFromServer != 0;
  w.options[static_cast<int>(WindowOption::kDeleteAfterProcessing)] = settings_.DeleteAfterProcessing != 0;
  w.options[static_cast<int>(WindowOption::kHideBusyWindow)] = settings_.HideBusyWindow != 0;
  w.options[static_cast<int>(WindowOption::kLogSentMail)] = settings_.LogSentMail != 0;
  w.options[static_cast<int>(WindowOption::kLogReceivedMail)] = settings_.LogReceivedMail != 0;
  w.interval_minutes = settings_.CheckIntervalMinutes;
  for (const Pop3Account& a : settings_.Pop3Accounts) w.accounts.push_back(MaskPassword(a.Server) + "/" + a.User + "/****");
  return w;
}

void Program::SetOption(WindowOption option, bool on) {
  Change([option, on](Settings& s) {
    const int value = on ? 1 : 0;
    switch (option) {
      case WindowOption::kDownloadFromServer: s.DownloadFromServer = value; break;
      case WindowOption::kDeleteAfterProcessing: s.DeleteAfterProcessing = value; break;
      case WindowOption::kHideBusyWindow: s.HideBusyWindow = value; break;
      case WindowOption::kLogSentMail: s.LogSentMail = value; break;
      case WindowOption::kLogReceivedMail: s.LogReceivedMail = value; break;
    }
  });
}

void Program::SetLogon(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(shared_mu_);
  logon_edited_ = true;
  edited_user_ = user;
  edited_password_ = password;
}

RuleView Program::ViewRule(int row) const {
  RuleView view;
  if (row < 0 || row >= static_cast<int>(master_.size())) return view;
  view.rule = master_[static_cast<size_t>(row)];
  // A server string may carry a login: its password never goes on screen.
  view.rule.SendServer = MaskPassword(view.rule.SendServer);
  std::lock_guard<std::mutex> lock(shared_mu_);
  if (!view.rule.Destination.empty()) {
    const int list = published_members_.FindList(view.rule.Destination);
    if (list >= 0) {
      published_members_.ForEachMember(list, [&](std::string_view a) { view.members.emplace_back(a); });
    }
  }
  if (static_cast<size_t>(row) < published_numbers_.size()) {
    view.sequence_number = published_numbers_[static_cast<size_t>(row)];
    view.has_sequence_number = true;
  }
  return view;
}

int Program::SavedMailCount() {
  // A missing folder is made again here; if that fails the count is 0.
  (void)logger_.EnsureLogFolders();
  std::vector<DirEntry> entries;
  if (!fs_.ListDir(logger_.LogFolder(), &entries).ok()) return 0;
  int count = 0;
  // "*.txt" as a file list box shows them: no hidden files, any case.
  for (const DirEntry& e : entries) {
    if (!e.is_file || e.name.empty() || e.name[0] == '.' || e.name.size() < 4) continue;
    std::string ext = e.name.substr(e.name.size() - 4);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == ".txt") ++count;
  }
  return count;
}

std::vector<std::string> Program::MainLogEntries() {
  std::string bytes;
  if (!fs_.ReadFile(logger_.MainLogPath(), &bytes).ok()) return {};
  return LogEntriesNewestFirst(Cp932ToUtf8(bytes));
}

namespace {

bool EndsWithStamp(std::string_view line) {
  // " at " + 8 digits + "-" + 6 digits
  if (line.size() < 19 || line.substr(line.size() - 19, 4) != " at ") return false;
  const std::string_view stamp = line.substr(line.size() - 15);
  for (size_t i = 0; i < stamp.size(); ++i) {
    if (i == 8 ? stamp[i] != '-' : (stamp[i] < '0' || stamp[i] > '9')) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> LogEntriesNewestFirst(const std::string& log) {
  std::vector<std::string> entries;
  std::string entry;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string_view line(log.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!entry.empty()) entry += "\n";
    entry += line;
    if (EndsWithStamp(line)) {
      entries.push_back(std::move(entry));
      entry.clear();
    }
    start = end + 1;
  }
  // A last entry cut short (a crash while writing) is shown too.
  if (!entry.empty()) entries.push_back(std::move(entry));
  return {entries.rbegin(), entries.rend()};
}

void Program::RemoveRefusedRecipients(const std::vector<UnknownRecipient>& refused) {
  if (refused.empty()) return;
  RemoveUnknownRecipients(BounceContext{fs_, logger_, members_, folder_}, master_, refused, nullptr);
}

Status Program::SaveSettings() {
  std::lock_guard<std::mutex> lock(shared_mu_);
  for (auto& change : pending_) change(settings_);
  pending_.clear();
  // Only between cycles: a cycle still running (a close that could not
  // wait) keeps the logon it started with.
  if (logon_edited_ && !cycle_running_) {
    settings_.MapiUserName = edited_user_;
    settings_.MapiPassword = edited_password_;
  }
  return settings_file_.Save(settings_);
}

}  // namespace kelmora
