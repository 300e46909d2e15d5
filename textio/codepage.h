// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion between the program's UTF-8 strings and the bytes of data
// files, which are code page 932 unless they begin with a UTF-8 byte order
// mark. Conversions never fail: bytes that are not valid in the source
// encoding become U+FFFD, characters that the target cannot hold become "?".
#pragma once

#include <string>
#include <string_view>

#include "textio/status.h"

namespace kelmora {

enum class FileEncoding { kCp932, kUtf8Bom };

std::string Cp932ToUtf8(std::string_view bytes);
std::string Utf8ToCp932(std::string_view text);

// OK when this system's iconv converts code page 932 both ways. Without it
// no data file reads right (every Japanese character would turn into a
// substitute), so the program checks this before it touches any.
[[nodiscard]] Status CheckCodePage();

// Decoding of bytes whose encoding is named from outside (mail charsets).
// glibc's iconv and ICU know different names and differ in some tables (only
// ICU's ISO-2022-JP keeps the NEC row 13), so the caller picks the library.
// Both give valid UTF-8 and never fail on content: what does not decode
// becomes U+FFFD (iconv: one per byte, then decoding resumes). They return
// false, leaving *utf8 alone, only when the library does not know the name.
bool IconvToUtf8(std::string_view bytes, const char* encoding, std::string* utf8);
bool IcuToUtf8(std::string_view bytes, const char* encoding, std::string* utf8);

// Replaces every invalid UTF-8 sequence by U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);

// Decodes the bytes of a data file; *encoding (when given) tells how the
// file was stored so that a rewrite can keep it.
std::string DecodeFileBytes(std::string_view bytes, FileEncoding* encoding = nullptr);
std::string EncodeFileText(std::string_view text, FileEncoding encoding);
// The same decoding, in place: pure ASCII (most data files) stays where it
// is, without a copy.
void DecodeFileBytesInPlace(std::string* bytes, FileEncoding* encoding = nullptr);

// The width of a text as the number of its bytes in code page 932.
int AnsiWidth(std::string_view text);

// The number of Unicode characters in a UTF-8 string.
size_t Utf8Length(std::string_view text);

}  // namespace kelmora
