// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/dialog_lines.h"

namespace kelmora {

void DialogLines::Take(std::string_view data, const std::function<void(std::string& line)>& each) {
  pending_ += data;
  size_t nl;
  while ((nl = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    each(line);
  }
  if (pending_.size() > 65536) pending_.clear();
}

}  // namespace kelmora
