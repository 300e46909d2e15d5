#include "receive/mail_reader.h"

#include <gmime/gmime.h>
#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "receive/mail_library_init.h"
#include "textio/codepage.h"
#include "textio/strings.h"

#include "receive/mime_util.h"

namespace kelmora {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";


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

// Converts with an ICU converter; false when ICU does not know the label.
bool IcuToUtf8(std::string_view bytes, const char* label, std::string* out) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(label, &status);
  if (U_FAILURE(status) || cnv == nullptr) return false;
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), cnv, status);
  ucnv_close(cnv);
  if (U_FAILURE(status)) return false;
  out->clear();
  text.toUTF8String(*out);
  *out = SanitizeUtf8(*out);
  return true;
}

// Converts with glibc iconv, one U+FFFD per undecodable byte; false when the
// label is unknown to iconv.
bool IconvToUtf8(std::string_view bytes, const char* label, std::string* out) {
  iconv_t cd = iconv_open("UTF-8", label);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result;
  result.resize(bytes.size() * 4 + 16);
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* dst = result.data();
  size_t dst_left = result.size();
  // Each round either finishes, grows the buffer or skips one byte, so the
  // loop ends after at most a few rounds per input byte.
  while (in_left > 0) {
    size_t r = iconv(cd, &in, &in_left, &dst, &dst_left);
    if (r != static_cast<size_t>(-1)) break;
    size_t used = static_cast<size_t>(dst - result.data());
    if (errno == E2BIG || dst_left < kReplacement.size()) {
      result.resize(result.size() * 2 + 16);
      dst = result.data() + used;
      dst_left = result.size() - used;
      if (errno == E2BIG) continue;
    }
    std::copy(kReplacement.begin(), kReplacement.end(), dst);
    dst += kReplacement.size();
    dst_left -= kReplacement.size();
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  result.resize(static_cast<size_t>(dst - result.data()));
  iconv_close(cd);
  *out = SanitizeUtf8(result);
  return true;
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

std::string DecodeIso2022Jp(std::string_view bytes, const char* label = "ISO-2022-JP") {
  // ICU takes an escape sequence directly followed by another one for an
  // error; such a pair arises whenever two encoded-words are joined, and the
  // first escape has no effect anyway, so it is dropped.
  std::string cleaned;
  cleaned.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t len = EscapeLength(bytes, i);
    if (len > 0 && i + len < bytes.size() && EscapeLength(bytes, i + len) > 0) {
      i += len;
      continue;
    }
    cleaned += bytes[i++];
  }
  std::string out;
  if (IcuToUtf8(cleaned, label, &out)) return out;
  if (IcuToUtf8(cleaned, "ISO-2022-JP", &out)) return out;
  return SanitizeUtf8(cleaned);
}

// Bytes whose charset nobody named: ISO-2022-JP when they hold its escapes,
// else UTF-8 when they are valid UTF-8, else code page 932.
std::string DecodeUnlabelled(std::string_view bytes) {
  if (IsAscii(bytes)) {
    if (bytes.find('\x1b') != std::string_view::npos && HasIso2022Escape(bytes)) return DecodeIso2022Jp(bytes);
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

// Strips a UTF-8 byte order mark at the start.
std::string WithoutBom(std::string text) {
  if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

// ---------------------------------------------------------------------------
// RFC 2047

struct EncodedWord {
  size_t end = 0;  // one past the closing "?="
  std::string charset;
  std::string bytes;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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
    } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
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

// Header value prepared for GMime's address parser: every run of
// encoded-words becomes one UTF-8 encoded-word and raw 8-bit text becomes
// UTF-8, so GMime's own (lossy) charset tables are never needed.
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

// ---------------------------------------------------------------------------
// Header access

const char* RawHeader(GMimeObject* object, const char* name) {
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  if (headers == nullptr) return nullptr;
  GMimeHeader* header = g_mime_header_list_get_header(headers, name);
  if (header == nullptr) return nullptr;
  return g_mime_header_get_raw_value(header);
}

std::string CleanDisplayName(std::string name) {
  name = Trim(OneLine(name));
  name = ReplaceAll(name, "\\\"", "\"");
  if (Contains(name, "@")) {
    name = ReplaceAll(name, "<", "\xEF\xBC\x9C");  // ＜
    name = ReplaceAll(name, ">", "\xEF\xBC\x9E");  // ＞
  }
  return name;
}

std::string CleanAddress(std::string addr) {
  addr = Trim(OneLine(addr));
  addr.erase(std::remove_if(addr.begin(), addr.end(), [](char c) { return c == '<' || c == '>' || c == ' '; }),
             addr.end());
  return addr;
}

std::string MailboxValue(InternetAddress* address) {
  const char* raw_name = internet_address_get_name(address);
  std::string name = raw_name ? SanitizeUtf8(raw_name) : "";
  // GMime leaves encoded-words it does not recognise (odd placements) alone.
  if (Contains(name, "=?")) name = DecodeHeaderText(name);
  name = CleanDisplayName(name);
  const char* raw_addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
  std::string addr = CleanAddress(raw_addr ? SanitizeUtf8(raw_addr) : "");
  if (name.empty()) return "<" + addr + ">";
  return "\"" + name + "\" <" + addr + ">";
}

// The first mailbox of a list, looking into groups; for an empty group its
// name. `depth` bounds nesting in malformed input.
bool FirstAddressValue(InternetAddressList* list, int depth, std::string* value) {
  if (list == nullptr || depth > 8) return false;
  int n = internet_address_list_length(list);
  for (int i = 0; i < n; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      *value = MailboxValue(address);
      return true;
    }
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      InternetAddressList* members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address));
      if (FirstAddressValue(members, depth + 1, value)) return true;
      if (value->empty()) {
        const char* raw_name = internet_address_get_name(address);
        std::string name = CleanDisplayName(raw_name ? SanitizeUtf8(raw_name) : "");
        if (!name.empty()) *value = "\"" + name + "\"";
      }
    }
  }
  return !value->empty();
}

std::string AddressItem(GMimeObject* message, const char* header, GMimeParserOptions* options) {
  const char* raw = RawHeader(message, header);
  if (raw == nullptr) return "";
  std::string normalized = NormalizeAddressHeader(raw);
  GPtr<InternetAddressList> list(internet_address_list_parse(options, normalized.c_str()));
  std::string value;
  if (FirstAddressValue(list.get(), 0, &value)) return value;
  // Nothing GMime could read as an address: hand on the text itself.
  return Trim(OneLine(DecodeHeaderText(raw)));
}

// ---------------------------------------------------------------------------
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

std::string PercentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
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

std::string RawParam(const char* raw, const std::string& name) {
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

// ---------------------------------------------------------------------------
// Part content

std::string StreamBytes(GByteArray* array) {
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

// The content of a leaf part with its transfer encoding undone.
std::string PartContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return "";
  GByteArray* array = g_byte_array_new();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));  // owns array
  g_mime_data_wrapper_write_to_stream(wrapper, stream.get());
  return StreamBytes(array);
}

// An attached message as it was sent, with CR LF line ends.
std::string MessagePartBytes(GMimeMessagePart* part) {
  GMimeMessage* message = g_mime_message_part_get_message(part);
  if (message == nullptr) return "";
  GByteArray* array = g_byte_array_new();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  g_mime_object_write_to_stream(GMIME_OBJECT(message), options, stream.get());
  g_mime_format_options_free(options);
  return StreamBytes(array);
}

// The charset of an HTML document that does not name one in its header:
// a <meta charset=...> near the start.
std::string HtmlMetaCharset(std::string_view html) {
  std::string head = AsciiLower(html.substr(0, 4096));
  size_t pos = head.find("charset=");
  if (pos == std::string::npos) return "";
  pos += 8;
  while (pos < head.size() && (head[pos] == '"' || head[pos] == '\'' || head[pos] == ' ')) ++pos;
  size_t end = pos;
  while (end < head.size() && (std::isalnum(static_cast<unsigned char>(head[end])) || head[end] == '-' ||
                               head[end] == '_'))
    ++end;
  return head.substr(pos, end - pos);
}

std::string PartText(GMimePart* part, bool html) {
  std::string bytes = PartContent(part);
  const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  std::string label = charset ? charset : "";
  if (label.empty() && html) label = HtmlMetaCharset(bytes);
  return WithoutBom(DecodeMailCharset(bytes, label));
}

// ---------------------------------------------------------------------------
// Attachment files

std::string TruncateUtf8(const std::string& s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

void SplitExtension(const std::string& name, std::string* stem, std::string* ext) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) {
    *stem = name;
    ext->clear();
    return;
  }
  *stem = name.substr(0, dot);
  *ext = name.substr(dot);
}

std::string ExtensionForType(const std::string& mime_type) {
  static const std::map<std::string, std::string> kTypes = {
      {"text/plain", ".txt"},          {"text/html", ".html"},
      {"message/rfc822", ".eml"},      {"message/delivery-status", ".txt"},
      {"text/rfc822-headers", ".txt"}, {"text/calendar", ".ics"},
      {"image/jpeg", ".jpg"},          {"image/png", ".png"},
      {"image/gif", ".gif"},           {"application/pdf", ".pdf"},
      {"application/zip", ".zip"},     {"application/pgp-signature", ".asc"},
  };
  auto it = kTypes.find(mime_type);
  return it == kTypes.end() ? ".bin" : it->second;
}

// A file name that is safe to create inside the reception folder.
std::string SafeFileName(const std::string& proposed, const std::string& mime_type) {
  std::string name = SanitizeUtf8(proposed);
  // A client may send a whole path ("C:\Users\x\a.doc"): keep the last part.
  size_t sep = name.find_last_of("/\\");
  if (sep != std::string::npos) name = name.substr(sep + 1);
  std::string clean;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    clean += c;
  }
  // No leading dot (hidden files are skipped by folder listings), no blanks
  // or dots at either end.
  size_t begin = clean.find_first_not_of(". \t");
  clean = begin == std::string::npos ? "" : clean.substr(begin);
  while (!clean.empty() && (clean.back() == '.' || clean.back() == ' ')) clean.pop_back();
  if (clean.empty()) return "attachment" + ExtensionForType(mime_type);
  std::string stem, ext;
  SplitExtension(clean, &stem, &ext);
  stem = TruncateUtf8(stem, 200 - ext.size());
  return stem + ext;
}

struct ReadContext {
  ReadContext(FileSystem& f, std::string d) : fs(f), folder(std::move(d)) {}
  FileSystem& fs;
  std::string folder;
  std::string body;
  bool have_plain = false;
  std::string html;
  bool have_html = false;
  std::vector<std::string> files;
  std::string error;
  int leaves = 0;
};

bool SaveAttachment(ReadContext& ctx, const std::string& proposed, const std::string& mime_type,
                    const std::string& bytes) {
  std::string name = SafeFileName(proposed, mime_type);
  std::string stem, ext;
  SplitExtension(name, &stem, &ext);
  std::string path = JoinPath(ctx.folder, name);
  for (int k = 1; ctx.fs.Exists(path); ++k) {
    if (k > 9999) {
      ctx.error = "ReadMail: no free file name for attachment " + name + " in " + ctx.folder;
      return false;
    }
    path = JoinPath(ctx.folder, stem + "(" + std::to_string(k) + ")" + ext);
  }
  Status s = ctx.fs.WriteFileAtomic(path, bytes);
  if (!s.ok()) {
    ctx.error = "ReadMail: cannot save attachment " + path + ": " + s.message();
    return false;
  }
  ctx.files.push_back(path);
  return true;
}

std::string MimeType(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return "application/octet-stream";
  const char* media = g_mime_content_type_get_media_type(type);
  const char* sub = g_mime_content_type_get_media_subtype(type);
  return AsciiLower(std::string(media ? media : "application") + "/" + (sub ? sub : "octet-stream"));
}

std::string PartFileName(GMimeObject* object) {
  std::string name = RawParam(RawHeader(object, "Content-Disposition"), "filename");
  if (name.empty()) name = RawParam(RawHeader(object, "Content-Type"), "name");
  if (name.empty() && GMIME_IS_PART(object)) {
    const char* gname = g_mime_part_get_filename(GMIME_PART(object));
    if (gname) name = SanitizeUtf8(gname);
  }
  return Trim(name);
}

bool IsAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

void Walk(ReadContext& ctx, GMimeObject* object, int depth);

// `whole_message`: the part is the message's only part; then a text part is
// its body even when a file name is attached to it.
void WalkLeaf(ReadContext& ctx, GMimeObject* object, bool whole_message) {
  std::string type = MimeType(object);
  std::string file_name = PartFileName(object);
  bool inline_text = !IsAttachmentDisposition(object) && (file_name.empty() || whole_message) &&
                     StartsWith(type, "text/");
  if (GMIME_IS_MESSAGE_PART(object)) {
    if (file_name.empty()) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      const char* raw_subject = inner ? RawHeader(GMIME_OBJECT(inner), "Subject") : nullptr;
      std::string subject = raw_subject ? Trim(OneLine(DecodeHeaderText(raw_subject))) : "";
      file_name = subject.empty() ? "message.eml" : TruncateUtf8(subject, 120) + ".eml";
    }
    SaveAttachment(ctx, file_name, type, MessagePartBytes(GMIME_MESSAGE_PART(object)));
    return;
  }
  if (!GMIME_IS_PART(object)) return;
  GMimePart* part = GMIME_PART(object);
  if (inline_text && type == "text/plain") {
    std::string text = ToCrLf(PartText(part, false), true);
    if (!ctx.have_plain) {
      ctx.body = text;
      ctx.have_plain = true;
    } else if (!text.empty()) {
      if (!EndsWith(ctx.body, "\r\n") && !ctx.body.empty()) ctx.body += "\r\n";
      ctx.body += text;
    }
    return;
  }
  if (inline_text && type == "text/html" && !ctx.have_html && !ctx.have_plain) {
    ctx.html = PartText(part, true);
    ctx.have_html = true;
    return;
  }
  SaveAttachment(ctx, file_name, type, PartContent(part));
}

// Of the versions in a multipart/alternative, the one to read: plain text
// first, then a nested multipart (HTML with its images), then HTML, then
// whatever comes first.
GMimeObject* ChooseAlternative(GMimeMultipart* multipart) {
  int n = g_mime_multipart_get_count(multipart);
  GMimeObject* nested = nullptr;
  GMimeObject* html = nullptr;
  for (int i = 0; i < n; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
    std::string type = MimeType(child);
    if (type == "text/plain" && !IsAttachmentDisposition(child)) return child;
    if (GMIME_IS_MULTIPART(child) && nested == nullptr) nested = child;
    if (type == "text/html" && html == nullptr) html = child;
  }
  if (nested) return nested;
  if (html) return html;
  return n > 0 ? g_mime_multipart_get_part(multipart, 0) : nullptr;
}

void Walk(ReadContext& ctx, GMimeObject* object, int depth) {
  // Bounds for hostile input: nesting depth and number of parts.
  if (object == nullptr || !ctx.error.empty() || depth > 40 || ++ctx.leaves > 5000) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    if (MimeType(object) == "multipart/alternative") {
      Walk(ctx, ChooseAlternative(multipart), depth + 1);
      return;
    }
    int n = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < n && ctx.error.empty(); ++i) Walk(ctx, g_mime_multipart_get_part(multipart, i), depth + 1);
    return;
  }
  WalkLeaf(ctx, object, depth == 0);
}

std::set<std::string> WantedFields(const std::string& fields) {
  std::set<std::string> wanted;
  for (const std::string& f : Split(AsciiLower(fields), ":")) {
    std::string t = Trim(f);
    if (!t.empty()) wanted.insert(t);
  }
  if (wanted.empty()) wanted = {"to", "from", "subject"};
  return wanted;
}

bool HasDotDotComponent(const std::string& name) {
  for (const std::string& part : Split(ReplaceAll(name, "\\", "/"), "/")) {
    if (part == "..") return true;
  }
  return false;
}

// Position of `needle` (lower case) in `text` at or after `from`, ignoring
// ASCII case; npos when absent.
size_t FindNoCase(std::string_view text, const std::string& needle, size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() &&
           std::tolower(static_cast<unsigned char>(text[i + k])) == static_cast<unsigned char>(needle[k]))
      ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
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
  if (kCp932.count(label)) return Cp932ToUtf8(bytes);
  if (StartsWith(label, "iso-2022-jp") || label == "csiso2022jp" || label == "cp50220" || label == "cp50221" ||
      label == "cp50222") {
    const char* icu = label == "iso-2022-jp-1" ? "ISO-2022-JP-1"
                      : label == "iso-2022-jp-2" ? "ISO-2022-JP-2"
                                                 : "ISO-2022-JP";
    return DecodeIso2022Jp(bytes, icu);
  }
  std::string out;
  if (kEucJp.count(label)) {
    if (IconvToUtf8(bytes, "EUC-JP-MS", &out)) return out;
    if (IcuToUtf8(bytes, "EUC-JP", &out)) return out;
    return DecodeUnlabelled(bytes);
  }
  if (kUnlabelled.count(label)) return DecodeUnlabelled(bytes);
  // ISO-2022-JP escapes in a part that claims some other 7-bit charset.
  if (IsAscii(bytes)) return DecodeUnlabelled(bytes);
  if (IcuToUtf8(bytes, label.c_str(), &out)) return out;
  if (IconvToUtf8(bytes, label.c_str(), &out)) return out;
  return DecodeUnlabelled(bytes);
}

std::string DecodeHeaderText(std::string_view raw) {
  std::string value = Unfold(raw);
  std::string out;
  ScanHeader(
      value, [&](std::string_view text) { out += DecodeUnlabelled(text); },
      [&](const std::string& charset, const std::string& bytes) { out += DecodeMailCharset(bytes, charset); });
  return Trim(out);
}

std::string HtmlToText(std::string_view html) {
  static const std::map<std::string, std::string> kEntities = {
      {"amp", "&"},        {"lt", "<"},          {"gt", ">"},          {"quot", "\""},
      {"apos", "'"},       {"nbsp", " "},        {"copy", "\xC2\xA9"}, {"reg", "\xC2\xAE"},
      {"yen", "\xC2\xA5"}, {"hellip", "\xE2\x80\xA6"}, {"mdash", "\xE2\x80\x94"}, {"ndash", "\xE2\x80\x93"},
      {"laquo", "\xC2\xAB"}, {"raquo", "\xC2\xBB"}, {"middot", "\xC2\xB7"}, {"times", "\xC3\x97"},
  };
  static const std::set<std::string> kBlocks = {"p",  "div", "tr", "li", "h1",  "h2", "h3", "h4", "h5",
                                                "h6", "table", "ul", "ol", "blockquote", "pre", "hr",
                                                "dt", "dd", "section", "article", "header", "footer"};
  static const std::set<std::string> kSkipped = {"script", "style", "head", "title"};
  std::string out;
  auto newline = [&] {
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  };
  size_t i = 0;
  bool no_more_gt = false;  // once no ">" follows, none will: stop searching
  while (i < html.size()) {
    char c = html[i];
    unsigned char next = i + 1 < html.size() ? static_cast<unsigned char>(html[i + 1]) : 0;
    // "<" starts a tag only before a letter, "/", "!" or "?"; otherwise, or
    // when no ">" follows, it is text ("a < b").
    if (c == '<' && !no_more_gt && (std::isalpha(next) || next == '/' || next == '!' || next == '?')) {
      if (html.compare(i, 4, "<!--") == 0) {
        size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      size_t gt = html.find('>', i + 1);
      if (gt == std::string_view::npos) {
        no_more_gt = true;
        continue;
      }
      std::string_view tag = html.substr(i + 1, gt - i - 1);
      bool closing = !tag.empty() && tag[0] == '/';
      size_t n = closing ? 1 : 0;
      std::string name;
      while (n < tag.size() && std::isalnum(static_cast<unsigned char>(tag[n]))) {
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(tag[n])));
        ++n;
      }
      i = gt + 1;
      if (!closing && kSkipped.count(name)) {
        size_t end = FindNoCase(html, "</" + name, i);
        if (end == std::string_view::npos) break;
        size_t end_gt = html.find('>', end);
        i = end_gt == std::string_view::npos ? html.size() : end_gt + 1;
        continue;
      }
      if (name == "br") newline();
      else if (kBlocks.count(name) && !out.empty() && out.back() != '\n') newline();
      continue;
    }
    if (c == '&') {
      size_t semi = html.find(';', i + 1);
      if (semi != std::string_view::npos && semi - i <= 10) {
        std::string entity(html.substr(i + 1, semi - i - 1));
        std::string decoded;
        if (!entity.empty() && entity[0] == '#') {
          long cp = -1;
          const char* digits = entity.c_str() + 1;
          int base = 10;
          if (*digits == 'x' || *digits == 'X') {
            base = 16;
            ++digits;
          }
          char* endp = nullptr;
          if (*digits) cp = std::strtol(digits, &endp, base);
          if (endp && *endp == '\0' && cp > 0) {
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            icu::UnicodeString u(static_cast<UChar32>(cp));
            u.toUTF8String(decoded);
          }
        } else {
          auto it = kEntities.find(AsciiLower(entity));
          if (it != kEntities.end()) decoded = it->second;
        }
        if (!decoded.empty()) {
          out += decoded;
          i = semi + 1;
          continue;
        }
      }
      out += '&';
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ' && out.back() != '\n') out += ' ';
      ++i;
      continue;
    }
    out += c;
    ++i;
  }
  // At most one empty line in a row, none at either end.
  std::string result;
  int newlines = 0;
  for (char ch : out) {
    if (ch == '\n') {
      while (!result.empty() && result.back() == ' ') result.pop_back();
      if (++newlines > 2) continue;
    } else {
      if (ch == ' ' && newlines > 0) continue;  // indentation after a break
      newlines = 0;
    }
    result += ch;
  }
  size_t first = result.find_first_not_of("\n ");
  if (first == std::string::npos) return "";
  size_t last = result.find_last_not_of("\n ");
  return result.substr(first, last - first + 1);
}

MailReply ReadMailFile(FileSystem& fs, const std::string& name, const std::string& fields,
                       const std::string& folder) {
  EnsureMailLibrariesInitialized();
  std::string path = JoinPath(folder, name);
  if (Trim(name).empty() || HasDotDotComponent(name)) {
    return MailReply::Text("ReadMail: invalid message name <" + name + ">");
  }
  std::string raw;
  Status s = fs.ReadFile(path, &raw);
  if (!s.ok()) return MailReply::Text("ReadMail: cannot read " + path + ": " + s.message());

  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GMimeParserOptions* options = g_mime_parser_options_new();
  const char* fallback[] = {"UTF-8", "CP932", nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
  if (!message) {
    g_mime_parser_options_free(options);
    return MailReply::Text("ReadMail: " + path + " is not a mail message");
  }
  GMimeObject* object = GMIME_OBJECT(message.get());

  std::set<std::string> wanted = WantedFields(fields);
  std::vector<std::string> items;
  if (wanted.count("to")) items.push_back("To: " + AddressItem(object, "To", options));
  if (wanted.count("from")) items.push_back("From: " + AddressItem(object, "From", options));
  if (wanted.count("subject")) {
    const char* raw_subject = RawHeader(object, "Subject");
    items.push_back("Subject: " + (raw_subject ? OneLine(DecodeHeaderText(raw_subject)) : std::string()));
  }
  g_mime_parser_options_free(options);

  ReadContext ctx{fs, folder};
  Walk(ctx, g_mime_message_get_mime_part(message.get()), 0);
  if (!ctx.error.empty()) {
    for (const std::string& f : ctx.files) fs.RemoveFile(f);
    return MailReply::Text(ctx.error);
  }
  std::string body = ctx.have_plain ? ctx.body : ctx.have_html ? ToCrLf(HtmlToText(ctx.html), true) : "";
  items.push_back("Body: " + body);
  for (const std::string& f : ctx.files) items.push_back("File: " + f);
  return MailReply::List(std::move(items));
}

}  // namespace kelmora
