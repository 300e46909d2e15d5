// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/header_encoder.h"

#include <vector>

namespace kelmora {
namespace {

constexpr size_t kMaxLine = 78;
constexpr size_t kMaxWord = 75;
constexpr size_t kWordFrame = 12;  // "=?UTF-8?B?" and "?="
// Below this much room on a line an encoded-word goes to the next line: a
// Q word of one four-byte character needs 12 characters plus the frame.
constexpr size_t kMinRoom = 24;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t Base64Length(size_t bytes) { return (bytes + 2) / 3 * 4; }

bool IsQSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
         c == '+' || c == '-' || c == '/';
}

size_t QLength(std::string_view bytes) {
  size_t n = 0;
  for (char c : bytes) n += (IsQSafe(c) || c == ' ') ? 1 : 3;
  return n;
}

const char kHex[] = "0123456789ABCDEF";

std::string BWord(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out = "=?UTF-8?B?";
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out + "?=";
}

std::string QWord(std::string_view bytes) {
  std::string out = "=?UTF-8?Q?";
  for (char c : bytes) {
    if (IsQSafe(c)) {
      out += c;
    } else if (c == ' ') {
      out += '_';
    } else {
      unsigned char u = static_cast<unsigned char>(c);
      out += '=';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out + "?=";
}

// The next encoded-word for the start of `rest`, at most `budget`
// characters long; *taken is the number of bytes it holds (at least one
// character). `may_pad`: nothing follows `rest`, so a padded word may end it.
std::string NextWord(std::string_view rest, size_t budget, bool may_pad, size_t* taken) {
  const size_t payload = budget > kWordFrame ? budget - kWordFrame : 4;
  if (may_pad && Base64Length(rest.size()) <= payload) {
    *taken = rest.size();
    return BWord(rest);
  }
  // The longest stretch ending at a character boundary that encodes without
  // padding; failing that (every boundary leaves a remainder, as after a
  // four-byte character), the longest that fits in the Q form.
  const size_t max_b = payload / 4 * 3;
  size_t best_b = 0, best_q = 0, q_length = 0;
  for (size_t i = 0; i < rest.size();) {
    size_t end = i + 1;
    while (end < rest.size() && IsContinuation(rest[end])) ++end;
    q_length += QLength(rest.substr(i, end - i));
    if (end <= max_b && end % 3 == 0) best_b = end;
    if (q_length <= payload) best_q = end;
    if (end > max_b && q_length > payload) break;
    i = end;
  }
  if (best_b > 0) {
    *taken = best_b;
    return BWord(rest.substr(0, best_b));
  }
  if (best_q == 0) {  // not even one character fits: take it all the same
    best_q = 1;
    while (best_q < rest.size() && IsContinuation(rest[best_q])) ++best_q;
  }
  *taken = best_q;
  return QWord(rest.substr(0, best_q));
}

// Lays words out on folded lines.
class Layout {
 public:
  explicit Layout(size_t used) : column_(used) {}

  // Room left on the current line for a word after `separator`.
  size_t Room(size_t separator) const {
    return column_ + separator < kMaxLine ? kMaxLine - column_ - separator : 0;
  }
  bool Empty() const { return out_.empty(); }

  // Appends `word` after `separator` (blanks; empty only for the first
  // word), folding first when it would not fit or `fold` is set.
  void Put(const std::string& separator, const std::string& word, bool fold) {
    if (!out_.empty() && !separator.empty() && (fold || column_ + separator.size() + word.size() > kMaxLine)) {
      out_ += "\r\n";
      column_ = 0;
    }
    out_ += separator;
    out_ += word;
    column_ += separator.size() + word.size();
  }

  // Writes `text` as encoded-words; `last` says nothing follows it.
  void PutEncoded(const std::string& separator, std::string_view text, bool last) {
    bool first = true;
    while (!text.empty()) {
      const std::string sep = first ? separator : std::string(" ");
      size_t room = Room(sep.size());
      bool fold = false;
      if (!out_.empty() && !sep.empty() && room < kMinRoom) {
        fold = true;
        room = kMaxLine - sep.size();
      }
      if (out_.empty() && room < kMinRoom) room = kMaxWord;  // a long name in front: nothing to fold before
      size_t taken = 0;
      const std::string word = NextWord(text, room < kMaxWord ? room : kMaxWord, last, &taken);
      Put(sep, word, fold);
      text.remove_prefix(taken);
      first = false;
    }
  }

  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  size_t column_;
};

struct Unit {
  std::string separator;  // the blanks in front of it
  std::string text;
  bool encode = false;
};

// Splits `text` into words with the blanks between them; blanks at either
// end go with the first or last word, which must then be encoded.
std::vector<Unit> Words(std::string_view text, bool (*needs_encoding)(std::string_view)) {
  std::vector<Unit> words;
  size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && IsBlank(text[end - 1])) --end;
  if (begin == end) {
    if (!text.empty()) words.push_back(Unit{"", std::string(text), true});
    return words;
  }
  size_t i = begin;
  std::string separator;
  while (i < end) {
    size_t j = i;
    while (j < end && !IsBlank(text[j])) ++j;
    std::string_view word = text.substr(i, j - i);
    words.push_back(Unit{separator, std::string(word), needs_encoding(word)});
    size_t k = j;
    while (k < end && IsBlank(text[k])) ++k;
    separator = std::string(text.substr(j, k - j));
    i = k;
  }
  if (begin > 0) {
    words.front().text.insert(0, std::string(text.substr(0, begin)));
    words.front().encode = true;
  }
  if (end < text.size()) {
    words.back().text += std::string(text.substr(end));
    words.back().encode = true;
  }
  return words;
}

// Runs of neighbouring words to encode become one unit, blanks included:
// readers drop the blanks between two encoded-words.
std::vector<Unit> MergeEncoded(const std::vector<Unit>& words) {
  std::vector<Unit> units;
  for (const Unit& w : words) {
    if (w.encode && !units.empty() && units.back().encode) {
      units.back().text += w.separator + w.text;
    } else {
      units.push_back(w);
    }
  }
  return units;
}

bool NeedsEncodingUnstructured(std::string_view word) {
  return !IsPlainAscii(word) || word.find("=?") != std::string_view::npos || word.size() > kMaxWord;
}

bool IsAtext(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

}  // namespace

bool IsPlainAscii(std::string_view text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x7F || (u < 0x20 && c != '\t')) return false;
  }
  return true;
}

std::string EncodeUnstructured(std::string_view text, size_t used) {
  std::vector<Unit> units = MergeEncoded(Words(text, NeedsEncodingUnstructured));
  Layout layout(used);
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i].encode) {
      layout.PutEncoded(units[i].separator, units[i].text, i + 1 == units.size());
    } else {
      layout.Put(units[i].separator, units[i].text, false);
    }
  }
  return layout.Take();
}

std::string EncodePhrase(std::string_view text, size_t used, bool* ends_encoded) {
  *ends_encoded = false;
  if (IsPlainAscii(text)) {
    bool atoms = !text.empty() && !IsBlank(text.front()) && !IsBlank(text.back()) &&
                 text.find("  ") == std::string_view::npos;
    for (char c : text) atoms = atoms && (IsAtext(c) || c == ' ');
    if (atoms) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    return quoted + "\"";
  }
  Layout layout(used);
  layout.PutEncoded("", text, true);
  *ends_encoded = true;
  return layout.Take();
}

std::string Rfc2231Parameter(std::string_view name, std::string_view value) {
  auto is_attribute_char = [](char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
  };
  std::vector<std::string> segments;
  std::string current;
  size_t i = 0;
  while (i < value.size()) {
    size_t end = i + 1;
    while (end < value.size() && IsContinuation(value[end])) ++end;
    std::string encoded;
    for (size_t k = i; k < end; ++k) {
      if (is_attribute_char(value[k])) {
        encoded += value[k];
      } else {
        unsigned char u = static_cast<unsigned char>(value[k]);
        encoded += '%';
        encoded += kHex[u >> 4];
        encoded += kHex[u & 15];
      }
    }
    // " name*N*=" + (segment 0: "UTF-8''") + text + ";" within one line.
    const size_t index = segments.size();
    const size_t frame = 1 + name.size() + 1 + std::to_string(index).size() + 2 + (index == 0 ? 7 : 0) + 1;
    if (!current.empty() && frame + current.size() + encoded.size() > kMaxLine) {
      segments.push_back(current);
      current.clear();
    }
    current += encoded;
    i = end;
  }
  if (!current.empty() || segments.empty()) segments.push_back(current);
  std::string out;
  for (size_t k = 0; k < segments.size(); ++k) {
    out += ";\r\n " + std::string(name) + "*" + std::to_string(k) + "*=" + (k == 0 ? "UTF-8''" : "") + segments[k];
  }
  return out;
}

}  // namespace kelmora
