// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/codepage.h"

#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelmora {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// One cached descriptor per direction and thread: the mail cycle runs on
// a thread of its own beside the window's.
// A system whose iconv lacks code page 932 is refused at start-up
// (CheckCodePage); should one get this far all the same, the conversions
// still keep their promise never to fail: every non-ASCII character becomes
// the substitute (Convert, below).
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != kNoConversion) iconv_close(cd_);
  }
  iconv_t get() { return cd_; }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence starting at s[i], or 0 when it is invalid.
size_t Utf8SeqLen(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  unsigned cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

unsigned Utf8Decode(std::string_view s) {
  unsigned char c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) return c;
  unsigned cp = (s.size() == 2) ? (c & 0x1F) : (s.size() == 3) ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
  return cp;
}

// Characters that Windows' own conversion maps into code page 932 although
// glibc's table has no entry for them (the JIS forms of the same glyphs).
const char* Cp932Fallback(unsigned cp) {
  switch (cp) {
    case 0x301C: return "\x81\x60";  // WAVE DASH -> FULLWIDTH TILDE
    case 0x2016: return "\x81\x61";  // DOUBLE VERTICAL LINE
    case 0x2212: return "\x81\x7C";  // MINUS SIGN
    case 0x00A2: return "\x81\x91";  // CENT SIGN
    case 0x00A3: return "\x81\x92";  // POUND SIGN
    case 0x00AC: return "\x81\xCA";  // NOT SIGN
    case 0x2014: return "\x81\x5C";  // EM DASH
    case 0x00A5: return "\x5C";      // YEN SIGN
    case 0x203E: return "\x7E";      // OVERLINE
    default: return nullptr;
  }
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Decoding's answer to input iconv cannot convert: the byte becomes U+FFFD
// and decoding resumes after it.
size_t ReplaceOneByte(std::string_view /*rest*/, std::string* out) {
  out->append(kReplacement);
  return 1;
}

// The one conversion loop. Runs all of `in` through `cd`. Where iconv stops
// at input it cannot convert (invalid, unmappable, or a sequence cut short
// at the end), on_stuck(rest of input, &out) appends a substitute and
// returns how many bytes to skip; conversion resumes behind them with the
// shift state reset. Every round consumes input or fills the output chunk,
// so the loop ends.
template <class OnStuck>
std::string Convert(iconv_t cd, std::string_view in, size_t expected_size, OnStuck on_stuck) {
  std::string out;
  out.reserve(expected_size);
  if (cd == kNoConversion) {
    for (size_t i = 0; i < in.size();) {
      if (static_cast<unsigned char>(in[i]) < 0x80) {
        out += in[i++];
        continue;
      }
      i += std::min(std::max<size_t>(on_stuck(in.substr(i), &out), 1), in.size() - i);
    }
    return out;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char chunk[8192];
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  while (src_left > 0) {
    char* dst = chunk;
    size_t dst_left = sizeof chunk;
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    int err = errno;
    out.append(chunk, static_cast<size_t>(dst - chunk));
    if (r != static_cast<size_t>(-1)) break;
    if (err == E2BIG && dst != chunk) continue;  // the chunk was full
    size_t skip = on_stuck(std::string_view(src, src_left), &out);
    skip = std::min(std::max<size_t>(skip, 1), src_left);
    src += skip;
    src_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    // Runs of ASCII go across whole.
    size_t ascii = i;
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    if (ascii > i) {
      out.append(bytes.substr(i, ascii - i));
      i = ascii;
      if (i == bytes.size()) break;
    }
    size_t len = Utf8SeqLen(bytes, i);
    if (len == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string Cp932ToUtf8(std::string_view bytes) {
  // Pure ASCII needs no conversion, and most log and rule lines are.
  if (IsAscii(bytes)) return std::string(bytes);
  static thread_local Converter conv("UTF-8", "CP932");
  return Convert(conv.get(), bytes, bytes.size() * 3 + 16, ReplaceOneByte);
}

namespace {

// What encoding does with input iconv cannot convert: invalid UTF-8 gives
// one "?" per bad byte; a valid character that code page 932 lacks gives
// its Windows mapping when there is one, else one "?".
size_t EncodeStuck(std::string_view rest, std::string* out) {
  size_t len = Utf8SeqLen(rest, 0);
  if (len == 0) {
    *out += '?';
    return 1;
  }
  const char* fb = Cp932Fallback(Utf8Decode(rest.substr(0, len)));
  *out += fb ? fb : "?";
  return len;
}

// The code page 932 bytes of each character of the Basic Multilingual
// Plane, worked out by iconv the first time the character is met. Code page
// 932 is stateless, so a character's bytes never depend on its neighbours,
// and a long text costs a table look-up per character instead of a trip
// through iconv's generic machinery.
class Cp932Encoder {
 public:
  Cp932Encoder() : conv_("CP932", "UTF-8"), table_(0x10000, 0) {
    ascii_identity_ = true;
    for (unsigned c = 0; c < 0x80; ++c) {
      const char ch = static_cast<char>(c);
      ascii_identity_ = ascii_identity_ && Learn(c, std::string_view(&ch, 1)) == ((1u << 16) | c);
    }
  }

  std::string Encode(std::string_view text) {
    // No character takes more bytes in code page 932 than in UTF-8.
    std::string out(text.size(), '\0');
    char* w = out.data();
    for (size_t i = 0; i < text.size();) {
      const auto lead = static_cast<unsigned char>(text[i]);
      if (ascii_identity_ && lead < 0x80) {
        *w++ = text[i++];
        continue;
      }
      // The common case of Japanese text, a well-formed three-byte
      // character of the table, without the general decoding.
      if ((lead & 0xF0) == 0xE0 && i + 2 < text.size()) {
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        const auto b2 = static_cast<unsigned char>(text[i + 2]);
        const unsigned cp = ((lead & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
        const std::uint32_t entry = table_[cp];
        if ((b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80 && cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) &&
            entry != 0) {
          if ((entry >> 16) == 2) *w++ = static_cast<char>((entry >> 8) & 0xFF);
          *w++ = static_cast<char>(entry & 0xFF);
          i += 3;
          continue;
        }
      }
      const size_t len = Utf8SeqLen(text, i);
      if (len == 0) {
        *w++ = '?';
        ++i;
        continue;
      }
      const std::string_view ch = text.substr(i, len);
      i += len;
      const unsigned cp = Utf8Decode(ch);
      if (cp > 0xFFFF) {
        const std::string bytes = Convert(conv_.get(), ch, 4, EncodeStuck);
        w = std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), len)), w);
        continue;
      }
      std::uint32_t entry = table_[cp];
      if (entry == 0) entry = Learn(cp, ch);
      // entry: byte count in bits 16-17, the bytes in bits 8-15 and 0-7.
      if ((entry >> 16) == 2) *w++ = static_cast<char>((entry >> 8) & 0xFF);
      *w++ = static_cast<char>(entry & 0xFF);
    }
    out.resize(static_cast<size_t>(w - out.data()));
    return out;
  }

 private:
  std::uint32_t Learn(unsigned cp, std::string_view ch) {
    const std::string bytes = Convert(conv_.get(), ch, 4, EncodeStuck);
    std::uint32_t entry;
    if (bytes.size() == 1) {
      entry = (1u << 16) | static_cast<unsigned char>(bytes[0]);
    } else if (bytes.size() == 2) {
      entry = (2u << 16) | (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) << 8) |
              static_cast<unsigned char>(bytes[1]);
    } else {
      return (1u << 16) | '?';  // never seen: every mapping is one or two bytes
    }
    table_[cp] = entry;
    return entry;
  }

  Converter conv_;
  std::vector<std::uint32_t> table_;
  bool ascii_identity_ = false;  // ASCII maps onto itself (it does in glibc)
};

}  // namespace

Status CheckCodePage() {
  for (const auto& [to, from] : {std::pair{"UTF-8", "CP932"}, std::pair{"CP932", "UTF-8"}}) {
    iconv_t cd = iconv_open(to, from);
    if (cd == kNoConversion) {
      return Status::Error(std::string("this system's iconv cannot convert from ") + from + " to " + to +
                           " (the C library's gconv modules are missing)");
    }
    iconv_close(cd);
  }
  return Status::OK();
}

std::string Utf8ToCp932(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  static thread_local Cp932Encoder encoder;
  return encoder.Encode(text);
}

bool IconvToUtf8(std::string_view bytes, const char* encoding, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out = Convert(cd, bytes, bytes.size() * 3 + 16, ReplaceOneByte);
  iconv_close(cd);
  *utf8 = SanitizeUtf8(out);
  return true;
}

namespace {

// What cannot be decoded becomes U+FFFD. ICU's own substitute is U+001A
// for a single bad byte in some converters, a control character that must
// never reach a text.
void ReplacementCharacterCallback(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                                  UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  *err = U_ZERO_ERROR;
  static const UChar kReplacement = 0xFFFD;
  ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, err);
}

}  // namespace

bool IcuToUtf8(std::string_view bytes, const char* encoding, std::string* utf8) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(encoding, &status);
  if (U_FAILURE(status) || cnv == nullptr) return false;
  ucnv_setToUCallBack(cnv, ReplacementCharacterCallback, nullptr, nullptr, nullptr, &status);
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), cnv, status);
  ucnv_close(cnv);
  if (U_FAILURE(status)) return false;
  // toUTF8String substitutes U+FFFD for anything that is not a character,
  // so the result is valid UTF-8 as it comes.
  utf8->clear();
  text.toUTF8String(*utf8);
  return true;
}

std::string DecodeFileBytes(std::string_view bytes, FileEncoding* encoding) {
  if (bytes.substr(0, kBom.size()) == kBom) {
    if (encoding) *encoding = FileEncoding::kUtf8Bom;
    return SanitizeUtf8(bytes.substr(kBom.size()));
  }
  if (encoding) *encoding = FileEncoding::kCp932;
  return Cp932ToUtf8(bytes);
}

void DecodeFileBytesInPlace(std::string* bytes, FileEncoding* encoding) {
  if (IsAscii(*bytes)) {
    if (encoding) *encoding = FileEncoding::kCp932;
    return;
  }
  *bytes = DecodeFileBytes(*bytes, encoding);
}

std::string EncodeFileText(std::string_view text, FileEncoding encoding) {
  if (encoding == FileEncoding::kUtf8Bom) return std::string(kBom) + SanitizeUtf8(text);
  return Utf8ToCp932(text);
}

int AnsiWidth(std::string_view text) { return static_cast<int>(Utf8ToCp932(text).size()); }

size_t Utf8Length(std::string_view text) {
  size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace kelmora
