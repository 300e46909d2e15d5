// SPDX-License-Identifier: GPL-3.0-or-later
// StoreJournal: what the local mail store must remember across a crash.
//
// One line per record, appended and flushed to disk before the call
// returns:
//   "acted <base>"   a rule's action on the message has completed (it was
//                    sent, answered, saved or registered); the message must
//                    never be processed again
//   "delete <base>"  the cycle decided to delete the message
// (<base> is the message's Maildir base name, which no move or flag change
// alters.) The end of a cycle carries the records out and removes the
// file; the next logon carries out what a crash left over: the "delete"
// records are completed, the other "acted" messages are marked seen.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

class StoreJournal {
 public:
  StoreJournal(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  Status RecordActed(const std::string& base) { return Append("acted", base); }
  // One record per base, flushed once.
  Status RecordDeletes(const std::vector<std::string>& bases);

  // The records left in the file (both empty when there is none).
  Status Load(std::set<std::string>* acted, std::set<std::string>* deleted) const;

  // Removes the file once its records were carried out.
  Status Clear();

  const std::string& path() const { return path_; }

 private:
  Status Append(const char* kind, const std::string& base);

  FileSystem& fs_;
  std::string path_;
};

}  // namespace kelmora
