// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/header_decoder.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>
#include <vector>

#include "mime/charset_decoder.h"
#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// RFC 2047

struct EncodedWord {
  size_t end = 0;  // one past the closing "?="
  std::string charset;
  std::string bytes;
};

// Lenient base64: characters outside the alphabet are skipped, missing
// padding is tolerated.
std::string DecodeBase64Lenient(std::string_view text) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') break;
    else continue;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

std::string DecodeQ(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// Parses "=?charset?B|Q?text?=" starting at `pos`.
bool ParseEncodedWord(std::string_view s, size_t pos, EncodedWord* word) {
  if (s.compare(pos, 2, "=?") != 0) return false;
  // Every search is bounded so that a hostile header full of "=?" costs
  // linear time, not quadratic.
  size_t q1 = s.substr(0, std::min(s.size(), pos + 82)).find('?', pos + 2);
  if (q1 == std::string_view::npos || q1 == pos + 2) return false;
  std::string_view charset = s.substr(pos + 2, q1 - pos - 2);
  for (char c : charset) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '=') return false;
  }
  if (q1 + 2 >= s.size() || s[q1 + 2] != '?') return false;
  char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
  if (enc != 'B' && enc != 'Q') return false;
  size_t text_begin = q1 + 3;
  size_t close = std::string_view::npos;
  for (size_t k = text_begin; k + 1 < s.size() && k < text_begin + 4096; ++k) {
    char c = s[k];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
    if (c == '?' && s[k + 1] == '=') {
      close = k;
      break;
    }
  }
  if (close == std::string_view::npos) return false;
  std::string_view text = s.substr(text_begin, close - text_begin);
  word->end = close + 2;
  word->charset = NormalizeCharsetLabel(charset);
  word->bytes = enc == 'B' ? DecodeBase64Lenient(text) : DecodeQ(text);
  return true;
}

bool IsBlankRun(std::string_view s) {
  for (char c : s) {
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

std::string Unfold(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

// Walks a header value and calls `on_text(bytes)` for raw text and
// `on_word(charset, bytes)` for each run of encoded-words that share one
// charset (their bytes joined, so that a character split across two words
// decodes whole). Blanks between two encoded-words are dropped.
template <class OnText, class OnWord>
void ScanHeader(std::string_view value, OnText on_text, OnWord on_word) {
  std::string pending_charset, pending_bytes;
  bool have_pending = false;
  auto flush = [&] {
    if (have_pending) on_word(pending_charset, pending_bytes);
    have_pending = false;
    pending_bytes.clear();
  };
  size_t i = 0;
  size_t text_start = 0;
  bool last_was_word = false;
  while (i < value.size()) {
    size_t next = value.find("=?", i);
    EncodedWord word;
    if (next == std::string_view::npos) break;
    if (!ParseEncodedWord(value, next, &word)) {
      i = next + 2;
      continue;
    }
    std::string_view between = value.substr(text_start, next - text_start);
    if (!(last_was_word && IsBlankRun(between))) {
      flush();
      if (!between.empty()) on_text(between);
    }
    if (have_pending && pending_charset != word.charset) flush();
    pending_charset = word.charset;
    pending_bytes += word.bytes;
    have_pending = true;
    last_was_word = true;
    i = text_start = word.end;
  }
  flush();
  if (text_start < value.size()) on_text(value.substr(text_start));
}

// MIME parameters, read from the raw header so that names in any charset
// (RFC 2231 or RFC 2047, or raw 8-bit) decode without loss.

std::vector<std::pair<std::string, std::string>> RawParams(std::string_view raw) {
  std::vector<std::pair<std::string, std::string>> params;
  std::string value = Unfold(raw);
  size_t i = 0;
  // Skip the type token ("attachment", "text/plain").
  bool in_quote = false;
  for (; i < value.size(); ++i) {
    if (value[i] == '"') in_quote = !in_quote;
    if (value[i] == ';' && !in_quote) break;
  }
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ';' || value[i] == ' ' || value[i] == '\t')) ++i;
    size_t name_start = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
    std::string name = AsciiLower(Trim(value.substr(name_start, i - name_start)));
    if (i >= value.size() || value[i] == ';') continue;
    ++i;  // '='
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    std::string v;
    if (i < value.size() && value[i] == '"') {
      ++i;
      while (i < value.size() && value[i] != '"') {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        v += value[i++];
      }
      if (i < value.size()) ++i;  // closing quote
      while (i < value.size() && value[i] != ';') ++i;
    } else {
      size_t start = i;
      while (i < value.size() && value[i] != ';') ++i;
      v = Trim(value.substr(start, i - start));
    }
    if (!name.empty()) params.emplace_back(name, v);
  }
  return params;
}

// Splits "charset'lang'value" of an RFC 2231 extended value.
void SplitExtended(const std::string& v, std::string* charset, std::string* rest) {
  size_t q1 = v.find('\'');
  size_t q2 = q1 == std::string::npos ? std::string::npos : v.find('\'', q1 + 1);
  if (q2 == std::string::npos) {
    charset->clear();
    *rest = v;
    return;
  }
  *charset = v.substr(0, q1);
  *rest = v.substr(q2 + 1);
}

}  // namespace

std::string DecodeHeaderText(std::string_view raw) {
  std::string value = Unfold(raw);
  std::string out;
  ScanHeader(
      value, [&](std::string_view text) { out += DecodeUnlabelled(text); },
      [&](const std::string& charset, const std::string& bytes) { out += DecodeMailCharset(bytes, charset); });
  return Trim(out);
}

std::string NormalizeAddressHeader(std::string_view raw) {
  std::string value = Unfold(raw);
  std::string out;
  ScanHeader(
      value, [&](std::string_view text) { out += DecodeUnlabelled(text); },
      [&](const std::string& charset, const std::string& bytes) {
        std::string utf8 = DecodeMailCharset(bytes, charset);
        gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(utf8.data()), utf8.size());
        out += "=?UTF-8?B?";
        out += b64;
        out += "?=";
        g_free(b64);
      });
  return out;
}

std::string DecodeHeaderParameter(const char* raw, const std::string& name) {
  if (raw == nullptr) return "";
  auto params = RawParams(raw);
  std::map<std::string, std::string> map;
  for (auto& p : params) map.emplace(p.first, p.second);

  auto extended = map.find(name + "*");
  if (extended != map.end()) {
    std::string charset, rest;
    SplitExtended(extended->second, &charset, &rest);
    return DecodeMailCharset(PercentDecode(rest), charset);
  }
  if (map.count(name + "*0") || map.count(name + "*0*")) {
    std::string charset, bytes;
    for (int k = 0; k < 1000; ++k) {
      std::string key = name + "*" + std::to_string(k);
      auto ext = map.find(key + "*");
      if (ext != map.end()) {
        std::string part = ext->second;
        if (k == 0) {
          std::string rest;
          SplitExtended(part, &charset, &rest);
          part = rest;
        }
        bytes += PercentDecode(part);
        continue;
      }
      auto plain = map.find(key);
      if (plain == map.end()) break;
      bytes += plain->second;
    }
    return charset.empty() ? DecodeHeaderText(bytes) : DecodeMailCharset(bytes, charset);
  }
  auto plain = map.find(name);
  if (plain != map.end()) return DecodeHeaderText(plain->second);
  return "";
}

}  // namespace kelmora
