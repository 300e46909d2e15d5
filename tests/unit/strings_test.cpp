// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "textio/strings.h"

namespace kelmora {
namespace {

TEST(RoundingTest, HalvesGoToEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(ReadRoundedInt("2.51"), 3);
  EXPECT_EQ(ReadRoundedInt("abc"), 0);
  EXPECT_EQ(ReadRoundedInt("  -100x"), -100);
}

TEST(ReadNumberTest, LeadingNumericPart) {
  EXPECT_DOUBLE_EQ(ReadNumber("2.5"), 2.5);
  EXPECT_DOUBLE_EQ(ReadNumber("1e2"), 100.0);
  EXPECT_DOUBLE_EQ(ReadNumber("1.5E+1xyz"), 15.0);
  EXPECT_DOUBLE_EQ(ReadNumber("1e"), 1.0);  // an exponent without digits is not part of it
  EXPECT_DOUBLE_EQ(ReadNumber(".5"), 0.5);
  EXPECT_DOUBLE_EQ(ReadNumber("\t+7 "), 7.0);
  EXPECT_DOUBLE_EQ(ReadNumber("12abc34"), 12.0);
  EXPECT_DOUBLE_EQ(ReadNumber("-0.5"), -0.5);
  for (const char* none : {"", " ", "-", "+", ".", "-.", "e5", "abc", "\xEF\xBC\x91"}) {
    EXPECT_EQ(ReadNumber(none), 0.0) << "[" << none << "]";
  }
}

TEST(ReadNumberTest, RoundedIntegers) {
  EXPECT_EQ(ReadRoundedInt("2.5"), 2);
  EXPECT_EQ(ReadRoundedInt("2.51"), 3);
  EXPECT_EQ(ReadRoundedInt("3.5"), 4);
  EXPECT_EQ(ReadRoundedInt("1e2"), 100);
  EXPECT_EQ(ReadRoundedInt("-0.5"), 0);
  EXPECT_EQ(ReadRoundedInt("-1.5"), -2);
  EXPECT_EQ(ReadRoundedInt("garbage"), 0);
  EXPECT_EQ(ReadRoundedInt("60"), 60);
}

TEST(ReadNumberTest, HugeAndOverlongInputsStayInRange) {
  EXPECT_EQ(ReadRoundedInt("99999999999"), 2147483647);
  EXPECT_EQ(ReadRoundedInt("-99999999999"), -2147483647 - 1);
  EXPECT_EQ(ReadRoundedInt("2147483647"), 2147483647);
  // Beyond what a double holds: finite, and clamped like any other large value.
  EXPECT_TRUE(std::isfinite(ReadNumber("1e400")));
  EXPECT_TRUE(std::isfinite(ReadNumber("-1e99999999999999999999")));
  EXPECT_EQ(ReadRoundedInt("1e400"), 2147483647);
  EXPECT_EQ(ReadRoundedInt("-1e400"), -2147483647 - 1);
  EXPECT_EQ(ReadRoundedInt("1e-400"), 0);
  EXPECT_EQ(ReadRoundedInt(std::string(100000, '9')), 2147483647);
  EXPECT_EQ(ReadRoundedInt("1" + std::string(100000, '0') + "e-100000"), 1);
}

TEST(TrimSplitTest, BlanksAndFields) {
  EXPECT_EQ(Trim(" \t a b \t "), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\xE3\x80\x80x"), "\xE3\x80\x80x");  // the ideographic space is text
  EXPECT_EQ(Split("", ","), std::vector<std::string>{""});
  EXPECT_EQ(Split("a,,b,", ","), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(Split("a<>b", "<>"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Join(Split("x/y//z", "/"), "/"), "x/y//z");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

TEST(CountOfTest, OverlappingAndEmpty) {
  EXPECT_EQ(CountOf("aaa", "aa"), 2);
  EXPECT_EQ(CountOf("aaaa", "aa"), 3);
  EXPECT_EQ(CountOf("a@b@c", "@"), 2);
  EXPECT_EQ(CountOf("abc", ""), 0);
  EXPECT_EQ(CountOf("", ""), 0);
  EXPECT_EQ(CountOf("", "a"), 0);
  EXPECT_EQ(CountOf("ab", "abc"), 0);
  EXPECT_EQ(CountOf("あああ", "ああ"), 2);
}

TEST(FindInFirstLineTest, OnlyBeforeFirstCrLf) {
  EXPECT_EQ(FindInFirstLine("", ""), 0);
  EXPECT_EQ(FindInFirstLine("", "a"), 0);
  EXPECT_EQ(FindInFirstLine("abc", "c"), 3);
  EXPECT_EQ(FindInFirstLine("abc\r\nxyz", "a"), 1);
  EXPECT_EQ(FindInFirstLine("abc\r\nxyz", "y"), 0);
  EXPECT_EQ(FindInFirstLine("abc\r\nxyz", "c\r"), 0);
  EXPECT_EQ(FindInFirstLine("\r\nabc", "a"), 0);
  EXPECT_EQ(FindInFirstLine("GetFile:\r\nx", "GetFile:"), 1);
  EXPECT_EQ(FindInFirstLine("abc", "abcd"), 0);
}

TEST(MailAddressTest, FirstTwoPartsMustBeNonEmpty) {
  EXPECT_TRUE(IsMailAddress("a@b"));
  EXPECT_TRUE(IsMailAddress("a@b@c"));
  EXPECT_TRUE(IsMailAddress("a@b@"));
  EXPECT_FALSE(IsMailAddress("@b"));
  EXPECT_FALSE(IsMailAddress("a@"));
  EXPECT_FALSE(IsMailAddress("a@@b"));
  EXPECT_FALSE(IsMailAddress("ab"));
  EXPECT_FALSE(IsMailAddress(""));
  EXPECT_FALSE(IsMailAddress("@"));
}

TEST(MlidTest, KeywordAndSubject) {
  EXPECT_TRUE(IsMLIDKeyword("[ML]"));
  EXPECT_TRUE(IsMLIDKeyword("[]"));
  EXPECT_FALSE(IsMLIDKeyword("["));
  EXPECT_FALSE(IsMLIDKeyword("ML]"));
  EXPECT_FALSE(IsMLIDKeyword(" [ML]"));
  EXPECT_FALSE(IsMLIDKeyword(""));

  EXPECT_TRUE(SubjectHasMLID("[ML:12] hello", "[ML]"));
  EXPECT_TRUE(SubjectHasMLID("Re: [ML 3] hi", "[ML]"));
  EXPECT_TRUE(SubjectHasMLID("[ML]", "[ML]"));
  EXPECT_FALSE(SubjectHasMLID("[ML hello", "[ML]"));
  // The "]" must come after the tag's start, not before it.
  EXPECT_FALSE(SubjectHasMLID("x] [ML", "[ML]"));
  EXPECT_FALSE(SubjectHasMLID("[OTHER:1] hi", "[ML]"));
  // Only one trailing "]" is dropped from the keyword.
  EXPECT_FALSE(SubjectHasMLID("[ML x]", "[ML]]"));
  EXPECT_TRUE(SubjectHasMLID("[ML] x", "[ML]]"));
  EXPECT_FALSE(SubjectHasMLID("[ml:1]", "[ML]"));  // case-sensitive
}

TEST(StripExtensionTest, LastExtensionOfTheLastName) {
  EXPECT_EQ(StripExtension("x.txt"), "x");
  EXPECT_EQ(StripExtension("a.b.txt"), "a.b");
  EXPECT_EQ(StripExtension("  dir/x.txt \t"), "dir/x");
  EXPECT_EQ(StripExtension("a/b.c/d"), "a/b.c/d");
  EXPECT_EQ(StripExtension("a/b.c/"), "a/b.c/");
  EXPECT_EQ(StripExtension("noext"), "noext");
  EXPECT_EQ(StripExtension("x."), "x");
  EXPECT_EQ(StripExtension(""), "");
  EXPECT_EQ(StripExtension("   "), "");
  EXPECT_EQ(StripExtension("名簿.txt"), "名簿");
}

TEST(JoinPathTest, BackslashesInTheNameBecomeSlashes) {
  EXPECT_EQ(JoinPath("/prog", "Master.txt"), "/prog/Master.txt");
  EXPECT_EQ(JoinPath("/prog/", "Master.txt"), "/prog/Master.txt");
  EXPECT_EQ(JoinPath("/prog", "data\\list\\a.txt"), "/prog/data/list/a.txt");
  EXPECT_EQ(JoinPath("/prog", "log/receive"), "/prog/log/receive");
}

TEST(JoinPathTest, EmptyFolderKeepsTheNameRelative) {
  // An empty folder must not turn a relative name into one under "/".
  EXPECT_EQ(JoinPath("", "Master.txt"), "Master.txt");
  EXPECT_EQ(JoinPath("", "sub\\a.txt"), "sub/a.txt");
}

TEST(AffixTest, StartsEndsContains) {
  EXPECT_TRUE(StartsWith("abc", ""));
  EXPECT_TRUE(StartsWith("abc", "ab"));
  EXPECT_FALSE(StartsWith("ab", "abc"));
  EXPECT_TRUE(EndsWith("abc", "bc"));
  EXPECT_FALSE(EndsWith("c", "bc"));
  EXPECT_TRUE(Contains("abc", "b"));
  EXPECT_FALSE(Contains("abc", "B"));
}

// Domains are case-insensitive, local parts belong to their server.
TEST(SameAddressTest, DomainIgnoresCaseLocalPartDoesNot) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  for (const Case& c : {
           Case{"club@example.test", "club@example.test", true},
           Case{"club@Example.TEST", "club@example.test", true},
           Case{"Club@example.test", "club@example.test", false},
           Case{"club@example.test", "club@example.tes", false},
           Case{"a@b@Example.test", "a@b@example.test", true},   // the domain follows the last "@"
           Case{"a@B@example.test", "a@b@example.test", false},
           Case{"a.example.test", "a.example.test", true},      // no "@": exact
           Case{"A.example.test", "a.example.test", false},
           Case{"", "", true},
           Case{"@example.test", "@EXAMPLE.test", true},
       }) {
    EXPECT_EQ(SameAddress(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(SameAddress(c.b, c.a), c.same) << c.b << " / " << c.a;
  }
  EXPECT_TRUE(EqualsIgnoringAsciiCase("MAILER-DAEMON@example.test", "mailer-daemon@EXAMPLE.test"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("ＡＢＣ", "ａｂｃ")) << "only ASCII letters fold";
  EXPECT_TRUE(ContainsIgnoringAsciiCase("Mail Delivery System <MAILER-DAEMON@x>", "mailer-daemon"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase("daemon", "mailer-daemon"));
}

}  // namespace
}  // namespace kelmora
