// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/header_decoder.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

namespace kelmora {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string B64(const std::string& bytes) {
  gchar* s = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(s);
  g_free(s);
  return out;
}

TEST(HeaderDecoderTest, CharactersSplitAcrossEncodedWordsDecodeWhole) {
  // Code page 932 "あい": the lead byte of い ends the first word.
  std::string sjis = "\x82\xA0\x82\xA2";
  EXPECT_EQ(DecodeHeaderText("=?Shift_JIS?B?" + B64(sjis.substr(0, 3)) + "?=\r\n =?shift_jis?B?" +
                             B64(sjis.substr(3)) + "?="),
            "あい");
  // Q encoding, UTF-8 "①" cut after its first byte.
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?=E2?= =?UTF-8?Q?=91=A0x?="), "①x");
  // ISO-2022-JP with ① (NEC row 13) cut inside the double-byte run.
  EXPECT_EQ(DecodeHeaderText("=?ISO-2022-JP?B?" + B64("\x1b$B-") + "?= =?ISO-2022-JP?B?" + B64("!\x1b(B") + "?="),
            "①");
  // Different charsets are not joined; the blank between them still goes.
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?B?" + B64("件") + "?= =?Shift_JIS?B?" + B64("\x96\xBC") + "?="), "件名");
}

TEST(HeaderDecoderTest, MalformedWordsStayAndBadBytesAreReplaced) {
  // Not encoded-words: left as written.
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?B?YWJj"), "=?UTF-8?B?YWJj");
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?X?abc?="), "=?UTF-8?X?abc?=");
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?a b?="), "=?UTF-8?Q?a b?=");
  // An unknown charset: the bytes are guessed like raw text.
  EXPECT_EQ(DecodeHeaderText("=?x-no-such?B?" + B64("本文") + "?="), "本文");
  EXPECT_EQ(DecodeHeaderText("=?x-no-such?B?" + B64("\x96\x7b\x95\xb6") + "?="), "本文");
  // A truncated UTF-8 character at the end.
  EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?ok=E2=91?="), "ok" + kReplacement + kReplacement);
  // Raw 8-bit text, code page 932 or UTF-8, with encoded-words around it.
  EXPECT_EQ(DecodeHeaderText("\x87\x40 =?UTF-8?B?" + B64("②") + "?= \xe2\x91\xa2"), "① ② ③");
  // Folding goes; blanks at either end go; inner blanks stay.
  EXPECT_EQ(DecodeHeaderText("  a\r\n\tb  c \r\n"), "a\tb  c");
}

TEST(HeaderDecoderTest, ParametersDecodeInEveryForm) {
  EXPECT_EQ(DecodeHeaderParameter("attachment; filename*=Shift_JIS''%87%40.txt", "filename"), "①.txt");
  EXPECT_EQ(DecodeHeaderParameter("attachment; filename*0*=utf-8'ja'%E2%91;\r\n filename*1*=%A0;\r\n filename*2=.pdf",
                                  "filename"),
            "①.pdf");
  const std::string jis_name = "text/plain; charset=x; name=\"=?ISO-2022-JP?B?" + B64("\x1b$B-!\x1b(B") + "?=.txt\"";
  EXPECT_EQ(DecodeHeaderParameter(jis_name.c_str(), "name"), "①.txt");
  EXPECT_EQ(DecodeHeaderParameter("attachment; filename=\"\x87\x40 \\\"q\\\";.txt\"", "filename"), "① \"q\";.txt");
  // The type token is not a parameter, and a quoted ";" does not end one.
  EXPECT_EQ(DecodeHeaderParameter("attachment; x=\"a;filename=bad\"", "filename"), "");
  EXPECT_EQ(DecodeHeaderParameter(nullptr, "filename"), "");
}

TEST(HeaderDecoderTest, AddressHeadersBecomeUtf8EncodedWords) {
  // Each run of words becomes one UTF-8 word, so GMime's tables never see
  // code page 932 or ISO-2022-JP; raw 8-bit names become UTF-8 text.
  EXPECT_EQ(NormalizeAddressHeader("=?ISO-2022-JP?B?" + B64("\x1b$B-!\x1b(B") + "?=\r\n <a@example.jp>"),
            "=?UTF-8?B?" + B64("①") + "?= <a@example.jp>");
  EXPECT_EQ(NormalizeAddressHeader("\x87\x40 <b@example.jp>"), "① <b@example.jp>");
}

}  // namespace
}  // namespace kelmora
