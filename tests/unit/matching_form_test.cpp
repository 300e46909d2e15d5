// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <memory>
#include <random>
#include <vector>

#include "process/matching_form.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

TEST(MatchingFormTest, WidensAndUpperCases) {
  EXPECT_EQ(MatchingForm("abc ｶﾞ 123 !"), "ＡＢＣ　ガ　１２３　！");
  EXPECT_EQ(MatchingForm("ﾊﾟｽﾜｰﾄﾞ"), "パスワード");
  EXPECT_EQ(MatchingForm("ｍｅｅｔｉｎｇ"), "ＭＥＥＴＩＮＧ");
  EXPECT_EQ(MatchingForm(""), "");
}

TEST(MatchingFormTest, KeywordInLowerHalfWidthMatchesUpperFullWidthSubject) {
  std::string subject = MatchingForm("お知らせ：ＭＥＥＴＩＮＧ　３月");
  EXPECT_NE(subject.find(MatchingForm("meeting")), std::string::npos);
  EXPECT_EQ(subject.find(MatchingForm("meetings")), std::string::npos);
}

// A keyword read from a code page 932 file holds ～ where a member's mail
// holds the standard wave dash 〜: they are one character to the rules.
TEST(MatchingFormTest, CodePageAndStandardFormsOfOneCharacterMatch) {
  for (const auto& [standard, microsoft] : std::vector<std::pair<std::string, std::string>>{
           {"〜", "～"}, {"‖", "∥"}, {"−", "－"}, {"¢", "￠"}, {"£", "￡"}, {"¬", "￢"}}) {
    EXPECT_EQ(MatchingForm("a" + standard + "b"), MatchingForm("A" + microsoft + "B")) << standard;
  }
  EXPECT_NE(MatchingForm("説明会（10〜12月）").find(MatchingForm("10～12")), std::string::npos);
}

TEST(MatchingFormTest, KeepsFullWidthAndKanjiUnchanged) {
  EXPECT_EQ(MatchingForm("漢字とひらがな①"), "漢字とひらがな①");
}

// The form as ICU gives it for the whole text in one piece: what the
// shortcuts (ASCII table, first line only) must reproduce.
std::string WholeTextForm(const std::string& text) {
  static std::unique_ptr<icu::Transliterator> t = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::Transliterator>(
        icu::Transliterator::createInstance("Halfwidth-Fullwidth", UTRANS_FORWARD, status));
  }();
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  t->transliterate(u);
  u.toUpper(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

// Random texts from pieces that stress the form: half-width kana with and
// without voiced marks (also stray marks and marks after a line break),
// line breaks of every kind, blanks, ASCII, full-width and mixed scripts.
std::string RandomText(std::mt19937& rng, bool ascii_only) {
  static const std::vector<std::string> kPieces = {
      "a", "z", "A", "Q", "0", "9", " ", "  ", "\t", "!", "~", "\\", "\"", "'", "@", "[", "]", ",", ";", "\x7f",
      "\x01", "\r\n", "\r", "\n", "\n\r", "\r\n\r\n", "meeting", "ML-ID", "[club]",
      "ｶ", "ﾞ", "ﾟ", "ﾊﾟ", "ｶﾞ", "ｳﾞ", "ﾜ", "ｦ", "ｰ", "｡", "｢", "｣", "ﾄﾞ", "ﾎﾟ",
      "あ", "ア", "ガ", "漢字", "ｍｅｅｔｉｎｇ", "ＡＢＣ", "１２３", "　", "①", "é", "ß", "Ωω", "İı", "ﬁ",
      "\xEF\xBF\xBD", "😀", "₩", "¥", "￥", "－", "‐"};
  std::string text;
  const int n = std::uniform_int_distribution<int>(0, 40)(rng);
  for (int i = 0; i < n; ++i) {
    for (int tries = 0; tries < 100; ++tries) {
      const std::string& p = kPieces[std::uniform_int_distribution<size_t>(0, kPieces.size() - 1)(rng)];
      if (ascii_only && static_cast<unsigned char>(p[0]) >= 0x80) continue;
      text += p;
      break;
    }
  }
  return text;
}

// The form of each single ASCII character is ICU's, and so is the form of
// any mix: the fast paths never change the result.
TEST(MatchingFormTest, ShortcutsGiveTheFormOfTheWholeText) {
  for (int c = 0; c < 128; ++c) {
    const std::string one(1, static_cast<char>(c));
    ASSERT_EQ(MatchingForm(one), WholeTextForm(one)) << "character " << c;
  }
  std::mt19937 rng(20261207);
  const std::vector<std::string> keywords = {"", "A", "ＡＢＣ", "ガ", "パ", "　", "\r", "\r\n", "ＭＥＥＴＩＮＧ", "ﾞ", "゛"};
  for (int i = 0; i < 20000; ++i) {
    const std::string text = RandomText(rng, i % 2 == 0);
    const std::string whole = WholeTextForm(text);
    ASSERT_EQ(MatchingForm(text), whole) << "text: " << text;
    const std::string first = FirstLineMatchingForm(text);
    // The first line of the form is the form of the first line.
    ASSERT_EQ(first.substr(0, first.find("\r\n")), whole.substr(0, whole.find("\r\n"))) << "text: " << text;
    for (const std::string& k : keywords) {
      const std::string kf = MatchingForm(k);
      ASSERT_EQ(FindInFirstLine(first, kf), FindInFirstLine(whole, kf)) << "text: " << text << " keyword: " << k;
    }
  }
}

}  // namespace
}  // namespace kelmora
