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

  Result Acquire(const std::string& program_folder);

 private:
  FileSystem& fs_;
  std::unique_ptr<FileLock> lock_;
};

}  // namespace kelmora
