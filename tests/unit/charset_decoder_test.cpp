// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/charset_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mime/jis_forms.h"
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
  // ① in EUC-JP as the Microsoft variant stores it; the wave dash as the
  // label's standard maps it, or as the Microsoft variant does.
  EXPECT_EQ(DecodeMailCharset("\xad\xa1\xa1\xc1", "euc-jp"), "①〜");
  EXPECT_EQ(DecodeMailCharset("\xad\xa1\xa1\xc1", "eucJP-ms"), "①～");
  // Two designations in a row (two encoded-words joined) are harmless.
  EXPECT_EQ(DecodeMailCharset("\x1b$B%F\x1b(B\x1b$B%9\x1b(B", "ISO-2022-JP"), "テス");
}

// A member's wave dash, minus sign and the like reach the list as the
// member's charset defines them; code page 932 and its Microsoft kin keep
// their own forms.
TEST(CharsetDecoderTest, StandardLabelsGiveTheStandardsCharacters) {
  const std::string standard = "〜‖−¢£¬";
  const std::string microsoft = "～∥－￠￡￢";
  struct Case {
    std::string bytes;
    const char* label;
    const std::string& text;
  };
  const std::string jis = "\x1b$B!A!B!]!q!r\"L\x1b(B";
  const std::string sjis = "\x81\x60\x81\x61\x81\x7c\x81\x91\x81\x92\x81\xca";
  const std::string euc = "\xa1\xc1\xa1\xc2\xa1\xdd\xa1\xf1\xa1\xf2\xa2\xcc";
  for (const Case& c : {
           Case{jis, "ISO-2022-JP", standard}, Case{jis, "", standard},        Case{sjis, "Shift_JIS", standard},
           Case{euc, "EUC-JP", standard},      Case{jis, "CP50221", microsoft}, Case{sjis, "windows-31j", microsoft},
           Case{sjis, "CP932", microsoft},     Case{euc, "eucJP-ms", microsoft},
       }) {
    EXPECT_EQ(DecodeMailCharset(c.bytes, c.label), c.text) << c.label;
  }
  // UTF-8 text is never touched, whichever of the two forms it holds.
  EXPECT_EQ(DecodeMailCharset(standard + microsoft, "utf-8"), standard + microsoft);
  EXPECT_EQ(WithJisStandardForms("a～b∥c－￠￡￢📷"), "a〜b‖c−¢£¬📷");
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

// ISO-2022-JP as ICU decodes it, after the same dropping of an escape that
// is directly followed by another.
std::string IcuIso2022Jp(const std::string& bytes) {
  static const std::vector<std::string> kEscapes = {"\x1b(B", "\x1b(J", "\x1b(I", "\x1b$@", "\x1b$B", "\x1b$(D",
                                                    "\x1b$(O", "\x1b$(Q", "\x1b$A", "\x1b.A", "\x1b.F"};
  auto escape_at = [&](size_t i) -> size_t {
    for (const std::string& e : kEscapes) {
      if (bytes.compare(i, e.size(), e) == 0) return e.size();
    }
    return 0;
  };
  std::string cleaned;
  for (size_t i = 0; i < bytes.size();) {
    const size_t len = escape_at(i);
    if (len > 0 && i + len < bytes.size() && escape_at(i + len) > 0) {
      i += len;
      continue;
    }
    cleaned += bytes[i++];
  }
  std::string out;
  EXPECT_TRUE(IcuToUtf8(cleaned, "ISO-2022-JP", &out));
  return out;
}

// The table of JIS X 0208 pairs gives what ICU gives (with the standard's
// six characters where ICU's tables give code page 932's), whatever the text:
// kanji, kana, the NEC row 13, pairs no table assigns, line breaks and
// controls inside and outside the pairs, other escapes, stray and 8-bit
// bytes, odd bytes left at the end.
TEST(CharsetDecoderTest, Iso2022JpMatchesIcuOnAnyText) {
  std::mt19937 rng(2022);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int t = 0; t < 4000; ++t) {
    std::string text;
    const int pieces = pick(0, 12);
    for (int k = 0; k < pieces; ++k) {
      switch (pick(0, 11)) {
        case 0: text += "Re: meeting "; break;
        case 1: text += "\r\n"; break;
        case 2: text += "\x1b(B"; break;
        case 3:
        case 4:
        case 5: {
          text += "\x1b$B";
          const int pairs = pick(1, 8);
          for (int p = 0; p < pairs; ++p) {
            const int row = pick(0, 9) == 0 ? 0x2D : pick(0, 9) == 0 ? pick(0x21, 0x7E) : pick(0x24, 0x50);
            text += static_cast<char>(row);
            text += static_cast<char>(pick(0x21, 0x7E));
          }
          if (pick(0, 3) > 0) text += "\x1b(B";
          break;
        }
        case 6: text += pick(0, 1) ? "\x1b(J" : "\x1b$@"; break;
        case 7: text += pick(0, 1) ? "\x1b(I" : "\x1b"; break;
        case 8: text += static_cast<char>(pick(0, 0x20)); break;  // a control byte, also between pairs
        case 9: text += static_cast<char>(pick(0x80, 0xFF)); break;
        case 10: text += static_cast<char>(pick(0x21, 0x7E)); break;  // an odd byte
        default: text += "~\\ ";
      }
    }
    ASSERT_EQ(DecodeMailCharset(text, "iso-2022-jp"), WithJisStandardForms(IcuIso2022Jp(text))) << "text: " << text;
  }
  // Every pair alone, assigned or not.
  for (int a = 0x21; a <= 0x7E; ++a) {
    for (int b = 0x21; b <= 0x7E; ++b) {
      const std::string text = std::string("x\x1b$B") + static_cast<char>(a) + static_cast<char>(b) + "\x1b(By";
      ASSERT_EQ(DecodeMailCharset(text, "ISO-2022-JP"), WithJisStandardForms(IcuIso2022Jp(text))) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace kelmora
