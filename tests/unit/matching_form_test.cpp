#include <gtest/gtest.h>

#include "process/matching_form.h"

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

TEST(MatchingFormTest, KeepsFullWidthAndKanjiUnchanged) {
  EXPECT_EQ(MatchingForm("漢字とひらがな①"), "漢字とひらがな①");
}

}  // namespace
}  // namespace kelmora
