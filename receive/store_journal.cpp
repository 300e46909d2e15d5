// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/store_journal.h"

#include <vector>

#include "textio/strings.h"

namespace kelmora {

Status StoreJournal::Append(const char* kind, const std::string& base) {
  return fs_.AppendToFileDurably(path_, std::string(kind) + " " + base + "\n");
}

Status StoreJournal::RecordDeletes(const std::vector<std::string>& bases) {
  if (bases.empty()) return Status::OK();
  std::string lines;
  for (const std::string& b : bases) lines += "delete " + b + "\n";
  return fs_.AppendToFileDurably(path_, lines);
}

Status StoreJournal::Load(std::set<std::string>* acted, std::set<std::string>* deleted) const {
  acted->clear();
  deleted->clear();
  if (!fs_.Exists(path_)) return Status::OK();
  std::string bytes;
  Status s = fs_.ReadFile(path_, &bytes);
  if (!s.ok()) return s;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    // A last line without its line end was cut short by a crash: its
    // record never counted as written.
    if (end == std::string::npos) break;
    const std::string line = bytes.substr(start, end - start);
    start = end + 1;
    if (StartsWith(line, "acted ")) acted->insert(line.substr(6));
    if (StartsWith(line, "delete ")) deleted->insert(line.substr(7));
  }
  return Status::OK();
}

Status StoreJournal::Clear() {
  if (!fs_.Exists(path_)) return Status::OK();
  return fs_.RemoveFile(path_);
}

}  // namespace kelmora
