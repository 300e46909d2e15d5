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
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else if (c != '\0' || !drop_nul) {
      out += c;
    }
  }
  return out;
}

std::string WriteWithCrLf(GMimeObject* object) {
  GByteArray* array = g_byte_array_new();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));  // owns array
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  g_mime_object_write_to_stream(object, options, stream.get());
  g_mime_format_options_free(options);
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

}  // namespace kelmora
