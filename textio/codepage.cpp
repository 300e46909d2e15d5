#include "textio/codepage.h"

#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kelmora {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// One cached descriptor per direction; the program is single-threaded, but
// thread_local keeps tests that use threads honest.
class Converter {
 public:
  Converter(const char* to, const char* from) {
    cd_ = iconv_open(to, from);
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert");
  }
  ~Converter() { iconv_close(cd_); }
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
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(expected_size);
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

std::string Utf8ToCp932(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  static thread_local Converter conv("CP932", "UTF-8");
  return Convert(conv.get(), text, text.size(), [](std::string_view rest, std::string* out) -> size_t {
    // Invalid UTF-8: one "?" per bad byte. A valid character that code page
    // 932 lacks: its Windows mapping when there is one, else one "?".
    size_t len = Utf8SeqLen(rest, 0);
    if (len == 0) {
      *out += '?';
      return 1;
    }
    const char* fb = Cp932Fallback(Utf8Decode(rest.substr(0, len)));
    *out += fb ? fb : "?";
    return len;
  });
}

bool IconvToUtf8(std::string_view bytes, const char* encoding, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out = Convert(cd, bytes, bytes.size() * 3 + 16, ReplaceOneByte);
  iconv_close(cd);
  *utf8 = SanitizeUtf8(out);
  return true;
}

bool IcuToUtf8(std::string_view bytes, const char* encoding, std::string* utf8) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(encoding, &status);
  if (U_FAILURE(status) || cnv == nullptr) return false;
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), cnv, status);
  ucnv_close(cnv);
  if (U_FAILURE(status)) return false;
  std::string out;
  text.toUTF8String(out);
  *utf8 = SanitizeUtf8(out);
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
