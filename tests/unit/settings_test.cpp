// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {

using Seq = std::vector<std::int32_t>;
const std::string kIni = "/prog/Kelmora.ini";
const std::string kDefaultUser = "メイン ユーザー";

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() { fs_.AddDir("/prog"); }

  // Loads a file holding `text` (UTF-8 here, CP932 on disk).
  Status Load(const std::string& text, int rules = 3) {
    fs_.AddFile(kIni, Utf8ToCp932(text));
    return LoadSettings(fs_, kIni, rules, &s_);
  }

  void ExpectDefaults(int rules) const {
    EXPECT_EQ(s_.MapiUserName, kDefaultUser);
    EXPECT_EQ(s_.MapiPassword, "");
    EXPECT_EQ(s_.CheckIntervalMinutes, 20);
    EXPECT_EQ(s_.DownloadFromServer, 0);
    EXPECT_EQ(s_.DeleteAfterProcessing, 0);
    EXPECT_EQ(s_.HideBusyWindow, 0);
    EXPECT_EQ(s_.LogSentMail, 0);
    EXPECT_EQ(s_.LogReceivedMail, 0);
    EXPECT_TRUE(s_.Pop3Accounts.empty());
    EXPECT_EQ(s_.MlSequenceNumbers, Seq(static_cast<size_t>(rules), 0));
  }

  // Settings filled with values that differ from the defaults, so a stale
  // value left by a load shows.
  static Settings Dirty() {
    Settings s;
    s.MapiUserName = "stale";
    s.CheckIntervalMinutes = 7;
    s.LogSentMail = 1;
    s.Pop3Accounts.push_back({"x", "y", "z"});
    s.MlSequenceNumbers = {9, 9, 9, 9, 9};
    return s;
  }

  FakeFileSystem fs_;
  Settings s_ = Dirty();
};

TEST_F(SettingsTest, MissingEmptyCommentOnlyOrUnreadableFileGivesDefaults) {
  EXPECT_TRUE(LoadSettings(fs_, kIni, 3, &s_).ok());
  ExpectDefaults(3);

  for (const std::string& text : {std::string(), std::string("; settings\r\n;x\r\n\r\n"), std::string("  \r\n")}) {
    s_ = Dirty();
    EXPECT_TRUE(Load(text, 2).ok()) << text;
    ExpectDefaults(2);
  }

  fs_.AddFile(kIni, "abc,pw,5,1,1,1,1,1,9,10\r\n1,2,3\r\n");
  fs_.set_fail_reads(true);
  s_ = Dirty();
  EXPECT_TRUE(LoadSettings(fs_, kIni, 3, &s_).ok());
  ExpectDefaults(3);
}

TEST_F(SettingsTest, OutOfRangeValuesFallBack) {
  ASSERT_TRUE(Load("abc,pw,0,2,1").ok());
  EXPECT_EQ(s_.MapiUserName, "abc");
  EXPECT_EQ(s_.MapiPassword, "pw");
  EXPECT_EQ(s_.CheckIntervalMinutes, 20);
  EXPECT_EQ(s_.DownloadFromServer, 0);
  EXPECT_EQ(s_.DeleteAfterProcessing, 1);
  EXPECT_EQ(s_.HideBusyWindow, 0);
  EXPECT_EQ(s_.LogSentMail, 0);
  EXPECT_EQ(s_.LogReceivedMail, 0);
  EXPECT_TRUE(s_.Pop3Accounts.empty());
}

TEST_F(SettingsTest, IntervalReading) {
  const struct {
    const char* field;
    int minutes;
  } cases[] = {{"61", 20}, {"60", 60}, {"1", 1},      {"2.5", 2},  {"2.51", 3}, {"3.5", 4}, {"0", 20},
               {"-5", 20}, {"", 20},   {"abc", 20}, {"15min", 15}, {"0.4", 20}, {"60.4", 20}, {"1e1", 10}};
  for (const auto& c : cases) {
    s_ = Dirty();
    ASSERT_TRUE(Load(std::string("u,p,") + c.field + ",0,0,0,0,0,9,10\r\n0,0,0").ok());
    EXPECT_EQ(s_.CheckIntervalMinutes, c.minutes) << "[" << c.field << "]";
  }
  s_ = Dirty();
  ASSERT_TRUE(Load("u,p").ok());
  EXPECT_EQ(s_.CheckIntervalMinutes, 20) << "index 2 absent";
}

TEST_F(SettingsTest, OptionReading) {
  ASSERT_TRUE(Load("u,p,20,1,0.4,0.6,-1,0.5,9,10\r\n0").ok());
  EXPECT_EQ(s_.DownloadFromServer, 1);
  EXPECT_EQ(s_.DeleteAfterProcessing, 0);
  EXPECT_EQ(s_.HideBusyWindow, 1);
  EXPECT_EQ(s_.LogSentMail, 0);
  EXPECT_EQ(s_.LogReceivedMail, 0);
}

TEST_F(SettingsTest, BlanksAroundUserAndPasswordAreTrimmed) {
  ASSERT_TRUE(Load("  ユーザー a \t, p w ,20\r\n").ok());
  EXPECT_EQ(s_.MapiUserName, "ユーザー a");
  EXPECT_EQ(s_.MapiPassword, "p w");
}

TEST_F(SettingsTest, EmptyUserWithAccountTurnsMapiOff) {
  ASSERT_TRUE(Load(",,15,0,0,0,0,0,9,10,pop.example.jp/taro/secret\r\n1,2,3").ok());
  EXPECT_EQ(s_.MapiUserName, "");
  EXPECT_EQ(s_.MapiPassword, "");
  EXPECT_EQ(s_.CheckIntervalMinutes, 15);
  ASSERT_EQ(s_.Pop3Accounts.size(), 1u);
  EXPECT_EQ(s_.Pop3Accounts[0].Server, "pop.example.jp");
  EXPECT_EQ(s_.Pop3Accounts[0].User, "taro");
  EXPECT_EQ(s_.Pop3Accounts[0].Password, "secret");
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{1, 2, 3}));
}

TEST_F(SettingsTest, EmptyUserAndEmptyEleventhFieldIsFatal) {
  Status st = Load(",,15,0,0,0,0,0,9,10,\r\n1,2,3");
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.message(), "Kelmora.ini の１行目：１個目のユーザー名と１１個目のアカウントの両方がカラです。");
}

TEST_F(SettingsTest, EmptyUserWithoutAccountFieldGivesDefaultUser) {
  ASSERT_TRUE(Load(",pw,15,0,0,0,0,0,9,10\r\n0,0,0").ok());
  EXPECT_EQ(s_.MapiUserName, kDefaultUser);
  EXPECT_EQ(s_.MapiPassword, "pw");
  s_ = Dirty();
  ASSERT_TRUE(Load(",").ok());
  EXPECT_EQ(s_.MapiUserName, kDefaultUser);
}

TEST_F(SettingsTest, AccountsNeedExactlyThreeParts) {
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,0,9,10,a/b,s1/ u1 /p1,a/b/c/d,,x,s2/u2/\r\n0").ok());
  ASSERT_EQ(s_.Pop3Accounts.size(), 2u);
  EXPECT_EQ(s_.Pop3Accounts[0].Server, "s1");
  EXPECT_EQ(s_.Pop3Accounts[0].User, " u1 ") << "parts are not trimmed";
  EXPECT_EQ(s_.Pop3Accounts[0].Password, "p1");
  EXPECT_EQ(s_.Pop3Accounts[1].Server, "s2");
  EXPECT_EQ(s_.Pop3Accounts[1].User, "u2");
  EXPECT_EQ(s_.Pop3Accounts[1].Password, "");
}

// A URL account's "//" is no separator, and it is written back unchanged.
TEST_F(SettingsTest, Pop3UrlAccountsSurviveLoadAndSave) {
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,0,9,10,pop3s://mail.example.jp:995/taro/pw1,pop3://h/u/p\r\n0").ok());
  ASSERT_EQ(s_.Pop3Accounts.size(), 2u);
  EXPECT_EQ(s_.Pop3Accounts[0].Server, "pop3s://mail.example.jp:995");
  EXPECT_EQ(s_.Pop3Accounts[0].User, "taro");
  EXPECT_EQ(s_.Pop3Accounts[0].Password, "pw1");
  EXPECT_EQ(s_.Pop3Accounts[1].Server, "pop3://h");
  ASSERT_TRUE(SaveSettings(fs_, kIni, s_).ok());
  EXPECT_EQ(fs_.Bytes(kIni), "u,p,20,0,0,0,0,0,9,10,pop3s://mail.example.jp:995/taro/pw1,pop3://h/u/p\r\n0,0,0\r\n");
}

// A settings file that is there but cannot be read gives the defaults, and
// those must never be saved over the user's accounts and list numbers.
TEST_F(SettingsTest, AnUnreadableFileIsNeverSavedOver) {
  const std::string original = "u,p,20,0,0,0,0,0,9,10,pop.example.jp/taro/pw1\r\n41\r\n";
  fs_.AddFile(kIni, original);
  fs_.set_fail_reads(true);
  SettingsFile file(fs_, kIni);
  Settings s;
  ASSERT_TRUE(file.Load(1, &s).ok());
  EXPECT_TRUE(file.unreadable());
  EXPECT_TRUE(s.Pop3Accounts.empty());
  fs_.set_fail_reads(false);
  Status saved = file.Save(s);
  EXPECT_FALSE(saved.ok());
  EXPECT_EQ(fs_.Bytes(kIni), original);
  EXPECT_EQ(fs_.calls(FakeFileSystem::kWrite), 0);

  // A missing file is no such case: the defaults are saved as usual.
  SettingsFile fresh(fs_, "/prog/other/Kelmora.ini");
  fs_.AddDir("/prog/other");
  ASSERT_TRUE(fresh.Load(1, &s).ok());
  EXPECT_FALSE(fresh.unreadable());
  EXPECT_TRUE(fresh.Save(s).ok());
}

TEST_F(SettingsTest, SequenceLine) {
  // Fewer values than rows: the rest read 0; more: ignored.
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,0,9,10\r\n4,x,2.5", 5).ok());
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{4, 0, 2, 0, 0}));
  s_ = Dirty();
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,0,9,10\r\n1,2,3,4", 2).ok());
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{1, 2}));
  s_ = Dirty();
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,0,9,10\r\n1,2,3,4", 0).ok());
  EXPECT_TRUE(s_.MlSequenceNumbers.empty());
  // Comments and blank lines between the two lines do not count.
  s_ = Dirty();
  ASSERT_TRUE(Load("; s\r\nu,p,20\r\n\r\n;c\r\n 7,8 \r\n", 2).ok());
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{7, 8}));
}

TEST_F(SettingsTest, OneLineLegacyFormReadsSequenceFromLineOne) {
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,5,6,7", 5).ok());
  EXPECT_EQ(s_.LogReceivedMail, 0) << "5 is out of range";
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{5, 6, 7, 0, 0}));
  s_ = Dirty();
  ASSERT_TRUE(Load("u,p,20,0,0,0,0,1,6", 4).ok());
  EXPECT_EQ(s_.MlSequenceNumbers, (Seq{1, 6, 0, 0}));
}

TEST_F(SettingsTest, SavedFileBytes) {
  Settings s;
  s.DeleteAfterProcessing = 1;
  s.MlSequenceNumbers = {0, 0, 0};
  ASSERT_TRUE(SaveSettings(fs_, kIni, s).ok());
  EXPECT_EQ(fs_.Bytes(kIni), Utf8ToCp932("メイン ユーザー,,20,0,1,0,0,0,9,10\r\n0,0,0\r\n"));
  EXPECT_EQ(fs_.Bytes(kIni).substr(0, 8), "\x83\x81\x83\x43\x83\x93\x20\x83") << "code page 932 on disk";

  s.Pop3Accounts = {{"pop.example.jp:995", "taro", "pw1"}, {"pop3s://h", "u", ""}};
  s.MlSequenceNumbers = {12, -1};
  ASSERT_TRUE(SaveSettings(fs_, kIni, s).ok());
  EXPECT_EQ(fs_.Bytes(kIni), Utf8ToCp932("メイン ユーザー,,20,0,1,0,0,0,9,10,pop.example.jp:995/taro/pw1,pop3s://h/u/\r\n"
                                         "12,-1\r\n"));
}

TEST_F(SettingsTest, SaveAndLoadRoundTrip) {
  Settings s;
  s.MapiUserName = "山田 太郎";
  s.MapiPassword = "ひみつ①";
  s.CheckIntervalMinutes = 45;
  s.DownloadFromServer = 1;
  s.DeleteAfterProcessing = 0;
  s.HideBusyWindow = 1;
  s.LogSentMail = 1;
  s.LogReceivedMail = 1;
  s.Pop3Accounts = {{"pop.example.jp", "taro", "p@ss"}, {"127.0.0.1:1110", "hanako", "x y"}};
  s.MlSequenceNumbers = {3, 0, 2147483647, 41};
  ASSERT_TRUE(SaveSettings(fs_, kIni, s).ok());

  Settings r = Dirty();
  ASSERT_TRUE(LoadSettings(fs_, kIni, 4, &r).ok());
  EXPECT_EQ(r.MapiUserName, s.MapiUserName);
  EXPECT_EQ(r.MapiPassword, s.MapiPassword);
  EXPECT_EQ(r.CheckIntervalMinutes, 45);
  EXPECT_EQ(r.DownloadFromServer, 1);
  EXPECT_EQ(r.DeleteAfterProcessing, 0);
  EXPECT_EQ(r.HideBusyWindow, 1);
  EXPECT_EQ(r.LogSentMail, 1);
  EXPECT_EQ(r.LogReceivedMail, 1);
  ASSERT_EQ(r.Pop3Accounts.size(), 2u);
  EXPECT_EQ(r.Pop3Accounts[1].Server, "127.0.0.1:1110");
  EXPECT_EQ(r.Pop3Accounts[1].User, "hanako");
  EXPECT_EQ(r.Pop3Accounts[1].Password, "x y");
  EXPECT_EQ(r.MlSequenceNumbers, s.MlSequenceNumbers);
  EXPECT_EQ(FormatSettings(r), FormatSettings(s));
}

TEST_F(SettingsTest, EmptyUserWithoutAccountsReloadsAsDefaultUser) {
  Settings s;
  s.MapiUserName = "";
  s.MlSequenceNumbers = {1};
  ASSERT_TRUE(SaveSettings(fs_, kIni, s).ok());
  Settings r = Dirty();
  ASSERT_TRUE(LoadSettings(fs_, kIni, 1, &r).ok());
  EXPECT_EQ(r.MapiUserName, kDefaultUser);
  EXPECT_EQ(r.MlSequenceNumbers, Seq{1});
}

TEST_F(SettingsTest, SaveFailureKeepsTheOldFile) {
  fs_.AddFile(kIni, "old,,20,0,0,0,0,0,9,10\r\n5\r\n");
  fs_.set_fail_writes(true);
  Settings s;
  s.MlSequenceNumbers = {6};
  EXPECT_FALSE(SaveSettings(fs_, kIni, s).ok());
  EXPECT_EQ(fs_.Bytes(kIni), "old,,20,0,0,0,0,0,9,10\r\n5\r\n");
}

TEST_F(SettingsTest, SaveKeepsAUtf8File) {
  const std::string bom = "\xEF\xBB\xBF";
  fs_.AddFile(kIni, bom + "ユーザー,,20,0,0,0,0,0,9,10\r\n5\r\n");
  Settings s;
  ASSERT_TRUE(LoadSettings(fs_, kIni, 1, &s).ok());
  EXPECT_EQ(s.MapiUserName, "ユーザー");
  s.MlSequenceNumbers[0] = 6;
  ASSERT_TRUE(SaveSettings(fs_, kIni, s).ok());
  EXPECT_EQ(fs_.Bytes(kIni), bom + "ユーザー,,20,0,0,0,0,0,9,10\r\n6\r\n");
}

TEST_F(SettingsTest, GarbageFileDoesNotCrash) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
  fs_.AddFile(kIni, garbage);
  Settings s;
  // Garbage may or may not meet the one fatal finding; what counts is that
  // the values stay in range either way.
  (void)LoadSettings(fs_, kIni, 3, &s);
  EXPECT_GE(s.CheckIntervalMinutes, 1);
  EXPECT_LE(s.CheckIntervalMinutes, 60);
  EXPECT_EQ(s.MlSequenceNumbers.size(), 3u);

  fs_.AddFile(kIni, std::string(100000, ',') + "\r\n" + std::string(100000, '9'));
  Status st = LoadSettings(fs_, kIni, 2, &s);
  EXPECT_FALSE(st.ok()) << "empty user and empty eleventh field";
}

}  // namespace
}  // namespace kelmora
