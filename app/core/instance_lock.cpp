// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/instance_lock.h"

#include "textio/strings.h"

namespace kelmora {

InstanceLock::Result InstanceLock::Acquire(const std::string& program_folder, std::string* why) {
  std::unique_ptr<FileLock> lock;
  const std::string path = JoinPath(program_folder, "kelmora.lock");
  Status s = fs_.LockFile(path, &lock);
  if (s.ok()) {
    path_ = path;
    lock_ = std::move(lock);
    return Result::kAcquired;
  }
  if (s.code() == Status::Code::kRefused) return Result::kHeldByAnother;
  if (why != nullptr) *why = s.message();
  return Result::kFailed;
}

void InstanceLock::Release() {
  if (!lock_) return;
  // Removed while still locked: a copy starting meanwhile finds either this
  // locked file or none, never an orphan it could lock beside this one.
  // A file left behind holds no lock: the next start takes it over.
  (void)fs_.RemoveFile(path_);
  lock_.reset();
}

}  // namespace kelmora
