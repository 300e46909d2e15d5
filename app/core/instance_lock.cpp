#include "app/core/instance_lock.h"

#include "textio/strings.h"

namespace kelmora {

InstanceLock::Result InstanceLock::Acquire(const std::string& program_folder) {
  std::unique_ptr<FileLock> lock;
  Status s = fs_.LockFile(JoinPath(program_folder, "kelmora.lock"), &lock);
  if (s.ok()) {
    lock_ = std::move(lock);
    return Result::kAcquired;
  }
  return s.code() == Status::Code::kRefused ? Result::kHeldByAnother : Result::kFailed;
}

}  // namespace kelmora
