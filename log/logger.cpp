// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/logger.h"

#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

Logger::Logger(FileSystem& fs, const Clock& clock, std::string program_folder,
               std::function<void(const std::string&)> on_logged)
    : fs_(fs), clock_(clock), folder_(std::move(program_folder)), on_logged_(std::move(on_logged)) {}

std::string Logger::LogFolder() const { return JoinPath(folder_, "log"); }
std::string Logger::ReceiveFolder() const { return JoinPath(folder_, "log/receive"); }
std::string Logger::MainLogPath() const { return JoinPath(folder_, "log/Kelmoralog.txt"); }
std::string Logger::UnDeliveryLogPath() const { return JoinPath(folder_, "log/UnDeliveryLog.txt"); }

void Logger::WriteLog(const std::string& message) {
  ++failures_logged_;
  WriteNotice(message);
}

void Logger::WriteNotice(const std::string& message) {
  LocalTime now = clock_.Now();
  std::string entry = message + " at " + FormatDate8(now) + FormatTimeDash6(now);
  // A log that cannot be written has nowhere to say so; the window still
  // shows the entry through on_logged_.
  (void)AppendTextEntry(fs_, MainLogPath(), entry);
  if (on_logged_) on_logged_(entry);
}

void Logger::WriteUnDeliveryLog(const std::string& address, const std::string& remark) {
  LocalTime now = clock_.Now();
  // As for the main log: no place is left to report the failure.
  (void)AppendTextEntry(fs_, UnDeliveryLogPath(),
                  address + "," + FormatDate8(now) + FormatTimeDash6(now) + "、" + remark);
}

void Logger::AppendLogFile(const std::string& name, const std::string& text) {
  // The sent and received mail logs are records, not the mail itself.
  (void)AppendTextEntry(fs_, JoinPath(LogFolder(), name), text);
}

Status Logger::EnsureLogFolders() {
  if (!fs_.IsDir(LogFolder())) {
    Status s = fs_.CreateDir(LogFolder());
    if (!s.ok()) return s;
  }
  if (!fs_.IsDir(ReceiveFolder())) return fs_.CreateDir(ReceiveFolder());
  return Status::OK();
}

}  // namespace kelmora
