// SPDX-License-Identifier: GPL-3.0-or-later
// InstanceLock: one running copy per program folder. The lock is an
// exclusive lock on "kelmora.lock" in the folder, taken through the file
// system; it ends with the process, so a crashed copy never blocks the next
// start.
#pragma once

#include <memory>
#include <string>

#include "textio/file_system.h"

namespace kelmora {

class InstanceLock {
 public:
  enum class Result { kAcquired, kHeldByAnother, kFailed };

  explicit InstanceLock(FileSystem& fs) : fs_(fs) {}

  // On kFailed, *why (when given) says what went wrong.
  Result Acquire(const std::string& program_folder, std::string* why = nullptr);

  // Removes the lock file and lets the lock go, for a copy that ends without
  // having run, so that it leaves nothing behind. Does nothing unless this
  // object holds the lock: a refused copy never touches another's file.
  void Release();

  bool held() const { return lock_ != nullptr; }

 private:
  FileSystem& fs_;
  std::string path_;
  std::unique_ptr<FileLock> lock_;
};

}  // namespace kelmora
