// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/charset_decoder.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "mime/jis_forms.h"
#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsValidUtf8(std::string_view s) { return IsAscii(s) || SanitizeUtf8(s) == s; }

bool HasIso2022Escape(std::string_view s) {
  return s.find("\x1b$B") != std::string_view::npos || s.find("\x1b$@") != std::string_view::npos ||
         s.find("\x1b(I") != std::string_view::npos || s.find("\x1b$(D") != std::string_view::npos;
}

// Length of the ISO-2022 designation escape at `i`, or 0.
size_t EscapeLength(std::string_view s, size_t i) {
  if (s[i] != '\x1b') return 0;
  std::string_view rest = s.substr(i);
  for (std::string_view e : {"\x1b(B", "\x1b(J", "\x1b(I", "\x1b$@", "\x1b$B", "\x1b$(D", "\x1b$(O",
                             "\x1b$(Q", "\x1b$A", "\x1b.A", "\x1b.F"}) {
    if (rest.substr(0, e.size()) == e) return e.size();
  }
  return 0;
}

// ICU decodes ISO-2022-JP a character at a time through its generic
// machinery, which costs more than everything else in reading a long
// Japanese body. Most mail uses nothing but ASCII and well-formed JIS X 0208
// pairs (ESC ( B and ESC $ B). For such text the character of each pair is
// taken from a table that ICU itself fills once, in one conversion of all
// 94 x 94 pairs; everything else (other escapes, a pair ICU does not know,
// control or 8-bit bytes among the pairs) goes to ICU whole, so the result
// is always ICU's.
class Jis0208Table {
 public:
  Jis0208Table() {
    std::string all = "\x1b$B";
    for (int a = 0x21; a <= 0x7E; ++a) {
      for (int b = 0x21; b <= 0x7E; ++b) {
        all += static_cast<char>(a);
        all += static_cast<char>(b);
      }
    }
    all += "\x1b(B";
    UErrorCode status = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open("ISO-2022-JP", &status);
    if (U_FAILURE(status) || cnv == nullptr) return;
    icu::UnicodeString text(all.data(), static_cast<int32_t>(all.size()), cnv, status);
    ucnv_close(cnv);
    // One character per pair, or the table is not to be trusted.
    if (U_FAILURE(status) || text.length() != kPairs) return;
    entries_.resize(kPairs);
    for (int i = 0; i < kPairs; ++i) {
      const UChar ch = text.charAt(i);
      Entry& e = entries_[static_cast<size_t>(i)];
      if (ch == 0xFFFD || ch == 0x1A || (ch >= 0xD800 && ch <= 0xDFFF)) continue;  // left to ICU
      if (ch < 0x80) {
        e.bytes[0] = static_cast<char>(ch);
        e.length = 1;
      } else if (ch < 0x800) {
        e.bytes[0] = static_cast<char>(0xC0 | (ch >> 6));
        e.bytes[1] = static_cast<char>(0x80 | (ch & 0x3F));
        e.length = 2;
      } else {
        e.bytes[0] = static_cast<char>(0xE0 | (ch >> 12));
        e.bytes[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        e.bytes[2] = static_cast<char>(0x80 | (ch & 0x3F));
        e.length = 3;
      }
    }
  }

  // Decodes `bytes` into *out; false (out undefined) when the text needs ICU.
  bool Decode(std::string_view bytes, std::string* out) const {
    if (entries_.empty()) return false;
    out->clear();
    out->reserve(bytes.size() * 3 / 2 + 16);
    bool pairs = false;
    for (size_t i = 0; i < bytes.size();) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (c == 0x1B) {
        const std::string_view esc = bytes.substr(i, 3);
        if (esc == "\x1b(B") {
          pairs = false;
        } else if (esc == "\x1b$B") {
          pairs = true;
        } else {
          return false;
        }
        i += 3;
        continue;
      }
      if (c >= 0x80 || c == 0x0E || c == 0x0F) return false;
      if (!pairs) {
        out->push_back(static_cast<char>(c));
        ++i;
        continue;
      }
      if (i + 1 >= bytes.size()) return false;
      const auto d = static_cast<unsigned char>(bytes[i + 1]);
      if (c < 0x21 || c > 0x7E || d < 0x21 || d > 0x7E) return false;
      const Entry& e = entries_[static_cast<size_t>((c - 0x21) * 94 + (d - 0x21))];
      if (e.length == 0) return false;
      out->append(e.bytes, e.length);
      i += 2;
    }
    return true;
  }

 private:
  static constexpr int kPairs = 94 * 94;
  struct Entry {
    char bytes[3] = {0, 0, 0};
    size_t length = 0;  // 0: the pair is left to ICU
  };
  std::vector<Entry> entries_;
};

std::string DecodeIso2022Jp(std::string_view bytes, const char* label = "ISO-2022-JP") {
  // ICU takes an escape sequence directly followed by another one for an
  // error; such a pair arises whenever two encoded-words are joined, and the
  // first escape has no effect anyway, so it is dropped.
  std::string cleaned;
  cleaned.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    // Everything up to the next escape goes across whole.
    const size_t esc = std::min(bytes.find('\x1b', i), bytes.size());
    cleaned.append(bytes.substr(i, esc - i));
    i = esc;
    if (i == bytes.size()) break;
    size_t len = EscapeLength(bytes, i);
    if (len > 0 && i + len < bytes.size() && EscapeLength(bytes, i + len) > 0) {
      i += len;
      continue;
    }
    cleaned += bytes[i++];
  }
  std::string out;
  if (std::string_view(label) == "ISO-2022-JP") {
    static const Jis0208Table table;
    if (table.Decode(cleaned, &out)) return out;
  }
  if (IcuToUtf8(cleaned, label, &out)) return out;
  if (IcuToUtf8(cleaned, "ISO-2022-JP", &out)) return out;
  return SanitizeUtf8(cleaned);
}

}  // namespace

std::string DecodeUnlabelled(std::string_view bytes) {
  if (IsAscii(bytes)) {
    if (bytes.find('\x1b') != std::string_view::npos && HasIso2022Escape(bytes)) {
      return WithJisStandardForms(DecodeIso2022Jp(bytes));
    }
    return std::string(bytes);
  }
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return Cp932ToUtf8(bytes);
}

std::string NormalizeCharsetLabel(std::string_view charset) {
  std::string label = AsciiLower(Trim(charset));
  // Quotes survive in some broken headers; a "*lang" suffix comes from
  // RFC 2231 encoded-words.
  label.erase(std::remove(label.begin(), label.end(), '"'), label.end());
  size_t star = label.find('*');
  if (star != std::string::npos) label.erase(star);
  return label;
}

namespace {

// Labels that mail programs read as a larger charset, because senders
// write the larger one under the old name: GB2312 and GBK text holds GBK
// (and GB18030) characters, "ISO-8859-1" text holds Windows-1252
// quotation marks and dashes, and so on.
const char* WiderCharset(const std::string& label) {
  static const std::map<std::string, const char*> kWider = {
      {"gb2312", "GB18030"},      {"gb_2312-80", "GB18030"}, {"gb_2312", "GB18030"},    {"csgb2312", "GB18030"},
      {"euc-cn", "GB18030"},      {"x-euc-cn", "GB18030"},   {"gbk", "GB18030"},        {"x-gbk", "GB18030"},
      {"cp936", "GB18030"},       {"ms936", "GB18030"},      {"windows-936", "GB18030"}, {"chinese", "GB18030"},
      {"iso-ir-58", "GB18030"},   {"csiso58gb231280", "GB18030"},
      {"iso-8859-1", "windows-1252"}, {"iso8859-1", "windows-1252"}, {"iso_8859-1", "windows-1252"},
      {"latin1", "windows-1252"},     {"l1", "windows-1252"},        {"cp819", "windows-1252"},
      {"iso-8859-9", "windows-1254"}, {"latin5", "windows-1254"},
      {"iso-8859-11", "windows-874"}, {"tis-620", "windows-874"},
      {"euc-kr", "windows-949"},      {"ks_c_5601-1987", "windows-949"}, {"ks_c_5601", "windows-949"},
      {"ksc5601", "windows-949"},     {"cseuckr", "windows-949"},
      {"big5", "Big5-HKSCS"},         {"x-x-big5", "Big5-HKSCS"},       {"cn-big5", "Big5-HKSCS"},
  };
  auto it = kWider.find(label);
  return it == kWider.end() ? nullptr : it->second;
}

// Whether the charset reads every ASCII byte as itself, so that ASCII text
// in it needs no conversion. Not so for UTF-7, UTF-16, EBCDIC and the like.
// Unknown to both libraries counts as yes. Learnt once per name.
bool ReadsAsciiAsItself(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(name);
  if (it != known.end()) return it->second;
  std::string ascii;
  for (int c = 1; c < 0x80; ++c) ascii += static_cast<char>(c);
  std::string out;
  const bool identity = !(IcuToUtf8(ascii, name.c_str(), &out) || IconvToUtf8(ascii, name.c_str(), &out)) ||
                        out == ascii;
  if (known.size() < 256) known.emplace(name, identity);
  return identity;
}

}  // namespace

std::string DecodeMailCharset(std::string_view bytes, std::string_view charset) {
  std::string label = NormalizeCharsetLabel(charset);
  static const std::set<std::string> kCp932 = {"shift_jis", "shift-jis", "sjis", "x-sjis", "ms_kanji",
                                               "csshiftjis", "windows-31j", "cp932", "x-ms-cp932",
                                               "ms932", "shift_jisx0213", "x-sjis-open"};
  static const std::set<std::string> kEucJp = {"euc-jp", "eucjp", "x-euc-jp", "euc-jp-ms",
                                               "cseucpkdfmtjapanese", "x-euc", "eucjp-ms"};
  static const std::set<std::string> kUnlabelled = {"", "us-ascii", "ascii", "unknown-8bit", "x-unknown",
                                                    "unknown", "default", "us_ascii", "iso646-us"};
  if (label == "utf-8" || label == "utf8") return SanitizeUtf8(bytes);
  // The tables are code page 932's; a label that names the standard
  // charset gets the standard's characters back.
  const bool standard = !IsMicrosoftJapaneseLabel(label);
  if (kCp932.count(label)) return standard ? WithJisStandardForms(Cp932ToUtf8(bytes)) : Cp932ToUtf8(bytes);
  if (StartsWith(label, "iso-2022-jp") || label == "csiso2022jp" || label == "cp50220" || label == "cp50221" ||
      label == "cp50222") {
    const char* icu = label == "iso-2022-jp-1" ? "ISO-2022-JP-1"
                      : label == "iso-2022-jp-2" ? "ISO-2022-JP-2"
                                                 : "ISO-2022-JP";
    return standard ? WithJisStandardForms(DecodeIso2022Jp(bytes, icu)) : DecodeIso2022Jp(bytes, icu);
  }
  std::string out;
  if (kEucJp.count(label)) {
    if (IconvToUtf8(bytes, "EUC-JP-MS", &out)) return standard ? WithJisStandardForms(std::move(out)) : out;
    if (IcuToUtf8(bytes, "EUC-JP", &out)) return standard ? WithJisStandardForms(std::move(out)) : out;
    return DecodeUnlabelled(bytes);
  }
  if (kUnlabelled.count(label)) return DecodeUnlabelled(bytes);
  const char* wider = WiderCharset(label);
  const std::string name = wider ? wider : label;
  // ASCII text in an ASCII-based charset needs no conversion; ISO-2022-JP
  // escapes in a part that claims such a charset are read as ISO-2022-JP.
  if (IsAscii(bytes) && ReadsAsciiAsItself(name)) return DecodeUnlabelled(bytes);
  if (IcuToUtf8(bytes, name.c_str(), &out)) return out;
  if (IconvToUtf8(bytes, name.c_str(), &out)) return out;
  return DecodeUnlabelled(bytes);
}

}  // namespace kelmora
