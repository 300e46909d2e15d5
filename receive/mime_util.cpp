#include "receive/mime_util.h"

#include <cctype>

namespace kelmora {

const char* RawHeader(GMimeObject* object, const char* name) {
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  if (headers == nullptr) return nullptr;
  GMimeHeader* header = g_mime_header_list_get_header(headers, name);
  if (header == nullptr) return nullptr;
  return g_mime_header_get_raw_value(header);
}

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F) ? ' ' : c;
  }
  return out;
}

std::string ToCrLf(std::string_view text, bool drop_nul) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  // Runs without a line break (or NUL) are copied whole.
  size_t i = 0;
  while (i < text.size()) {
    size_t run = i;
    while (run < text.size() && text[run] != '\r' && text[run] != '\n' && (text[run] != '\0' || !drop_nul)) ++run;
    out.append(text.data() + i, run - i);
    if (run == text.size()) break;
    const char c = text[run];
    i = run + 1;
    if (c == '\r') {
      out += "\r\n";
      if (i < text.size() && text[i] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    }  // else a NUL that is dropped
  }
  return out;
}

}  // namespace kelmora
