// SPDX-License-Identifier: GPL-3.0-or-later
// Logger: the main log (log/Kelmoralog.txt), the undelivered-mail log
// (log/UnDeliveryLog.txt) and free-form progress files in log/. A log that
// cannot be written loses the entry silently: logging never stops the work.
#pragma once

#include <functional>
#include <string>

#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

class Logger {
 public:
  // `on_logged` is told the text of every main-log entry as written (the
  // window flashes and shows it); it may be empty.
  Logger(FileSystem& fs, const Clock& clock, std::string program_folder,
         std::function<void(const std::string&)> on_logged = {});

  // Appends "message at yyyymmdd-hhmmss" to the main log: a failure the
  // owner should look at.
  void WriteLog(const std::string& message);

  // The same kind of entry for something that went as intended but that the
  // owner should know of (files prepared at a first start, a message held
  // back on purpose). It is not counted as a failure.
  void WriteNotice(const std::string& message);

  // How many failures WriteLog has recorded since this logger was made; a
  // single mail check (--once) reports them through its exit status.
  int failures_logged() const { return failures_logged_; }

  // Appends "address,yyyymmdd-hhmmss、remark" to the undelivered-mail log.
  void WriteUnDeliveryLog(const std::string& address, const std::string& remark);

  // Appends `text` as one line to log/<name>, creating it when missing.
  void AppendLogFile(const std::string& name, const std::string& text);

  // Creates log and log/receive when they are missing.
  Status EnsureLogFolders();

  std::string LogFolder() const;
  std::string ReceiveFolder() const;
  std::string MainLogPath() const;
  std::string UnDeliveryLogPath() const;

  void set_on_logged(std::function<void(const std::string&)> f) { on_logged_ = std::move(f); }

 private:
  FileSystem& fs_;
  const Clock& clock_;
  std::string folder_;
  std::function<void(const std::string&)> on_logged_;
  int failures_logged_ = 0;
};

}  // namespace kelmora
