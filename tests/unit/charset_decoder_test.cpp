#include "receive/charset_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "textio/codepage.h"

namespace kelmora {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD
// ISO-2022-JP "テスト①": ① is ESC $B 2D21, NEC row 13.
const std::string kJisTestCircled = "\x1b$B%F%9%H-!\x1b(B";
// Code page 932 "本文です①".
const std::string kSjisBody = "\x96\x7b\x95\xb6\x82\xc5\x82\xb7\x87\x40";

TEST(CharsetDecoderTest, JapaneseLabelsKeepExtensionsInEveryForm) {
  // Labels as mailers write them: any case, quoted, with an RFC 2231
  // language suffix, with blanks.
  for (const char* label : {"ISO-2022-JP", "iso-2022-jp", "\"ISO-2022-JP\"", "CP50220", " csISO2022JP "}) {
    EXPECT_EQ(DecodeMailCharset(kJisTestCircled, label), "テスト①") << label;
  }
  for (const char* label : {"Shift_JIS", "\"shift_jis\"", "SJIS*ja", "MS932"}) {
    EXPECT_EQ(DecodeMailCharset(kSjisBody, label), "本文です①") << label;
  }
  // ① and ～ in EUC-JP as the Microsoft variant stores them.
  EXPECT_EQ(DecodeMailCharset("\xad\xa1\xa1\xc1", "euc-jp"), "①～");
  // Two designations in a row (two encoded-words joined) are harmless.
  EXPECT_EQ(DecodeMailCharset("\x1b$B%F\x1b(B\x1b$B%9\x1b(B", "ISO-2022-JP"), "テス");
}

TEST(CharsetDecoderTest, UnknownAndMissingLabelsAreGuessedFromTheBytes) {
  for (const char* label : {"", "x-unknown-thing", "us-ascii", "unknown-8bit"}) {
    EXPECT_EQ(DecodeMailCharset("\xe6\x9c\xac\xe6\x96\x87", label), "本文") << label;  // valid UTF-8
    EXPECT_EQ(DecodeMailCharset(kSjisBody, label), "本文です①") << label;
    EXPECT_EQ(DecodeMailCharset(kJisTestCircled, label), "テスト①") << label;
  }
  EXPECT_EQ(DecodeUnlabelled(kJisTestCircled), "テスト①");
  // An escape character alone is not ISO-2022-JP.
  EXPECT_EQ(DecodeUnlabelled("a\x1b" "b"), "a\x1b" "b");
  // A label the libraries do know, outside Japanese.
  EXPECT_EQ(DecodeMailCharset("caf\xe9", "ISO-8859-1"), "café");
}

TEST(CharsetDecoderTest, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(DecodeMailCharset("ok\xff\xfe", "utf-8"), "ok" + kReplacement + kReplacement);
  EXPECT_EQ(DecodeMailCharset("\x82\xA0\xFF\x82", "Shift_JIS"), "あ" + kReplacement + kReplacement);
  EXPECT_EQ(DecodeMailCharset("\xb0\xa1\xff" "a", "EUC-JP"), "亜" + kReplacement + "a");
  // ISO-2022-JP cut inside a double-byte run, or holding 8-bit bytes.
  for (const std::string& bytes : {std::string("\x1b$B%F%"), std::string("\x1b$B%F\xff\x1b(Bx")}) {
    std::string text = DecodeMailCharset(bytes, "ISO-2022-JP");
    EXPECT_EQ(SanitizeUtf8(text), text);
    EXPECT_EQ(text.rfind("テ", 0), 0u) << text;
    EXPECT_NE(text.find(kReplacement), std::string::npos) << text;
  }
  EXPECT_EQ(DecodeMailCharset("", "ISO-2022-JP"), "");
}

}  // namespace
}  // namespace kelmora
