// SPDX-License-Identifier: GPL-3.0-or-later
// ReplyLimiter: at most one prepared-text reply per sender and row within
// 24 hours, as vacation responders do, so that two responders (or a person
// who keeps writing) cannot make a row answer again and again.
//
// The record is a small text file in the program folder, one line per
// reply: "<epoch microseconds> TAB <row key> TAB <sender, lower case>".
// It is read on every question, pruned of lines older than 24 hours (and of
// lines from the future, left by a clock that was set back) whenever a reply
// is recorded, and replaced atomically, so a crash never leaves half a file.
// Lines that cannot be read are dropped. Time comes only from the Clock's
// epoch microseconds.
#pragma once

#include <cstdint>
#include <string>

#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

class ReplyLimiter {
 public:
  static constexpr const char* kFileName = "kelmora-replies.txt";
  static constexpr std::int64_t kWindowMicros = 24LL * 60 * 60 * 1000 * 1000;

  // `path` is the record file (program folder + kFileName).
  ReplyLimiter(FileSystem& fs, const Clock& clock, std::string path);

  // True when the row with `row_key` replied to `sender` less than 24 hours
  // ago. A record that cannot be read counts as empty.
  bool RepliedRecently(const std::string& row_key, const std::string& sender) const;

  // Records a reply sent now, dropping aged lines.
  Status RecordReply(const std::string& row_key, const std::string& sender);

 private:
  struct Entry {
    std::int64_t micros = 0;
    std::string row_key, sender;
  };
  std::vector<Entry> LoadFresh(std::int64_t now) const;

  FileSystem& fs_;
  const Clock& clock_;
  std::string path_;
};

}  // namespace kelmora
