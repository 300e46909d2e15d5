// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log/logger.h"
#include "tests/unit/fake_file_system.h"
#include "tests/unit/temp_folder.h"
#include "textio/codepage.h"
#include "tests/support/fixed_clock.h"

namespace kelmora {
namespace {

// 5 March 2003, 14:07:00 local time.
constexpr LocalTime kMarch5{2003, 3, 5, 14, 7, 0};

class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() : clock_(kMarch5), log_(fs_, clock_, "/prog", [this](const std::string& s) { told_.push_back(s); }) {
    fs_.AddDir("/prog/log");
  }

  // The main log as text, converted from code page 932.
  std::string MainLog() const { return Cp932ToUtf8(fs_.Bytes("/prog/log/Kelmoralog.txt")); }

  FakeFileSystem fs_;
  FixedClock clock_;
  std::vector<std::string> told_;
  Logger log_;
};

TEST_F(LoggerTest, PathsLieInTheLogFolder) {
  EXPECT_EQ(log_.LogFolder(), "/prog/log");
  EXPECT_EQ(log_.ReceiveFolder(), "/prog/log/receive");
  EXPECT_EQ(log_.MainLogPath(), "/prog/log/Kelmoralog.txt");
  EXPECT_EQ(log_.UnDeliveryLogPath(), "/prog/log/UnDeliveryLog.txt");
}

TEST_F(LoggerTest, MainLogEntryCarriesTheStamp) {
  log_.WriteLog("受信メールの処理で何らかの異常が発生：timeout(7)");
  const std::string entry = "受信メールの処理で何らかの異常が発生：timeout(7) at 20030305-140700";
  EXPECT_EQ(fs_.Bytes("/prog/log/Kelmoralog.txt"), Utf8ToCp932(entry) + "\r\n");
  EXPECT_EQ(told_, std::vector<std::string>{entry});
}

TEST_F(LoggerTest, StampFieldsArePadded) {
  clock_.Set(LocalTime{2024, 1, 2, 3, 4, 5});
  log_.WriteLog("x");
  EXPECT_EQ(MainLog(), "x at 20240102-030405\r\n");
}

TEST_F(LoggerTest, EntriesAppendInCallOrder) {
  log_.WriteLog("one");
  log_.WriteLog("two");  // the same second: the same stamp
  clock_.Set(LocalTime{2003, 3, 5, 14, 7, 1});
  log_.WriteLog("three");
  EXPECT_EQ(MainLog(),
            "one at 20030305-140700\r\n"
            "two at 20030305-140700\r\n"
            "three at 20030305-140701\r\n");
  EXPECT_EQ(told_.size(), 3u);
}

TEST_F(LoggerTest, FirstEntryAfterDeletionCreatesTheFileWithOneLine) {
  log_.WriteLog("old");
  ASSERT_TRUE(fs_.RemoveFile("/prog/log/Kelmoralog.txt").ok());
  log_.WriteLog("new");
  EXPECT_EQ(MainLog(), "new at 20030305-140700\r\n");
}

TEST_F(LoggerTest, MultiLineMessageGetsTheStampAfterItsLastLine) {
  log_.WriteLog("first\r\nsecond\r\nthird");
  EXPECT_EQ(MainLog(), "first\r\nsecond\r\nthird at 20030305-140700\r\n");
}

TEST_F(LoggerTest, UnDeliveryLine) {
  log_.WriteUnDeliveryLog("taro@example.jp", "member.txtから削除しました。");
  log_.WriteUnDeliveryLog("hanako@example.jp", "member.txtからの削除に失敗しました。（登録されていない等）");
  EXPECT_EQ(Cp932ToUtf8(fs_.Bytes("/prog/log/UnDeliveryLog.txt")),
            "taro@example.jp,20030305-140700、member.txtから削除しました。\r\n"
            "hanako@example.jp,20030305-140700、member.txtからの削除に失敗しました。（登録されていない等）\r\n");
  EXPECT_TRUE(told_.empty()) << "only main-log entries are shown";
  EXPECT_FALSE(fs_.HasFile("/prog/log/Kelmoralog.txt"));
}

TEST_F(LoggerTest, MissingLogFolderLosesTheEntrySilently) {
  fs_.Erase("/prog/log");
  log_.WriteLog("lost");
  log_.WriteUnDeliveryLog("a@b", "x");
  log_.AppendLogFile("progress.txt", "y");
  EXPECT_TRUE(fs_.FilePaths().empty());
  EXPECT_FALSE(fs_.IsDir("/prog/log")) << "writing a log must not create the folder";
  EXPECT_EQ(told_, std::vector<std::string>{"lost at 20030305-140700"}) << "the window is still told";
}

TEST_F(LoggerTest, UnwritableLogLosesTheEntryAndKeepsTheOldOnes) {
  log_.WriteLog("kept");
  fs_.InjectFault(FakeFileSystem::kAppend | FakeFileSystem::kWrite, "Kelmoralog");
  log_.WriteLog("lost");
  EXPECT_EQ(MainLog(), "kept at 20030305-140700\r\n");
  EXPECT_EQ(told_.size(), 2u);
}

TEST_F(LoggerTest, AppendLogFileAddsOneUndatedLine) {
  log_.AppendLogFile("send_list.txt", "1 a@b 送信");
  log_.AppendLogFile("send_list.txt", "2 c@d");
  EXPECT_EQ(Cp932ToUtf8(fs_.Bytes("/prog/log/send_list.txt")), "1 a@b 送信\r\n2 c@d\r\n");
  EXPECT_TRUE(told_.empty());
}

TEST_F(LoggerTest, Utf8LogStaysUtf8) {
  const std::string bom = "\xEF\xBB\xBF";
  fs_.AddFile("/prog/log/Kelmoralog.txt", bom + "古い\r\n");
  log_.WriteLog("新しい①");
  EXPECT_EQ(fs_.Bytes("/prog/log/Kelmoralog.txt"), bom + "古い\r\n新しい① at 20030305-140700\r\n");
}

TEST_F(LoggerTest, EnsureLogFoldersCreatesBoth) {
  fs_.Erase("/prog/log");
  fs_.AddDir("/prog");
  EXPECT_TRUE(log_.EnsureLogFolders().ok());
  EXPECT_TRUE(fs_.IsDir("/prog/log"));
  EXPECT_TRUE(fs_.IsDir("/prog/log/receive"));

  // log exists without receive; an existing file in log stays.
  fs_.Erase("/prog/log/receive");
  fs_.AddFile("/prog/log/Kelmoralog.txt", "x\r\n");
  EXPECT_TRUE(log_.EnsureLogFolders().ok());
  EXPECT_TRUE(fs_.IsDir("/prog/log/receive"));
  EXPECT_EQ(fs_.Bytes("/prog/log/Kelmoralog.txt"), "x\r\n");
  EXPECT_TRUE(log_.EnsureLogFolders().ok()) << "a second call is harmless";
}

TEST_F(LoggerTest, EnsureLogFoldersReportsFailure) {
  fs_.Erase("/prog/log");
  fs_.AddFile("/prog/log", "a file where the folder belongs");
  EXPECT_FALSE(log_.EnsureLogFolders().ok());

  fs_.Erase("/prog/log");
  fs_.InjectFault(FakeFileSystem::kCreateDir, "receive");
  EXPECT_FALSE(log_.EnsureLogFolders().ok());
}

// Kept on the real disk: the one check that the folders and appends above
// also come out right through RealFileSystem.
TEST(LoggerDiskTest, WritesCp932LinesIntoRealFolders) {
  TempFolder tmp;
  ASSERT_FALSE(tmp.path().empty());
  const std::string dir = tmp.path();
  RealFileSystem fs;
  FixedClock clock(kMarch5);
  Logger log(fs, clock, dir);
  ASSERT_TRUE(log.EnsureLogFolders().ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/log/receive"));
  log.WriteLog("配信エラー");
  log.WriteLog("x");
  std::ifstream in(dir + "/log/Kelmoralog.txt", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes, Utf8ToCp932("配信エラー at 20030305-140700\r\nx at 20030305-140700\r\n"));
}

}  // namespace
}  // namespace kelmora
