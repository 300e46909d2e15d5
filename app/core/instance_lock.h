// InstanceLock: one running copy per program folder. The lock is an flock
// on "kelmora.lock" in the folder; the kernel drops it when the process
// ends, so a crashed copy never blocks the next start.
#pragma once

#include <string>

namespace kelmora {

class InstanceLock {
 public:
  enum class Result { kAcquired, kHeldByAnother, kFailed };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  Result Acquire(const std::string& program_folder);

 private:
  int fd_ = -1;
};

}  // namespace kelmora
