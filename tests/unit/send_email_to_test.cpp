// SPDX-License-Identifier: GPL-3.0-or-later
// One-by-one To forwarding, driven through a started Program on an
// in-memory program folder with a recording mail component.
#include "send/send_email_to.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/core/program.h"
#include "tests/support/silent_front_end.h"
#include "tests/support/test_roads.h"
#include "textio/codepage.h"
#include "tests/support/fake_mail_component.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"

namespace kelmora {
namespace {


class RecordingFront : public SilentFrontEnd {
 public:
  void SetBusyText(const std::string& text) override { busy_texts.push_back(text); }
  void Wait(int ms) override { waits.push_back(ms); }
  std::vector<std::string> busy_texts;
  std::vector<int> waits;
};

const char* const kStamp = "20261207090503";

class SendEMailToTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteCp932("data/list.txt",
               "; members\r\n1,a@example.test,pw,x\r\n2,b@example.test,pw,x\r\n3,c@example.test,pw,x\r\n"
               "4,d@example.test,pw,x\r\n5,e@example.test,pw,x\r\n");
    WriteCp932("Master.txt",
               "1,list@example.test,,hello,data/list.txt,list@example.test,127.0.0.1,,,From ＠＠ and ＠＠,-- end,,"
               "ＴＯ転送,,,\r\n"
               "2,club@example.test,,[club],data/list.txt,club@example.test,127.0.0.1,,,,,,ＴＯ転送,,,\r\n"
               "3,bs@example.test,,bs,data\\list.txt,bs@example.test,127.0.0.1,,Title here,,,,ＴＯ転送,,,\r\n");
    WriteCp932("Kelmora.ini", "u,,20,0,0,0,0,0,9,10\r\n7,41,0\r\n");
    roads_.mail = &mail_;
    // The fixed waits are off; the pause between sends is not one of them.
    program_ = roads_.Make(disk_, clock_, front_, dir_, /*no_wait=*/true);
    Status s = program_->Start("250");
    ASSERT_TRUE(s.ok()) << s.message();
  }
  void TearDown() override { program_.reset(); }

  void WriteCp932(const std::string& name, const std::string& utf8) { disk_.AddFile(dir_ + "/" + name, Utf8ToCp932(utf8)); }
  // "" when the file is missing.
  std::string ReadBytes(const std::string& name) const { return disk_.Bytes(dir_ + "/" + name); }
  bool Exists(const std::string& name) const { return disk_.Exists(dir_ + "/" + name); }
  void Remove(const std::string& name) { disk_.Erase(dir_ + "/" + name); }

  // Leaves a, c and e in the list: three members among five slots.
  void KeepThreeMembers() {
    const int list = program_->members().FindList("data/list.txt");
    program_->members().RemoveLoadedMember(list, "b@example.test");
    program_->members().RemoveLoadedMember(list, "d@example.test");
  }

  OutgoingMail Mail(int row, ListTagMode flag = kPlainMessage) {
    OutgoingMail m;
    m.ToAddr = "ignored@example.test";
    m.ToName = "ignored";
    m.MasterIndex = row;
    m.OriginalSender = "\"Sender\" <s@example.test>";
    m.ReceivedSubject = "hello there";
    m.Msg = "Body";
    m.ListTag = flag;
    m.AttachmentPaths = "/tmp/one.bin";
    return m;
  }

  // The files of log/ other than its receive folder.
  std::vector<std::string> LogFiles() const {
    std::vector<DirEntry> entries;
    EXPECT_TRUE(disk_.ListDir(dir_ + "/log", &entries).ok());
    std::vector<std::string> names;
    for (const DirEntry& e : entries) {
      if (e.is_file) names.push_back(e.name);
    }
    return names;
  }

  std::string SendLog(const std::string& name) const { return Cp932ToUtf8(ReadBytes("log/" + name)); }

  std::string dir_ = "/prog";
  FakeFileSystem disk_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  RecordingFront front_;
  FakeMailComponent mail_;
  TestRoads roads_;
  std::unique_ptr<Program> program_;
};

TEST_F(SendEMailToTest, EveryMemberGetsOwnMessageAndTheLogGetsTheSummary) {
  KeepThreeMembers();
  // The log's name is stamped once, before the first send.
  mail_.on_send = [this](const SentMail&) { clock_.Set(LocalTime{2027, 1, 1, 0, 0, 0}); };
  Remove("Kelmora.ini");

  EXPECT_TRUE(SendEMailTo(program_->send_context(), Mail(0)).ok());

  ASSERT_EQ(mail_.sent.size(), 3u);
  const char* const expected_to[] = {"a@example.test", "c@example.test", "e@example.test"};
  for (size_t i = 0; i < 3; ++i) {
    const SentMail& s = mail_.sent[i];
    EXPECT_EQ(s.recipients, std::string(expected_to[i]) +
                                "\t>Message-ID: Kelmora\t;List-Id: <list.example.test>"
                                "\t;List-Post: <mailto:list@example.test>\t;X-Loop: list@example.test"
                                "\t;Precedence: list");
    EXPECT_EQ(s.server, "127.0.0.1");
    EXPECT_EQ(s.from, "list@example.test");
    EXPECT_EQ(s.subject, "Fw:hello there");
    EXPECT_EQ(s.body, "From \"Sender\" <s@example.test> and ＠＠\r\nBody\r\n-- end");
    EXPECT_EQ(s.attachments, "/tmp/one.bin");
  }
  EXPECT_EQ(LogFiles(), std::vector<std::string>{std::string("list.txt") + kStamp + ".txt"});
  EXPECT_EQ(ReadBytes(std::string("log/list.txt") + kStamp + ".txt"),
            Utf8ToCp932("3件のメールは全てＴＯ転送しました。\r\n"
                        "1/3,a@example.test()\r\n2/3,c@example.test()\r\n3/3,e@example.test()\r\n\r\n"));
  EXPECT_EQ(front_.busy_texts, (std::vector<std::string>{"　Kelmora： メール送信中(1/3)",
                                                         "　Kelmora： メール送信中(2/3)",
                                                         "　Kelmora： メール送信中(3/3)"}));
  EXPECT_EQ(front_.waits, (std::vector<int>{250, 250, 250}));
  EXPECT_EQ(front_.flashes, 0);
  EXPECT_TRUE(Exists("Kelmora.ini"));  // saved again
}

TEST_F(SendEMailToTest, RefusedMemberIsLoggedFlashedAndTheOthersStillSent) {
  KeepThreeMembers();
  mail_.refusals["c@example.test"] = "550 5.1.1 unknown user";
  EXPECT_FALSE(SendEMailTo(program_->send_context(), Mail(0)).ok());
  EXPECT_EQ(mail_.sent.size(), 3u);
  // The last send went well, but one before it did not: no summary.
  EXPECT_EQ(SendLog(std::string("list.txt") + kStamp + ".txt"),
            "1/3,a@example.test()\r\n2/3,c@example.test(550 5.1.1 unknown user)\r\n3/3,e@example.test()\r\n");
  EXPECT_EQ(front_.flashes, 1);
}

// The number is stored before the first member gets the post.
TEST_F(SendEMailToTest, TheNumberIsStoredBeforeTheFirstSend) {
  std::string saved_when_first_sent;
  mail_.on_send = [&](const SentMail&) {
    const int n = static_cast<int>(mail_.sent.size());
    if (n == 1) saved_when_first_sent = Cp932ToUtf8(ReadBytes("Kelmora.ini"));
  };
  OutgoingMail m = Mail(1, kTitleIsListTag);
  m.ReceivedSubject = "news";
  EXPECT_TRUE(SendEMailTo(program_->send_context(), m).ok());
  EXPECT_EQ(saved_when_first_sent, "u,,20,0,0,0,0,0,9,10\r\n7,42,0\r\n");
}

TEST_F(SendEMailToTest, NoMemberGetsAPostWhoseNumberCannotBeStored) {
  disk_.InjectFault(FakeFileSystem::kWrite | FakeFileSystem::kCreateNew | FakeFileSystem::kRename, "Kelmora.ini");
  OutgoingMail m = Mail(1, kTitleIsListTag);
  EXPECT_FALSE(SendEMailTo(program_->send_context(), m).ok());
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_EQ(program_->settings().MlSequenceNumbers.at(1), 41) << "the number goes back to the row";
}

TEST_F(SendEMailToTest, NoListSendsNothingButStillSavesTheSettings) {
  program_->members().lists.clear();
  Remove("Kelmora.ini");
  EXPECT_TRUE(SendEMailTo(program_->send_context(), Mail(0)).ok());
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(LogFiles().empty());
  EXPECT_TRUE(Exists("Kelmora.ini"));
}

TEST_F(SendEMailToTest, StopRequestBetweenMembersEndsTheLoop) {
  mail_.on_send = [this](const SentMail&) {
    const int n = static_cast<int>(mail_.sent.size());
    if (n == 2) program_->RequestStop();
  };
  EXPECT_TRUE(SendEMailTo(program_->send_context(), Mail(0)).ok());
  EXPECT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(SendLog(std::string("list.txt") + kStamp + ".txt"), "1/5,a@example.test()\r\n2/5,b@example.test()\r\n");
}

TEST_F(SendEMailToTest, ListRowNumbersTheSubjectAndSavesTheNumberEvenOnFailure) {
  program_->settings().HideBusyWindow = 1;
  for (const char* a : {"a@example.test", "b@example.test", "c@example.test", "d@example.test", "e@example.test"}) {
    mail_.refusals[a] = "421 try later";
  }
  OutgoingMail m = Mail(1, kTitleIsListTag);
  m.ReceivedSubject = "news";
  EXPECT_FALSE(SendEMailTo(program_->send_context(), m).ok());
  ASSERT_EQ(mail_.sent.size(), 5u);
  EXPECT_EQ(mail_.sent[0].subject, "[club:0042(5)] news");
  EXPECT_EQ(mail_.sent[4].subject, "[club:0042(5)] news");  // one number for the whole call
  EXPECT_TRUE(front_.busy_texts.empty());
  EXPECT_EQ(front_.flashes, 5);
  EXPECT_EQ(Cp932ToUtf8(ReadBytes("Kelmora.ini")), "u,,20,0,0,1,0,0,9,10\r\n7,42,0\r\n");
}

TEST_F(SendEMailToTest, ExhaustedSequenceNumberSendsNothing) {
  program_->settings().MlSequenceNumbers[1] = 2147483647;
  EXPECT_FALSE(SendEMailTo(program_->send_context(), Mail(1, kSubjectHasListTag)).ok());
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(LogFiles() == std::vector<std::string>{"Kelmoralog.txt"});
  EXPECT_EQ(Cp932ToUtf8(ReadBytes("log/Kelmoralog.txt")).rfind("ＴＯ転送で何らかの異常が発生：", 0), 0u);
  EXPECT_EQ(Cp932ToUtf8(ReadBytes("Kelmora.ini")), "u,,20,0,0,0,0,0,9,10\r\n7,2147483647,0\r\n");
}

TEST_F(SendEMailToTest, SendLogNameDropsTheFolderOfTheSource) {
  // Row 3 names the list with a Windows-style "data\list.txt".
  EXPECT_TRUE(SendEMailTo(program_->send_context(), Mail(2)).ok());
  EXPECT_EQ(mail_.sent.at(0).subject, "Title here");
  EXPECT_EQ(LogFiles(), std::vector<std::string>{std::string("list.txt") + kStamp + ".txt"});
}

TEST_F(SendEMailToTest, RunTimeErrorIsLoggedAndReportedAsFailure) {
  Remove("Kelmora.ini");
  EXPECT_FALSE(SendEMailTo(program_->send_context(), Mail(99)).ok());
  EXPECT_TRUE(mail_.sent.empty());
  const std::string main_log = Cp932ToUtf8(ReadBytes("log/Kelmoralog.txt"));
  EXPECT_EQ(main_log.rfind("ＴＯ転送で何らかの異常が発生：", 0), 0u) << main_log;
  EXPECT_TRUE(Exists("Kelmora.ini"));
}

}  // namespace
}  // namespace kelmora
