// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/store_journal.h"

#include <algorithm>
#include <cstdio>

#include "textio/strings.h"

namespace kelmora {

bool StoreJournal::Record::ActedOn() const {
  return acted || std::any_of(sends.begin(), sends.end(), [](const Send& s) { return s.confirmed; });
}

std::string StoreJournal::Escape(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c <= ' ' || c == '%' || c == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string StoreJournal::Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void StoreJournal::Apply(const std::string& kind, const std::string& base, const std::string& copy) {
  Record& r = records_[base];
  if (kind == "began") {
    ++r.began;
  } else if (kind == "passed") {
    r.began = 0;
  } else if (kind == "odd") {
    r.odd = true;
  } else if (kind == "acted") {
    r.acted = true;
  } else if (kind == "delete") {
    r.remove = true;
  } else if (kind == "queued" || kind == "outgoing") {
    auto it = std::find_if(r.sends.begin(), r.sends.end(), [&](const Send& s) { return s.copy == copy; });
    if (it == r.sends.end()) it = r.sends.insert(r.sends.end(), Send{copy, false});
    if (kind == "outgoing") it->confirmed = true;
  }
  if (r.Empty()) records_.erase(base);
}

Status StoreJournal::Load() {
  records_.clear();
  dirty_ = false;
  if (!fs_.Exists(path_)) return Status::OK();
  std::string bytes;
  Status s = fs_.ReadRegularFile(path_, &bytes);
  if (!s.ok()) return s;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);
    // A last line without its line end was cut short by a crash: its
    // record never counted as written, and the next Save drops it before
    // an append could run on from it.
    if (end == std::string::npos) {
      dirty_ = true;
      break;
    }
    const std::vector<std::string> f = Split(std::string_view(bytes).substr(start, end - start), " ");
    start = end + 1;
    if (f.size() < 2 || f[1].empty()) continue;
    const bool with_copy = f[0] == "queued" || f[0] == "outgoing";
    if (with_copy && (f.size() < 3 || f[2].empty())) continue;
    Apply(f[0], Unescape(f[1]), with_copy ? Unescape(f[2]) : "");
  }
  return Status::OK();
}

Status StoreJournal::Append(const char* kind, const std::string& base, const std::string& copy, bool flush) {
  std::string line = std::string(kind) + " " + Escape(base);
  if (!copy.empty()) line += " " + Escape(copy);
  line += "\n";
  Status s = flush ? fs_.AppendToFileDurably(path_, line) : fs_.AppendToRegularFile(path_, line);
  if (s.ok()) Apply(kind, base, copy);
  return s;
}

Status StoreJournal::RecordDeletes(const std::vector<std::string>& bases) {
  if (bases.empty()) return Status::OK();
  std::string lines;
  for (const std::string& b : bases) lines += "delete " + Escape(b) + "\n";
  Status s = fs_.AppendToFileDurably(path_, lines);
  if (s.ok())
    for (const std::string& b : bases) Apply("delete", b, "");
  return s;
}

void StoreJournal::Confirm(const std::string& base, const std::string& copy) {
  auto it = records_.find(base);
  if (it == records_.end()) return;
  for (Send& s : it->second.sends)
    if (s.copy == copy && !s.confirmed) {
      s.confirmed = true;
      dirty_ = true;
    }
}

void StoreJournal::DropSend(const std::string& base, const std::string& copy) {
  auto it = records_.find(base);
  if (it == records_.end()) return;
  std::erase_if(it->second.sends, [&](const Send& s) { return s.copy == copy; });
  if (it->second.Empty()) records_.erase(it);
  dirty_ = true;
}

void StoreJournal::ForgetAttempts(const std::string& base) {
  auto it = records_.find(base);
  if (it == records_.end() || it->second.began == 0) return;
  it->second.began = 0;
  if (it->second.Empty()) records_.erase(it);
  dirty_ = true;
}

void StoreJournal::CancelRemove(const std::string& base) {
  auto it = records_.find(base);
  if (it == records_.end() || !it->second.remove) return;
  it->second.remove = false;
  if (it->second.Empty()) records_.erase(it);
  dirty_ = true;
}

void StoreJournal::Forget(const std::string& base) {
  if (records_.erase(base)) dirty_ = true;
}

const StoreJournal::Record* StoreJournal::Find(const std::string& base) const {
  auto it = records_.find(base);
  return it == records_.end() ? nullptr : &it->second;
}

Status StoreJournal::Save() {
  if (!dirty_) return Status::OK();
  if (records_.empty()) {
    Status s = fs_.Exists(path_) ? fs_.RemoveFile(path_) : Status::OK();
    if (s.ok()) dirty_ = false;
    return s;
  }
  std::string text;
  for (const auto& [base, r] : records_) {
    const std::string b = Escape(base);
    for (int i = 0; i < r.began; ++i) text += "began " + b + "\n";
    if (r.acted) text += "acted " + b + "\n";
    for (const Send& s : r.sends) text += (s.confirmed ? "outgoing " : "queued ") + b + " " + Escape(s.copy) + "\n";
    if (r.remove) text += "delete " + b + "\n";
    if (r.odd) text += "odd " + b + "\n";
  }
  // A new file renamed over the old one: a crash leaves either, whole.
  const std::string fresh = path_ + ".new";
  // One that stays is refused by the write below, which reports it.
  if (fs_.Exists(fresh)) (void)fs_.RemoveFile(fresh);
  Status s = fs_.CreateNewFile(fresh, text, true);
  if (s.ok()) s = fs_.Rename(fresh, path_);
  if (s.ok()) s = fs_.SyncDir(DirName(path_));
  if (!s.ok()) {
    (void)fs_.RemoveFile(fresh);  // the save's failure is what is reported; the next save removes it first
    return s;
  }
  dirty_ = false;
  return Status::OK();
}

}  // namespace kelmora
