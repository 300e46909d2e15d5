// SPDX-License-Identifier: GPL-3.0-or-later
#include "mail/received_mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake_mail_component.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"
#include "tests/unit/temp_folder.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {


class ReceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { fs_.AddDir("prog/log/receive"); }

  // The main log as text (it is code page 932 on disk).
  std::string MainLog() const { return Cp932ToUtf8(fs_.Bytes("prog/log/Kelmoralog.txt")); }

  FakeFileSystem fs_;
  FixedClock clock_{LocalTime{2024, 3, 5, 7, 8, 9}};
  Logger log_{fs_, clock_, "prog"};
  FakeMailComponent mail_;
};

// ---------------------------------------------------------------------------
// TextBetween and the display-name rule

TEST(TextBetweenTest, TakesFirstOpenAndLastClose) {
  EXPECT_EQ(TextBetween("a\"b\"c\"d", "\"", "\""), "b\"c");
  EXPECT_EQ(TextBetween("x(one) and (two)y", "(", ")"), "one) and (two");
  EXPECT_EQ(TextBetween("【件名】です", "【", "】"), "件名");
}

TEST(TextBetweenTest, NothingBetweenGivesEmpty) {
  EXPECT_EQ(TextBetween("no marks", "\"", "\""), "");
  EXPECT_EQ(TextBetween("one \" only", "\"", "\""), "");
  EXPECT_EQ(TextBetween("\"\"", "\"", "\""), "");       // adjacent marks
  EXPECT_EQ(TextBetween(")x(", "(", ")"), "");          // close before open
  EXPECT_EQ(TextBetween("\\\"\\\"", "\\\"", "\\\""), "");  // two-character marks, nothing between
  // A close mark inside the open mark would make the length negative.
  EXPECT_EQ(TextBetween("<<x", "<<", "<"), "");
  EXPECT_EQ(TextBetween("", "(", ")"), "");
}

TEST(DisplayNameTest, QuotedNameBeforeAddress) {
  EXPECT_EQ(DisplayName("\"Taro Yamada\" <taro@example.jp>"), "Taro Yamada");
  EXPECT_EQ(DisplayName("\"山田 太郎\" <yamada@example.jp>"), "山田 太郎");
}

TEST(DisplayNameTest, BackslashQuotesAreDropped) {
  EXPECT_EQ(DisplayName("\\\"Taro\\\" <taro@example.jp>"), "Taro");
  // Every further backslash-quote pair inside goes too.
  EXPECT_EQ(DisplayName("\\\"Ta\\\"ro\\\" <taro@example.jp>"), "Taro");
  // A single backslash-quote falls back to the plain-quote rule.
  EXPECT_EQ(DisplayName("\"a\\\"b\" <x@y.jp>"), "a\\\"b");
}

TEST(DisplayNameTest, NoQuotesGivesEmpty) {
  EXPECT_EQ(DisplayName("taro@example.jp"), "");
  EXPECT_EQ(DisplayName("<taro@example.jp>"), "");
  EXPECT_EQ(DisplayName(""), "");
}

// ---------------------------------------------------------------------------
// ExtractAddress

TEST(ExtractAddressTest, AddressInAngleBrackets) {
  EXPECT_EQ(ExtractAddress("\"Taro\" <taro@example.jp>", "<", ">"), "taro@example.jp");
  EXPECT_EQ(ExtractAddress("<a@b>", "<", ">"), "a@b");  // exactly two characters after the "@"
}

TEST(ExtractAddressTest, BareAddressGivesEmpty) {
  EXPECT_EQ(ExtractAddress("taro@example.jp", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("Taro taro@example.jp>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("<Taro> taro@example.jp", "<", ">"), "");
}

TEST(ExtractAddressTest, OneCharacterAfterAtIsNotFound) {
  EXPECT_EQ(ExtractAddress("<a@>", "<", ">"), "");
  // Characters, not bytes: a full-width letter is one character.
  EXPECT_EQ(ExtractAddress("《a@》", "《", "》"), "");
  EXPECT_EQ(ExtractAddress("《a@ｂ》", "《", "》"), "a@ｂ");
}

TEST(ExtractAddressTest, TwoAtSignsOnOneLine) {
  // The close mark is looked for only up to the next "@".
  EXPECT_EQ(ExtractAddress("<a@b c@d>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("<a@b>, <c@d>", "<", ">"), "a@b");
  // The first "@" has no open mark before it; the second one does.
  EXPECT_EQ(ExtractAddress("x@y <a@b>", "<", ">"), "a@b");
  // The search for the open mark begins after the previous "@".
  EXPECT_EQ(ExtractAddress("<x@y z a@b>", "<", ">"), "");
}

TEST(ExtractAddressTest, MarksThatDisqualify) {
  // A close mark between the last open mark and the "@".
  EXPECT_EQ(ExtractAddress("<x> a@b>", "<", ">"), "");
  // An open mark inside the domain part.
  EXPECT_EQ(ExtractAddress("<a@b<c>", "<", ">"), "");
  // The local part starts after the last open mark.
  EXPECT_EQ(ExtractAddress("<<a@b>", "<", ">"), "a@b");
  // An empty local part is still "an address" by the rule.
  EXPECT_EQ(ExtractAddress("<@b>", "<", ">"), "@b");
}

TEST(ExtractAddressTest, LongAndMultiByteMarks) {
  EXPECT_EQ(ExtractAddress("宛先《taro@example.jp》です", "《", "》"), "taro@example.jp");
  const std::string bounce =
      "Reporting-MTA: dns; mx.example.jp\r\n"
      "Final-Recipient: rfc822; gone@example.com\r\n"
      "Diagnostic-Code: smtp; 550 <gone@example.com>... User unknown\r\n";
  EXPECT_EQ(ExtractAddress(bounce, "rfc822; ", "\r\n"), "");  // a line never holds CR LF
  EXPECT_EQ(ExtractAddress(bounce, "550 <", ">..."), "gone@example.com");
  EXPECT_EQ(ExtractAddress("To: <<<a@b.jp>>>", "<<<", ">>>"), "a@b.jp");
}

TEST(ExtractAddressTest, LinesAreSearchedInOrder) {
  EXPECT_EQ(ExtractAddress("Subject: nothing here\r\nTo: <first@a.jp>\r\nCc: <second@b.jp>", "<", ">"),
            "first@a.jp");
  // An address never runs across a line break, CR LF or a bare LF.
  EXPECT_EQ(ExtractAddress("<a@b\r\n>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("<x\n a@b>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("junk\n<a@b.jp>", "<", ">"), "a@b.jp");
}

TEST(ExtractAddressTest, MissingOrEmptyMarks) {
  EXPECT_EQ(ExtractAddress("a@b.jp>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("<a@b.jp", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("<ab.jp>", "<", ">"), "");
  EXPECT_EQ(ExtractAddress("a@b.jp", "", ""), "");
  EXPECT_EQ(ExtractAddress("<a@b.jp>", "", ">"), "");
  EXPECT_EQ(ExtractAddress("", "<", ">"), "");
}

TEST(ExtractAddressTest, GarbageDoesNotCrash) {
  std::string line(100000, '@');
  for (size_t i = 0; i < line.size(); i += 7) line[i] = '<';
  for (size_t i = 3; i < line.size(); i += 11) line[i] = '>';
  line[50000] = '\xff';
  line[50001] = '\x80';
  std::string result = ExtractAddress(line, "<", ">");
  EXPECT_NE(result.find('@'), std::string::npos);  // a stretch like "<@>" qualifies
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += static_cast<char>((i * 37) % 256);
  (void)ExtractAddress(bytes, "<", ">");
  (void)ExtractAddress(bytes, "\x80", "\xff");
}

// ---------------------------------------------------------------------------
// JoinAttachmentPaths and DeleteFileForced

TEST(JoinAttachmentPathsTest, JoinsElementsOneToN) {
  const std::vector<std::string> files{"", "/r/a.pdf", "/r/b c.txt", "/r/ファイル.doc"};
  EXPECT_EQ(JoinAttachmentPaths(3, files), "/r/a.pdf\t/r/b c.txt\t/r/ファイル.doc");
  EXPECT_EQ(JoinAttachmentPaths(1, files), "/r/a.pdf");
  EXPECT_EQ(JoinAttachmentPaths(0, files), "");
  // A count beyond the list stops at its end.
  EXPECT_EQ(JoinAttachmentPaths(9, std::vector<std::string>{"", "x"}), "x");
  EXPECT_EQ(JoinAttachmentPaths(-1, files), "");
}

// On the real disk: the point is a file whose mode forbids writing.
TEST(DeleteFileForcedTest, DeletesReadOnlyFilesOnly) {
  TempFolder tmp;
  ASSERT_FALSE(tmp.path().empty());
  const std::string dir = tmp.path();
  const std::string file = dir + "/stored.eml";
  std::ofstream(file) << "x";
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  std::filesystem::create_directory(dir + "/sub");
  RealFileSystem fs;
  EXPECT_TRUE(DeleteFileForced(fs, file));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(DeleteFileForced(fs, file));  // already gone
  EXPECT_FALSE(DeleteFileForced(fs, dir + "/sub"));
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/sub"));
}

// ---------------------------------------------------------------------------
// FetchAccountMail and AppendStoredNames

TEST_F(ReceptionTest, FetchListsStoredNamesFromOne) {
  mail_.replies["pop.example.jp"] = {"m1.eml", "m2.eml"};
  std::vector<std::string> names{"stale", "stale"};
  EXPECT_EQ(FetchAccountMail(mail_, log_, "pop.example.jp", "alice", "pw", "prog/log/receive", &names), 2);
  EXPECT_EQ(names, (std::vector<std::string>{"", "m1.eml", "m2.eml"}));
  EXPECT_EQ(mail_.rcv_args,
            (std::vector<std::string>{"pop.example.jp", "alice", "pw", "prog/log/receive"}));
  EXPECT_EQ(MainLog(), "");
}

TEST_F(ReceptionTest, BlankOrEmptyResultLogsNothing) {
  std::vector<std::string> names{"stale"};
  mail_.rcv_status = Status::Error("  \t ");
  EXPECT_EQ(FetchAccountMail(mail_, log_, "A", "B", "P", "prog/log/receive", &names), 0);
  EXPECT_EQ(names, std::vector<std::string>{""});
  mail_.rcv_status = Status::OK();
  EXPECT_EQ(FetchAccountMail(mail_, log_, "A", "B", "P", "prog/log/receive", &names), 0);
  EXPECT_EQ(names, std::vector<std::string>{""});
  EXPECT_FALSE(fs_.HasFile("prog/log/Kelmoralog.txt"));
}

TEST_F(ReceptionTest, FailureTextIsLoggedWithTheFirstAccountPart) {
  mail_.rcv_status = Status::Error("POP3 A:110 user B: login failed");
  std::vector<std::string> names;
  EXPECT_EQ(FetchAccountMail(mail_, log_, "A", "B", "P", "prog/log/receive", &names), 0);
  EXPECT_EQ(names, std::vector<std::string>{""});
  EXPECT_EQ(MainLog(), "RcvMailの戻り値異常<A>:POP3 A:110 user B: login failed at 20240305-070809\r\n");
}

TEST_F(ReceptionTest, ErrorInsideTheFetchIsCaughtAndLogged) {
  mail_.throw_on_rcv = true;
  std::vector<std::string> names{"stale", "x"};
  EXPECT_EQ(FetchAccountMail(mail_, log_, "A", "B", "P", "prog/log/receive", &names), 0);
  EXPECT_EQ(names, std::vector<std::string>{""});
  EXPECT_EQ(MainLog(), "GetMailでエラー発生>socket exploded(1) at 20240305-070809\r\n");
}

TEST(AppendStoredNamesTest, AppendsFromIndexOne) {
  std::vector<std::string> cycle{""};
  AppendStoredNames(&cycle, {"", "a1", "a2"});
  AppendStoredNames(&cycle, {""});
  AppendStoredNames(&cycle, {"", "b1"});
  EXPECT_EQ(cycle, (std::vector<std::string>{"", "a1", "a2", "b1"}));
}

}  // namespace
}  // namespace kelmora
