// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/reply_limiter.h"

#include <utility>
#include <vector>

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// Keys and senders stay on one line and inside their field.
std::string Field(const std::string& text) { return Trim(OneLine(text)); }

}  // namespace

ReplyLimiter::ReplyLimiter(FileSystem& fs, const Clock& clock, std::string path)
    : fs_(fs), clock_(clock), path_(std::move(path)) {}

std::vector<ReplyLimiter::Entry> ReplyLimiter::LoadFresh(std::int64_t now) const {
  std::vector<Entry> entries;
  std::string bytes;
  if (!fs_.ReadFile(path_, &bytes).ok()) return entries;
  for (std::string line : Split(bytes, "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> f = Split(line, "\t");
    if (f.size() != 3 || f[0].empty() || f[0].size() > 19) continue;
    bool digits = true;
    for (char c : f[0]) digits = digits && c >= '0' && c <= '9';
    if (!digits) continue;
    Entry e{std::stoll(f[0]), f[1], f[2]};
    if (e.micros > now || now - e.micros >= kWindowMicros) continue;
    entries.push_back(std::move(e));
  }
  return entries;
}

bool ReplyLimiter::RepliedRecently(const std::string& row_key, const std::string& sender) const {
  const std::string key = Field(row_key), who = AsciiLower(Field(sender));
  for (const Entry& e : LoadFresh(clock_.EpochMicros())) {
    if (e.row_key == key && e.sender == who) return true;
  }
  return false;
}

Status ReplyLimiter::RecordReply(const std::string& row_key, const std::string& sender) {
  const std::int64_t now = clock_.EpochMicros();
  std::vector<Entry> entries = LoadFresh(now);
  entries.push_back(Entry{now, Field(row_key), AsciiLower(Field(sender))});
  std::string bytes;
  for (const Entry& e : entries) bytes += std::to_string(e.micros) + "\t" + e.row_key + "\t" + e.sender + "\r\n";
  return fs_.WriteFileAtomic(path_, bytes);
}

}  // namespace kelmora
