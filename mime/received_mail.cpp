// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/received_mail.h"

#include <string_view>

#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsContinuationByte(char ch) { return (static_cast<unsigned char>(ch) & 0xC0) == 0x80; }

// The number of characters in `s`, counting no further than `limit`.
size_t CharactersUpTo(std::string_view s, size_t limit) {
  size_t n = 0;
  for (size_t i = 0; i < s.size() && n < limit; ++i) {
    if (i == 0 || !IsContinuationByte(s[i])) ++n;
  }
  return n;
}

// The address rule on one line; "" when the line gives none.
//
// All positions are byte offsets. A mark or "@" found by a byte search in
// UTF-8 text starts on a character boundary, so the stretches between found
// positions are exactly the stretches that character positions would name;
// only the "two characters after the @" test has to count characters.
std::string AddressInLine(std::string_view line, std::string_view open, std::string_view close) {
  const int at_count = CountOf(line, "@");
  if (at_count <= 0 || line.find(open) == std::string_view::npos || line.find(close) == std::string_view::npos) {
    return "";
  }
  size_t start = 0;  // where the search for the next "@" begins
  for (int k = 1; k <= at_count; ++k) {
    const size_t at = line.find('@', start);
    if (at == std::string_view::npos) break;
    if (CharactersUpTo(line.substr(at + 1), 2) < 2) break;

    const std::string_view left = line.substr(start, at - start);
    start = at + 1;  // the next round looks after this "@", whatever happens below

    const size_t open_pos = left.rfind(open);
    if (open_pos == std::string_view::npos) continue;
    const size_t local_start = open_pos + open.size();
    // A close mark after the open mark means the open mark belongs to an
    // earlier, already closed stretch.
    if (left.find(close, local_start) != std::string_view::npos) continue;

    std::string_view right;
    if (k == at_count) {
      right = line.substr(at + 1);
    } else {
      const size_t next_at = line.find('@', at + 1);
      if (next_at == std::string_view::npos) continue;
      right = line.substr(at + 1, next_at - at - 1);
    }
    const size_t close_pos = right.find(close);
    if (close_pos == std::string_view::npos) continue;
    if (right.substr(0, close_pos).find(open) != std::string_view::npos) continue;

    // The local part begins in `left`, which starts at line offset
    // (at - left.size()).
    const size_t begin = at - left.size() + local_start;
    return std::string(line.substr(begin, at + 1 + close_pos - begin));
  }
  return "";
}

}  // namespace

std::string ExtractAddress(const std::string& text, const std::string& open, const std::string& close) {
  // An empty mark delimits nothing; searching with it would make up
  // addresses such as "@" out of any text that holds an "@".
  if (open.empty() || close.empty()) return "";
  if (text.find(open) == std::string::npos || text.find('@') == std::string::npos ||
      text.find(close) == std::string::npos) {
    return "";
  }
  // Lines end at CR LF; a bare LF (text that lost its CRs on the way) ends a
  // line too, so an address never runs across a line break.
  std::string_view rest(text);
  while (true) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string address = AddressInLine(line, open, close);
    if (address.find('@') != std::string::npos) return address;
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return "";
}

std::string TextBetween(const std::string& text, const std::string& open, const std::string& close) {
  const size_t a = text.find(open);
  const size_t b = text.rfind(close);
  if (a == std::string::npos || b == std::string::npos) return "";
  const size_t start = a + open.size();
  // A close mark that starts inside or right after the open mark leaves
  // nothing between them.
  if (b <= start) return "";
  return text.substr(start, b - start);
}

std::string DisplayName(const std::string& value) {
  std::string name = ReplaceAll(TextBetween(value, "\\\"", "\\\""), "\\\"", "");
  if (name.empty()) name = TextBetween(value, "\"", "\"");
  return name;
}

}  // namespace kelmora
