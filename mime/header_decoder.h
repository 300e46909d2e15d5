// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding of raw header values into UTF-8 text.
//
// Values come as the message carries them: folded over lines, with
// RFC 2047 encoded-words in any charset (a multi-byte character may be split
// across two words, ISO-2022-JP words carry the NEC extensions), raw 8-bit
// text in UTF-8 or code page 932, and MIME parameters in RFC 2231 or
// RFC 2047 form. GMime's own tables lose code page 932 characters, so values
// are decoded here from the raw header. Nothing here fails: what does not
// decode becomes U+FFFD, and a malformed encoded-word stays as text.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// Decodes an unstructured header value (RFC 2047 encoded-words, also when
// a multi-byte character is split across two words; raw 8-bit text taken as
// UTF-8 or code page 932) and unfolds it onto one line. Blanks between two
// encoded-words vanish; leading and trailing blanks are trimmed.
std::string DecodeHeaderText(std::string_view raw);

// An address header (To, From) made ready for GMime's address parser: it is
// unfolded, every run of encoded-words becomes one UTF-8 encoded-word and
// raw 8-bit text becomes UTF-8, so GMime never needs its own tables.
std::string NormalizeAddressHeader(std::string_view raw);

// The value of parameter `name` (lower case, e.g. "filename") of a raw
// Content-Type or Content-Disposition value, decoded: RFC 2231 extended and
// continued values, or a plain value with encoded-words or raw 8-bit text.
// "" when `raw` is null or has no such parameter.
std::string DecodeHeaderParameter(const char* raw, const std::string& name);

}  // namespace kelmora
