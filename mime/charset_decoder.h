// SPDX-License-Identifier: GPL-3.0-or-later
// Text of mail content in the charset it is labelled with.
//
// Mail from Japanese mailers names its charset loosely: Shift_JIS labels
// carry code page 932 text, ISO-2022-JP carries the NEC and IBM extensions,
// and some parts and headers name no charset at all. These functions give
// UTF-8 in every case, keeping the extension characters (circled digits,
// "髙") that plain tables lose, and never fail: what does not decode
// becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// The text of `bytes` labelled with the MIME charset `charset`, as UTF-8.
// Shift_JIS and its aliases are read as code page 932, but with the
// standard's own wave dash, minus sign and the like (jis_forms.h), as are
// ISO-2022-JP and EUC-JP; ISO-2022-JP keeps the NEC and IBM extensions;
// every other label that ICU or iconv knows is decoded by it (UTF-7 and
// UTF-16 included), with the larger charset that mail programs read for
// some labels: GB2312 and GBK as GB18030, ISO-8859-1 as Windows-1252,
// EUC-KR as Windows-949, Big5 as Big5-HKSCS. An empty, "us-ascii" or
// unknown label: ISO-2022-JP when the bytes hold its escapes, else UTF-8
// when they are valid UTF-8, else code page 932. Never fails and never
// passes raw bytes on: what is not valid in the charset becomes U+FFFD
// (never a control character such as U+001A).
std::string DecodeMailCharset(std::string_view bytes, std::string_view charset);

// Bytes whose charset nobody named (raw 8-bit header text, unlabelled
// parts): ISO-2022-JP when they hold its escapes, else UTF-8 when they are
// valid UTF-8, else code page 932. The same as an empty label above.
std::string DecodeUnlabelled(std::string_view bytes);

// A charset label as compared and looked up: ASCII lower case, blanks and
// stray quotes removed, an RFC 2231 "*language" suffix dropped.
std::string NormalizeCharsetLabel(std::string_view charset);

}  // namespace kelmora
