// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/strings.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace kelmora {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
  std::vector<std::string> out;
  if (sep.empty()) {
    out.emplace_back(s);
    return out;
  }
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      out.emplace_back(s.substr(start));
      return out;
    }
    out.emplace_back(s.substr(start, pos - start));
    start = pos + sep.size();
  }
}

std::string Join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(from, start);
    if (pos == std::string_view::npos) break;
    out.append(s.substr(start, pos - start));
    out.append(to);
    start = pos + from.size();
  }
  out.append(s.substr(start));
  return out;
}

bool Contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }
bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

int CountOf(std::string_view text, std::string_view part) {
  if (part.empty()) return 0;
  int n = 0;
  size_t pos = text.find(part);
  while (pos != std::string_view::npos) {
    ++n;
    pos = text.find(part, pos + 1);
  }
  return n;
}

int FindInFirstLine(std::string_view text, std::string_view part) {
  if (text.empty()) return 0;
  std::string_view first = text.substr(0, text.find("\r\n"));
  size_t pos = first.find(part);
  return pos == std::string_view::npos ? 0 : static_cast<int>(pos) + 1;
}

bool IsMailAddress(std::string_view s) {
  size_t at = s.find('@');
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view rest = s.substr(at + 1);
  size_t next = rest.find('@');
  return (next == std::string_view::npos ? rest.size() : next) > 0;
}

bool IsMLIDKeyword(std::string_view s) { return !s.empty() && s.front() == '[' && s.back() == ']'; }

bool SubjectHasMLID(std::string_view subject, std::string_view keyword) {
  std::string_view prefix = keyword;
  if (!prefix.empty() && prefix.back() == ']') prefix.remove_suffix(1);
  size_t pos = subject.find(prefix);
  if (pos == std::string_view::npos) return false;
  return subject.find(']', pos + 1) != std::string_view::npos;
}

std::string StripExtension(std::string_view path) {
  std::string p = Trim(path);
  for (size_t i = p.size(); i > 0; --i) {
    char c = p[i - 1];
    if (c == '/') return p;
    if (c == '.') return p.substr(0, i - 1);
  }
  return p;
}

double ReadNumber(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  std::string num;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) num += s[i++];
  bool digits = false;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') { num += s[i++]; digits = true; }
  if (i < s.size() && s[i] == '.') {
    num += s[i++];
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') { num += s[i++]; digits = true; }
  }
  if (!digits) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    std::string exp = "e";
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp += s[j++];
    bool exp_digits = false;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') { exp += s[j++]; exp_digits = true; }
    if (exp_digits) num += exp;
  }
  double v = std::strtod(num.c_str(), nullptr);
  // A number too large for a double is still a large number: keep its sign
  // so that ReadRoundedInt clamps it like any other out-of-range value.
  if (std::isinf(v)) return v > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
  return std::isfinite(v) ? v : 0.0;
}

std::int32_t RoundHalfEven(double v) {
  if (!std::isfinite(v)) return 0;
  double r = std::nearbyint(v);  // the default rounding mode is to nearest, ties to even
  if (r > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (r < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(r);
}

std::int32_t ReadRoundedInt(std::string_view s) { return RoundHalfEven(ReadNumber(s)); }

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string n(name);
  for (char& c : n) {
    if (c == '\\') c = '/';
  }
  // No folder: the name stays relative rather than moving under "/".
  if (folder.empty()) return n;
  std::string out(folder);
  if (out.back() != '/') out += '/';
  out += n;
  return out;
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string DirName(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 && HexDigitValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool ContainsIgnoringAsciiCase(std::string_view s, std::string_view part) {
  if (part.size() > s.size()) return false;
  for (size_t i = 0; i + part.size() <= s.size(); ++i) {
    if (EqualsIgnoringAsciiCase(s.substr(i, part.size()), part)) return true;
  }
  return false;
}

bool SameAddress(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const size_t at = a.rfind('@');
  if (at == std::string_view::npos || b.rfind('@') != at) return a == b;
  return a.substr(0, at) == b.substr(0, at) && EqualsIgnoringAsciiCase(a.substr(at), b.substr(at));
}

}  // namespace kelmora
