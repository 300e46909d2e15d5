// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/receive_journal.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "textio/strings.h"

namespace kelmora {
namespace {

// %-escapes the characters that carry the line structure.
std::string Escape(const std::string& s) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += ch;
    }
  }
  return out;
}

bool Unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    const int hi = HexDigitValue(s[i + 1]), lo = HexDigitValue(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// FNV-1a, 32 bits, as 8 hex digits: enough to tell a record from garbage.
std::string Check(const std::string& s) {
  std::uint32_t h = 2166136261u;
  for (unsigned char ch : s) {
    h ^= ch;
    h *= 16777619u;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", h);
  return buf;
}

std::string Sealed(const std::string& body) { return body + "\t" + Check(body) + "\n"; }

bool ParseCount(const std::string& s, int* out) {
  if (s.empty() || s.size() > 6) return false;
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  *out = v;
  return true;
}

bool ParseFlag(const std::string& s, bool* out) {
  if (s != "0" && s != "1") return false;
  *out = s == "1";
  return true;
}

// A stored name is a plain file name: nothing that could point elsewhere.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool IsMarkKind(char kind) { return kind == 'S' || kind == 'B' || kind == 'A'; }

// The fields of an "M" record (without its check).
bool ParseRecord(const std::vector<std::string>& f, ReceiveJournal::Entry* e) {
  const bool good = Unescape(f[1], &e->name) && IsPlainName(e->name) && Unescape(f[2], &e->account) &&
                    Unescape(f[3], &e->uidl) && ParseFlag(f[4], &e->on_server) && ParseCount(f[5], &e->hand_outs) &&
                    ParseFlag(f[6], &e->settled);
  if (!good) return false;
  // A journal written before attempts were counted knows only the
  // hand-outs; they are an upper bound of the attempts.
  if (f.size() == 7) {
    e->attempts = e->hand_outs;
    return true;
  }
  return ParseCount(f[7], &e->attempts) && ParseFlag(f[8], &e->acted);
}

// One line after the header; false when it makes the journal untrustworthy.
bool ParseLine(const std::string& line, std::vector<ReceiveJournal::Entry>* loaded,
               std::vector<std::pair<char, std::string>>* marks) {
  if (line.empty()) return true;
  const size_t last_tab = line.find_last_of('\t');
  if (last_tab == std::string::npos || Check(line.substr(0, last_tab)) != line.substr(last_tab + 1)) {
    // Marks are only ever appended: a broken one is an append torn by a
    // power loss and closed by the next append.
    return IsMarkKind(line[0]);
  }
  std::vector<std::string> f = Split(line.substr(0, last_tab), "\t");
  if (f[0] == "M" && (f.size() == 7 || f.size() == 9)) {
    ReceiveJournal::Entry e;
    if (!ParseRecord(f, &e)) return false;
    loaded->push_back(std::move(e));
    return true;
  }
  if (f[0].size() != 1 || !IsMarkKind(f[0][0]) || f.size() != 2) return false;
  std::string name;
  if (!Unescape(f[1], &name)) return false;
  marks->emplace_back(f[0][0], BaseName(name));
  return true;
}

// The journal file's text; false when it is not a journal.
bool ParseJournal(const std::string& bytes, std::vector<ReceiveJournal::Entry>* loaded,
                  std::vector<std::pair<char, std::string>>* marks) {
  std::vector<std::string> lines = Split(bytes, "\n");
  // The piece after the last LF is either "" or a line torn by a power
  // loss during an append; neither carries a record.
  lines.pop_back();
  if (lines.empty() || lines[0] != ReceiveJournal::kHeader) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!ParseLine(lines[i], loaded, marks)) return false;
  }
  return true;
}

}  // namespace

ReceiveJournal::ReceiveJournal(FileSystem& fs, const Clock& clock, std::string folder)
    : fs_(fs), clock_(clock), folder_(std::move(folder)) {}

std::string ReceiveJournal::AccountKey(const std::string& server, const std::string& user) {
  return Trim(server) + "\t" + user;
}

std::string ReceiveJournal::Path() const { return JoinPath(folder_, kFileName); }

std::string ReceiveJournal::PathOf(const std::string& name) const {
  std::string path = folder_;
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

bool ReceiveJournal::Knows(const std::string& name) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; });
}

ReceiveJournal::Entry* ReceiveJournal::Find(const std::string& name) {
  for (Entry& e : entries_) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

Status ReceiveJournal::Load() {
  entries_.clear();
  const std::string path = Path();
  if (!fs_.Exists(path)) return Status::OK();

  std::string bytes;
  Status read = fs_.ReadFile(path, &bytes);
  std::vector<Entry> loaded;
  std::vector<ReadMark> marks;
  if (!read.ok() || !ParseJournal(bytes, &loaded, &marks)) return SetAside(path, read);
  entries_ = std::move(loaded);
  ApplyMarks(marks);
  const std::set<std::string> never_stored = ForgetVanished();
  DropFinished();
  RemoveTornStores(never_stored);
  return Status::OK();
}

// Keeps the unreadable journal for a human to look at; the journal starts
// afresh. The stored messages stay where they are.
Status ReceiveJournal::SetAside(const std::string& path, const Status& read) {
  const std::string aside = path + ".bad-" + std::to_string(clock_.EpochMicros() / 1000000) + "-" +
                            std::to_string(clock_.ProcessId());
  Status moved = fs_.Rename(path, aside);
  std::string problem = "受信記録ファイルを読めないため退避しました>" + (moved.ok() ? aside : path);
  if (!read.ok()) problem += " (" + read.message() + ")";
  if (!moved.ok()) problem += " (" + moved.message() + ")";
  return Status::Corrupt(problem);
}

void ReceiveJournal::ApplyMarks(const std::vector<ReadMark>& marks) {
  for (const auto& [kind, name] : marks) {
    Entry* e = Find(name);
    if (e == nullptr) continue;
    if (kind == 'S') e->settled = true;
    if (kind == 'B') ++e->attempts;
    if (kind == 'A') e->acted = true;
  }
}

// A record whose file vanished before any hand-out was made just before a
// store that never happened: forget it so the message is fetched again.
// After a hand-out, a vanished file was dealt with by the program.
std::set<std::string> ReceiveJournal::ForgetVanished() {
  std::set<std::string> never_stored;
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](Entry& e) {
                                  if (e.settled || fs_.IsFile(PathOf(e.name))) return false;
                                  if (e.hand_outs == 0) {
                                    never_stored.insert(e.name);
                                    return true;
                                  }
                                  e.settled = true;
                                  return false;
                                }),
                 entries_.end());
  return never_stored;
}

void ReceiveJournal::RemoveTornStores(const std::set<std::string>& names) {
  if (names.empty()) return;
  // A store cut off by the crash leaves its temporary file (".<name>.tmp-*").
  std::vector<DirEntry> listing;
  if (!fs_.ListDir(folder_, &listing).ok()) return;
  for (const DirEntry& d : listing) {
    if (!d.is_file || d.name.size() < 2 || d.name[0] != '.') continue;
    const size_t mark = d.name.find(".tmp-", 1);
    // One that stays is swept at the next run's first fetch.
    if (mark != std::string::npos && names.count(d.name.substr(1, mark - 1))) (void)fs_.RemoveFile(PathOf(d.name));
  }
}

void ReceiveJournal::RemoveStaleTemporaries() {
  std::vector<DirEntry> listing;
  if (!fs_.ListDir(folder_, &listing).ok()) return;
  for (const DirEntry& d : listing) {
    // A temporary file is never a message; one that stays is tried next run.
    if (d.is_file && IsTemporaryName(d.name)) (void)fs_.RemoveFile(PathOf(d.name));
  }
}

void ReceiveJournal::DropFinished() {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [](const Entry& e) { return e.settled && !e.on_server; }),
                 entries_.end());
}

Status ReceiveJournal::Save() {
  DropFinished();
  std::string bytes = std::string(kHeader) + "\n";
  for (const Entry& e : entries_) {
    bytes += Sealed("M\t" + Escape(e.name) + "\t" + Escape(e.account) + "\t" + Escape(e.uidl) + "\t" +
                    (e.on_server ? "1" : "0") + "\t" + std::to_string(e.hand_outs) + "\t" +
                    (e.settled ? "1" : "0") + "\t" + std::to_string(e.attempts) + "\t" + (e.acted ? "1" : "0"));
  }
  return fs_.WriteFileAtomic(Path(), bytes);
}

bool ReceiveJournal::HoldsUidl(const std::string& account, const std::string& uidl) const {
  if (uidl.empty()) return false;
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.on_server && e.account == account && e.uidl == uidl;
  });
}

void ReceiveJournal::KeepOnlyListedUidls(const std::string& account, const std::set<std::string>& listed) {
  for (Entry& e : entries_) {
    if (e.account == account && (e.uidl.empty() || listed.count(e.uidl) == 0)) e.on_server = false;
  }
}

void ReceiveJournal::AddStored(const std::string& name, const std::string& account, const std::string& uidl) {
  Entry e;
  e.name = name;
  e.account = account;
  e.uidl = uidl;
  // Without a UIDL the record could never be matched on the server again.
  e.on_server = !uidl.empty();
  entries_.push_back(std::move(e));
}

void ReceiveJournal::Forget(const std::string& name) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; }),
                 entries_.end());
}

std::vector<std::string> ReceiveJournal::TakeUnsettled(const std::string& account,
                                                       std::vector<std::string>* set_aside,
                                                       std::vector<std::string>* acted_aside,
                                                       std::vector<std::string>* problems) {
  std::vector<std::string> names;
  for (Entry& e : entries_) {
    if (e.settled || e.account != account) continue;
    const std::string path = PathOf(e.name);
    if (!fs_.IsFile(path)) {
      e.settled = true;
      continue;
    }
    if (!e.acted && e.attempts < kMaxAttempts) {
      ++e.hand_outs;
      names.push_back(path);
      continue;
    }
    // A rule already acted on it (processing it again would act twice), or
    // the program died on it again and again: put it where the normal path
    // no longer looks.
    const std::string stem = StripExtension(path);
    std::string target = stem + "Error.txt";
    for (int k = 2; fs_.Exists(target) && k < 1000; ++k) target = stem + "-" + std::to_string(k) + "Error.txt";
    Status moved = fs_.Exists(target) ? Status::Error("no free name beside " + path) : fs_.Rename(path, target);
    if (moved.ok()) {
      e.settled = true;
      (e.acted ? acted_aside : set_aside)->push_back(target);
    } else {
      problems->push_back(moved.message());
    }
  }
  DropFinished();
  return names;
}

void ReceiveJournal::CountHandOut(const std::string& name) {
  if (Entry* e = Find(name)) ++e->hand_outs;
}

void ReceiveJournal::CountAttempt(const std::string& name) {
  if (Entry* e = Find(BaseName(name))) ++e->attempts;
}

void ReceiveJournal::Settle(const std::string& name) {
  if (Entry* e = Find(BaseName(name))) e->settled = true;
}

Status ReceiveJournal::AppendMark(FileSystem& fs, const std::string& folder, Mark mark, const std::string& name) {
  const std::string path = JoinPath(folder, kFileName);
  if (!fs.IsFile(path)) return Status::OK();
  const char* kind = mark == Mark::kSettled ? "S" : mark == Mark::kBegan ? "B" : "A";
  // The leading LF closes a line torn by an earlier power loss, so that this
  // mark never glues onto it.
  return fs.AppendToFile(path, "\n" + Sealed(std::string(kind) + "\t" + Escape(BaseName(name))));
}

}  // namespace kelmora
