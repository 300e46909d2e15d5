// SPDX-License-Identifier: GPL-3.0-or-later
// The main object: start-up results and the mail-check cycle, driven with a
// fake mail component, a fake local store and a recording processor.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>

#include "app/core/program.h"
#include "tests/support/silent_front_end.h"
#include "tests/support/test_roads.h"
#include "textio/codepage.h"
#include "tests/support/fake_local_reception.h"
#include "tests/support/fake_mail_component.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"

namespace kelmora {
namespace {

class RecordingProcessor : public MessageProcessor {
 public:
  // Records the stored name of each message: reading one the fake mail
  // component cannot read still names it.
  void ProcessMessages(Inbox& inbox) override {
    ++calls;
    last_count = inbox.Count();
    last_mode = inbox.mode();
    last_names.clear();
    for (int i = 0; i < inbox.Count(); ++i) {
      ReceivedMail mail;
      // A message that cannot be read still has its stored name, which is
      // all this processor records.
      (void)inbox.Read(i, &mail);
      last_names.push_back(mail.StoredName);
    }
    if (on_call) on_call();
  }
  int calls = 0;
  int last_count = 0;
  ReceptionMode last_mode = ReceptionMode::kNone;
  std::vector<std::string> last_names;
  std::function<void()> on_call;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteCp932("Master.txt", "1,club@example.test,,[club],members.txt,club@example.test,127.0.0.1,,,,,,,,\r\n");
    WriteCp932("members.txt", "1,a@example.test\r\n");
  }

  void WriteCp932(const std::string& name, const std::string& utf8) { disk_.AddFile(dir_ + "/" + name, Utf8ToCp932(utf8)); }

  std::unique_ptr<Program> Started(const std::string& ini) {
    if (!ini.empty()) WriteCp932("Kelmora.ini", ini);
    roads_.mail = &mail_;
    roads_.local = &local_;
    roads_.processor = &processor_;
    auto p = roads_.Make(disk_, clock_, front_, dir_);
    Status s = p->Start("");
    EXPECT_TRUE(s.ok()) << s.message();
    return p;
  }

  std::string MainLog() { return Cp932ToUtf8(disk_.Bytes(dir_ + "/log/Kelmoralog.txt")); }

  std::string dir_ = "/prog";
  FakeFileSystem disk_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  SilentFrontEnd front_;
  FakeMailComponent mail_;
  FakeLocalReception local_;
  RecordingProcessor processor_;
  TestRoads roads_;
};

TEST_F(ProgramTest, CycleRunsWhenTheIntervalIsReachedAndAfterAChange) {
  auto p = Started(",,20,0,0,0,0,0,9,10,pop.test/u/pw\r\n0\r\n");
  for (int i = 0; i < 19; ++i) p->OnMinuteTick();
  EXPECT_TRUE(mail_.polled.empty());
  p->OnMinuteTick();
  EXPECT_EQ(mail_.polled.size(), 1u);
  EXPECT_EQ(p->minute_count(), 0);
  EXPECT_TRUE(p->timer_enabled());
  for (int i = 0; i < 7; ++i) p->OnMinuteTick();
  EXPECT_EQ(mail_.polled.size(), 1u);
  p->OnIntervalChosen(4);  // 5 minutes; the count of 7 is kept
  EXPECT_EQ(p->minute_count(), 7);
  p->OnMinuteTick();
  EXPECT_EQ(mail_.polled.size(), 2u);
}

// A Kelmora.ini that is there but cannot be read: the program runs on the
// defaults, says so, and never writes them over the user's accounts and
// list numbers.
TEST_F(ProgramTest, AnUnreadableSettingsFileIsReportedAndNeverSavedOver) {
  const std::string ini = "u,pw,5,0,0,0,0,0,9,10,pop.test/u/pw\r\n41\r\n";
  WriteCp932("Kelmora.ini", ini);
  disk_.InjectFault(FakeFileSystem::kRead, "Kelmora.ini");
  auto p = Started("");
  EXPECT_EQ(p->settings().CheckIntervalMinutes, 20) << "the defaults";
  EXPECT_NE(MainLog().find("Kelmora.iniを読み込めなかったため"), std::string::npos) << MainLog();
  EXPECT_NE(front_.status.find("Kelmora.iniを読み込めなかったため"), std::string::npos) << front_.status;
  EXPECT_FALSE(p->SaveSettings().ok());
  disk_.ClearFaults();
  EXPECT_EQ(Cp932ToUtf8(disk_.Bytes(dir_ + "/Kelmora.ini")), ini);
}

TEST_F(ProgramTest, RestoredWindowPausesTheTimerAndAsksToStop) {
  auto p = Started(",,1,0,0,0,0,0,9,10,pop.test/u/pw\r\n0\r\n");
  p->OnRestore();
  EXPECT_TRUE(p->stop_requested());
  p->OnMinuteTick();
  EXPECT_TRUE(mail_.polled.empty());
  p->OnMinimise();
  EXPECT_FALSE(p->stop_requested());
  p->OnMinuteTick();
  EXPECT_EQ(mail_.polled.size(), 1u);
}

TEST_F(ProgramTest, NothingReceivedMeansNoProcessingAndModeNone) {
  auto p = Started(",,1,0,0,0,0,0,9,10,pop.test/u/pw\r\n0\r\n");
  p->RunMailCheck();
  EXPECT_EQ(processor_.calls, 0);
  EXPECT_EQ(p->reception_mode(), ReceptionMode::kNone);
  EXPECT_FALSE(front_.busy);
  EXPECT_EQ(front_.busy_shown, 1);
  EXPECT_EQ(MainLog(), "");
}

TEST_F(ProgramTest, AccountsArePolledInOrderAndTheirNamesJoined) {
  mail_.replies["one.test"] = {"a1", "a2"};
  mail_.replies["two.test"] = {"b1"};
  auto p = Started(",,1,0,0,1,0,0,9,10,one.test/u1/p1,two.test/u2/p2\r\n0\r\n");
  p->RunMailCheck();
  EXPECT_EQ(mail_.polled, (std::vector<std::string>{"one.test/u1", "two.test/u2"}));
  ASSERT_EQ(processor_.calls, 1);
  EXPECT_EQ(processor_.last_count, 3);
  EXPECT_EQ(processor_.last_names, (std::vector<std::string>{"a1", "a2", "b1"}));
  EXPECT_EQ(processor_.last_mode, ReceptionMode::kPop3);
  EXPECT_EQ(p->reception_mode(), ReceptionMode::kPop3);
  EXPECT_EQ(front_.busy_shown, 0) << "HideBusyWindow is set";
}

TEST_F(ProgramTest, LocalStoreDeliveriesSkipThePop3Accounts) {
  mail_.replies["one.test"] = {"a1"};
  auto p = Started("me,,1,0,0,0,0,0,9,10,one.test/u1/p1\r\n0\r\n");
  local_.deliver = 2;
  p->RunMailCheck();
  EXPECT_TRUE(mail_.polled.empty());
  EXPECT_EQ(processor_.last_count, 2);
  EXPECT_EQ(p->reception_mode(), ReceptionMode::kLocalStore);
  EXPECT_EQ(local_.sign_offs, 1);

  local_.deliver = 0;
  p->RunMailCheck();
  EXPECT_EQ(mail_.polled.size(), 1u);
  EXPECT_EQ(p->reception_mode(), ReceptionMode::kPop3);
}

TEST_F(ProgramTest, AFailingCycleIsLoggedAndTheNextOneRuns) {
  mail_.replies["one.test"] = {"a1"};
  auto p = Started(",,1,0,0,0,0,0,9,10,one.test/u1/p1\r\n0\r\n");
  processor_.on_call = [] { throw std::runtime_error("disk on fire"); };
  p->RunMailCheck();
  EXPECT_EQ(MainLog(), "受信メールの処理で何らかの異常が発生：disk on fire(1) at 20261207-090503\r\n");
  EXPECT_FALSE(front_.busy);
  EXPECT_FALSE(p->cycle_running());
  processor_.on_call = nullptr;
  p->RunMailCheck();
  EXPECT_EQ(processor_.calls, 2);
}

TEST_F(ProgramTest, CyclesNeverOverlapAndStopIsResetAtTheStart) {
  mail_.replies["one.test"] = {"a1"};
  auto p = Started(",,1,0,0,0,0,0,9,10,one.test/u1/p1\r\n0\r\n");
  p->RequestStop();
  processor_.on_call = [&] {
    EXPECT_FALSE(p->stop_requested());
    p->RunMailCheck();  // e.g. the test button pressed during a cycle
  };
  p->RunMailCheck();
  EXPECT_EQ(processor_.calls, 1);
  EXPECT_EQ(mail_.polled.size(), 1u);
}

TEST_F(ProgramTest, SecondStartOnTheSameFolderIsRefused) {
  auto p = Started("");
  TestRoads other;
  auto second = other.Make(disk_, clock_, front_, dir_);
  Status s = second->Start("");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "２重に起動しようとしました。");
}

TEST_F(ProgramTest, DelayArgumentIsCappedAndRounded) {
  auto p = roads_.Make(disk_, clock_, front_, dir_);
  ASSERT_TRUE(p->Start("2500.5").ok());
  EXPECT_EQ(p->to_forward_delay_ms(), 2500);
  EXPECT_EQ(front_.status, "ＴＯ転送遅延時間は［2500］ミリ秒に設定されています。");
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

// The log viewer's order: an entry ends with its stamped line, so one with
// line breaks stays whole; a last line without stamp (cut short) still
// shows.
TEST(LogEntriesTest, NewestFirstWithMultiLineEntriesWhole) {
  struct Case {
    std::string log;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"", {}},
      {"a at 20261207-090503\r\n", {"a at 20261207-090503"}},
      {"a at 20261207-090503\r\nb\r\nc at 20261207-090504\r\n",
       {"b\nc at 20261207-090504", "a at 20261207-090503"}},
      {"a at 20261207-090503\r\ncut sho", {"cut sho", "a at 20261207-090503"}},
      // Not a stamp: too short, a letter among the digits.
      {"x at 2026120-090503\r\ny at 2026120x-090503\r\n", {"x at 2026120-090503\ny at 2026120x-090503"}},
  };
  for (const Case& c : cases) EXPECT_EQ(LogEntriesNewestFirst(c.log), c.entries) << c.log;
}

}  // namespace
}  // namespace kelmora
