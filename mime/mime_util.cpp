// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mime_util.h"

#include <algorithm>

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
  // Runs without a line break (or NUL) are copied whole; the next of each
  // mark is looked up once and kept until it is passed.
  const size_t npos = std::string_view::npos;
  size_t next_cr = text.find('\r'), next_lf = text.find('\n'), next_nul = drop_nul ? text.find('\0') : npos;
  size_t i = 0;
  while (i < text.size()) {
    if (next_cr != npos && next_cr < i) next_cr = text.find('\r', i);
    if (next_lf != npos && next_lf < i) next_lf = text.find('\n', i);
    if (next_nul != npos && next_nul < i) next_nul = text.find('\0', i);
    const size_t run = std::min({next_cr, next_lf, next_nul, text.size()});
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
