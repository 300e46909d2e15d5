#include "textio/codepage.h"

#include <iconv.h>

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
  iconv_t get() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }

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
  bool ascii = true;
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) { ascii = false; break; }
  }
  if (ascii) return std::string(bytes);

  static thread_local Converter conv("UTF-8", "CP932");
  iconv_t cd = conv.get();
  std::string out;
  out.resize(bytes.size() * 3 + 16);
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (in_left > 0) {
    size_t r = iconv(cd, &in, &in_left, &dst, &dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {  // cannot happen with 3x, but stay safe
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL (truncated sequence at the end): one byte becomes
    // U+FFFD and conversion resumes after it.
    if (dst_left < kReplacement.size()) {
      size_t used = static_cast<size_t>(dst - out.data());
      out.resize(out.size() + 16);
      dst = out.data() + used;
      dst_left = out.size() - used;
    }
    for (char c : kReplacement) { *dst++ = c; --dst_left; }
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

std::string Utf8ToCp932(std::string_view text) {
  bool ascii = true;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) { ascii = false; break; }
  }
  if (ascii) return std::string(text);

  static thread_local Converter conv("CP932", "UTF-8");
  iconv_t cd = conv.get();
  std::string out;
  out.reserve(text.size());
  char buf[8];
  // Character by character keeps the error handling exact; data files are
  // small enough that this costs nothing noticeable.
  for (size_t i = 0; i < text.size();) {
    size_t len = Utf8SeqLen(text, i);
    if (len == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (len == 1) {
      out += text[i];
      ++i;
      continue;
    }
    char* in = const_cast<char*>(text.data() + i);
    size_t in_left = len;
    char* dst = buf;
    size_t dst_left = sizeof buf;
    size_t r = iconv(cd, &in, &in_left, &dst, &dst_left);
    if (r == static_cast<size_t>(-1)) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      const char* fb = Cp932Fallback(Utf8Decode(text.substr(i, len)));
      out += fb ? fb : "?";
    } else {
      out.append(buf, static_cast<size_t>(dst - buf));
    }
    i += len;
  }
  return out;
}

std::string DecodeFileBytes(std::string_view bytes, FileEncoding* encoding) {
  if (bytes.substr(0, kBom.size()) == kBom) {
    if (encoding) *encoding = FileEncoding::kUtf8Bom;
    return SanitizeUtf8(bytes.substr(kBom.size()));
  }
  if (encoding) *encoding = FileEncoding::kCp932;
  return Cp932ToUtf8(bytes);
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
