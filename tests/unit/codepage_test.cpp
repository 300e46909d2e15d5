// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>
#include <vector>

#include "textio/codepage.h"

namespace kelmora {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD
const std::string kBom = "\xEF\xBB\xBF";

struct Cp932Pair {
  const char* utf8;
  const char* cp932;
};

// Characters that Windows data files hold and a plain Shift_JIS table loses:
// NEC and IBM extensions, the full-width tilde, half-width katakana.
TEST(CodePageTest, Cp932ExtensionsRoundTrip) {
  const Cp932Pair pairs[] = {
      {"①", "\x87\x40"},         {"～", "\x81\x60"},         {"髙", "\xFB\xFC"},
      {"﨑", "\xFA\xB1"},         {"ⅰ", "\xFA\x40"},         {"∑", "\x87\x94"},
      {"㈱", "\x87\x8A"},         {"ｱｶﾞﾊﾟ", "\xB1\xB6\xDE\xCA\xDF"},
      {"あ", "\x82\xA0"},         {"漢字", "\x8A\xBF\x8E\x9A"}, {"表", "\x95\x5C"},
  };
  for (const Cp932Pair& p : pairs) {
    EXPECT_EQ(Utf8ToCp932(p.utf8), p.cp932) << p.utf8;
    EXPECT_EQ(Cp932ToUtf8(p.cp932), p.utf8) << p.utf8;
  }
  // A whole line of mixed text survives both ways.
  const std::string line = "会員①～髙﨑ⅰ∑㈱ｱｲｳ abc\\~,;";
  EXPECT_EQ(Cp932ToUtf8(Utf8ToCp932(line)), line);
}

TEST(CodePageTest, JisFormsEncodeToTheirWindowsCodes) {
  EXPECT_EQ(Utf8ToCp932("\xE3\x80\x9C"), "\x81\x60");  // U+301C WAVE DASH
  EXPECT_EQ(Utf8ToCp932("\xE2\x88\x92"), "\x81\x7C");  // U+2212 MINUS SIGN
  EXPECT_EQ(Utf8ToCp932("\xE2\x80\x96"), "\x81\x61");  // U+2016 DOUBLE VERTICAL LINE
  EXPECT_EQ(Utf8ToCp932("〜と−"), "\x81\x60\x82\xC6\x81\x7C");
}

TEST(CodePageTest, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp932("a😀b"), "a?b");
  EXPECT_EQ(Utf8ToCp932("\xC3\xA9"), "?");  // é has no code in 932
  // Invalid UTF-8 input: one "?" per bad byte, the rest kept.
  EXPECT_EQ(Utf8ToCp932("x\xFFy\xE3\x81"), "x?y??");
}

TEST(CodePageTest, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Cp932ToUtf8("\x80"), kReplacement);
  EXPECT_EQ(Cp932ToUtf8("\xFF"), kReplacement);
  EXPECT_EQ(Cp932ToUtf8("\xA0"), kReplacement);
  // A lone lead byte at the very end.
  EXPECT_EQ(Cp932ToUtf8("abc\x82"), "abc" + kReplacement);
  // A lead byte followed by a byte that cannot trail: only the lead is lost.
  EXPECT_EQ(Cp932ToUtf8("\x82 x"), kReplacement + " x");
  // Conversion resumes after the bad byte and keeps later characters.
  EXPECT_EQ(Cp932ToUtf8("\xFF\x82\xA0\x80\x87\x40"), kReplacement + "あ" + kReplacement + "①");
}

TEST(CodePageTest, BinaryGarbageNeverCrashes) {
  std::string all;
  for (int round = 0; round < 4; ++round) {
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  }
  all += "\x82";  // ends inside a character
  std::string utf8 = Cp932ToUtf8(all);
  EXPECT_EQ(SanitizeUtf8(utf8), utf8) << "the result must be valid UTF-8";
  EXPECT_NE(utf8.find("0123456789:;<=>?@ABC"), std::string::npos);
  // Invalid UTF-8 on the way back does not crash either, and ASCII survives.
  EXPECT_NE(Utf8ToCp932(all).find("0123456789:;<=>?@ABC"), std::string::npos);
  EXPECT_EQ(SanitizeUtf8(SanitizeUtf8(all)), SanitizeUtf8(all));
}

TEST(CodePageTest, SanitizeUtf8ReplacesEachBadByte) {
  EXPECT_EQ(SanitizeUtf8("ok あ"), "ok あ");
  EXPECT_EQ(SanitizeUtf8("a\xC0\xAF" "b"), "a" + kReplacement + kReplacement + "b");  // overlong "/"
  EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
  EXPECT_EQ(SanitizeUtf8("\xE3\x81"), kReplacement + kReplacement);  // truncated
  EXPECT_EQ(SanitizeUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(CodePageTest, BomSelectsUtf8AndRewriteKeepsIt) {
  FileEncoding enc = FileEncoding::kCp932;
  EXPECT_EQ(DecodeFileBytes(kBom + "会員\r\n", &enc), "会員\r\n");
  EXPECT_EQ(enc, FileEncoding::kUtf8Bom);
  EXPECT_EQ(EncodeFileText("会員\r\n", enc), kBom + "会員\r\n");

  // The same text without the mark is code page 932.
  EXPECT_EQ(DecodeFileBytes("\x89\xEF\x88\xF5", &enc), "会員");
  EXPECT_EQ(enc, FileEncoding::kCp932);
  EXPECT_EQ(EncodeFileText("会員", enc), "\x89\xEF\x88\xF5");

  // Half a mark is not a mark; invalid UTF-8 after a mark is replaced.
  EXPECT_EQ(DecodeFileBytes("\xEF\xBB", &enc), kReplacement + "ｻ");  // 0xBB alone is ｻ
  EXPECT_EQ(enc, FileEncoding::kCp932);
  EXPECT_EQ(DecodeFileBytes(kBom + "a\xFF", &enc), "a" + kReplacement);
  EXPECT_EQ(enc, FileEncoding::kUtf8Bom);
  EXPECT_EQ(DecodeFileBytes(kBom, &enc), "");
  EXPECT_EQ(DecodeFileBytes("", &enc), "");
  EXPECT_EQ(enc, FileEncoding::kCp932);
}

TEST(CodePageTest, AnsiWidthCountsCp932Bytes) {
  EXPECT_EQ(AnsiWidth(""), 0);
  EXPECT_EQ(AnsiWidth("a"), 1);
  EXPECT_EQ(AnsiWidth("あ"), 2);
  EXPECT_EQ(AnsiWidth("ｱ"), 1);
  EXPECT_EQ(AnsiWidth("①～"), 4);
  EXPECT_EQ(AnsiWidth("aあｱ"), 4);
  EXPECT_EQ(Utf8Length("aあｱ"), 3u);
}

TEST(CodePageTest, LongTextConvertsWhole) {
  std::string utf8;
  for (int i = 0; i < 20000; ++i) utf8 += "あｱa①";
  std::string cp = Utf8ToCp932(utf8);
  EXPECT_EQ(cp.size(), 20000u * 6);
  EXPECT_EQ(Cp932ToUtf8(cp), utf8);
}

// Long texts convert in pieces: a character, a bad byte or an unmappable
// character that falls on the edge of a piece is handled like any other.
TEST(CodePageTest, PieceBoundariesLoseNothing) {
  for (size_t pad = 8185; pad < 8197; ++pad) {
    std::string cp932 = std::string(pad, 'a') + "\x82\xA0\xFF\x87\x40\x82";
    EXPECT_EQ(Cp932ToUtf8(cp932), std::string(pad, 'a') + "あ" + kReplacement + "①" + kReplacement) << pad;
    std::string utf8 = std::string(pad, 'a') + "あ😀〜\xFF①";
    EXPECT_EQ(Utf8ToCp932(utf8), std::string(pad, 'a') + "\x82\xA0?\x81\x60?\x87\x40") << pad;
  }
}

TEST(CodePageTest, NamedDecodersReplaceBadBytesAndRefuseUnknownNames) {
  std::string out = "untouched";
  EXPECT_FALSE(IconvToUtf8("abc", "X-NO-SUCH-CODE", &out));
  EXPECT_FALSE(IcuToUtf8("abc", "x-no-such-code", &out));
  EXPECT_EQ(out, "untouched");
  ASSERT_TRUE(IconvToUtf8("\xad\xa1\xff\xb0\xa1", "EUC-JP-MS", &out));
  EXPECT_EQ(out, "①" + kReplacement + "亜");
  ASSERT_TRUE(IcuToUtf8("\x1b$B-!\x1b(B", "ISO-2022-JP", &out));
  EXPECT_EQ(out, "①");
}


// The encoder as iconv does it over the whole text in one go, with the
// same answers where it stops: "?" per invalid byte, the Windows mapping or
// "?" for a character code page 932 lacks.
std::string WholeTextCp932(const std::string& text) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  std::string out;
  char* src = const_cast<char*>(text.data());
  size_t left = text.size();
  while (left > 0) {
    char buf[4096];
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    const int err = errno;
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r != static_cast<size_t>(-1) || (err == E2BIG && dst != buf)) continue;
    // Stuck: an invalid byte or a character without a mapping.
    const std::string rest(src, left);
    const std::string one = Utf8ToCp932(rest.substr(0, 1));  // an invalid lead byte gives "?"
    size_t len = 1;
    const auto lead = static_cast<unsigned char>(rest[0]);
    if (lead >= 0xC2 && lead <= 0xF4) len = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::string ch = rest.substr(0, std::min(len, rest.size()));
    // A well-formed character iconv refused: the shortcut's answer for it
    // alone is checked separately below; here it stands for itself.
    if (ch.size() == len && len > 1 && SanitizeUtf8(ch) == ch) {
      out += Utf8ToCp932(ch);
      src += len;
      left -= len;
    } else {
      out += one;
      ++src;
      --left;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

// The per-character table gives what iconv gives over the whole text:
// kana, kanji, the NEC and IBM rows, characters only the Windows fallbacks
// know, characters no table knows, and broken UTF-8 between them.
TEST(CodePageTest, EncodingCharacterByCharacterMatchesTheWholeText) {
  const std::vector<std::string> pieces = {
      "a", "Z", "\\", "~", " ", "\r\n", "あ", "ア", "ｶﾞ", "漢字", "①", "髙", "﨑", "ⅰ", "∑", "㈱", "～", "〜",
      "‖", "−", "¢", "£", "¬", "—", "¥", "‾", "é", "😀", "€", "한", "\xEF\xBF\xBD", "\xFF", "\xC3", "\xE3\x81",
      "\xED\xA0\x80", "\xC0\xAF", "\x80"};
  std::mt19937 rng(932);
  for (int i = 0; i < 5000; ++i) {
    std::string text;
    const int n = std::uniform_int_distribution<int>(1, 30)(rng);
    for (int k = 0; k < n; ++k) text += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    ASSERT_EQ(Utf8ToCp932(text), WholeTextCp932(text)) << "text: " << text;
  }
  // The characters iconv refuses, alone: their Windows mapping, else "?".
  EXPECT_EQ(Utf8ToCp932("〜"), "\x81\x60");
  EXPECT_EQ(Utf8ToCp932("—"), "\x81\x5C");
  EXPECT_EQ(Utf8ToCp932("😀"), "?");
  EXPECT_EQ(Utf8ToCp932("한"), "?");
  EXPECT_EQ(Utf8ToCp932("\xED\xA0\x80"), "???");
}

}  // namespace
}  // namespace kelmora
