// SPDX-License-Identifier: GPL-3.0-or-later
// Pop3Inbox: what becomes of a stored message when the dispatcher settles
// it, and when the component hears that the program is done with it.
#include "mail/pop3_inbox.h"

#include <gtest/gtest.h>

#include "tests/support/fixed_clock.h"
#include "tests/unit/dispatch_fixture.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {

constexpr const char* kFolder = "/prog/log/receive";

class Pop3InboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.eml", "b.eml", "c.eml"}) fs_.AddFile(std::string(kFolder) + "/" + name, "raw\r\n");
  }
  ReceivedMail Mail(const std::string& name) {
    ReceivedMail m;
    m.StoredName = name;
    m.ToAddress = "club@example.test";
    m.FromAddress = "taro@example.test";
    m.Subject = "件名";
    m.Body = "本文";
    return m;
  }

  FakeFileSystem fs_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  Logger log_{fs_, clock_, "/prog"};
  FakeMailComponent mail_;
};

// A message kept in readable form is settled at once, though its rewrite
// waits for its batch: a crash before the batch is committed must leave it
// kept as received, not hand it out again to act twice.
TEST_F(Pop3InboxTest, KeptMessagesAreSettledAtOnceAndRewrittenByFinish) {
  Pop3Inbox inbox(fs_, log_, mail_, kFolder, {"a.eml", "b.eml", "c.eml"});
  inbox.Settle(0, Mail("a.eml"), Inbox::Disposition::kKeepReadable);
  EXPECT_EQ(mail_.settled, std::vector<std::string>{"a.eml"});
  EXPECT_EQ(fs_.Bytes(std::string(kFolder) + "/a.eml"), "raw\r\n") << "the rewrite waits for its batch";
  inbox.Settle(1, Mail("b.eml"), Inbox::Disposition::kDelete);
  inbox.Settle(2, Mail("c.eml"), Inbox::Disposition::kSetAside);
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"a.eml", "b.eml", "c.eml"}));
  EXPECT_FALSE(fs_.HasFile(std::string(kFolder) + "/b.eml"));
  EXPECT_TRUE(fs_.HasFile(std::string(kFolder) + "/cError.txt"));
  inbox.Finish();
  EXPECT_EQ(Cp932ToUtf8(fs_.Bytes(std::string(kFolder) + "/a.eml")),
            Pop3Inbox::ReadableForm(Mail("a.eml")) + "\r\n");
}

// A message left as it is (the cycle stopped before it) is not settled.
TEST_F(Pop3InboxTest, AMessageLeftAsItIsIsNotSettled) {
  Pop3Inbox inbox(fs_, log_, mail_, kFolder, {"a.eml"});
  inbox.Settle(0, Mail("a.eml"), Inbox::Disposition::kKeepAsIs);
  inbox.Finish();
  EXPECT_TRUE(mail_.settled.empty());
  EXPECT_EQ(fs_.Bytes(std::string(kFolder) + "/a.eml"), "raw\r\n");
}

// A readable form that cannot be written (staging or committing it fails)
// leaves the message as received and says so in the log; the message is
// settled all the same, so that it is never acted on twice.
TEST_F(Pop3InboxTest, AReadableFormThatCannotBeWrittenIsLoggedAndTheMessageKept) {
  struct Case {
    const char* name;
    unsigned op;
    const char* failing;  // part of the failing path
  };
  for (const Case& c : {Case{"staging", FakeFileSystem::kWrite, ".a.eml.tmp-"},
                        Case{"committing", FakeFileSystem::kRename, ".a.eml.tmp-"}}) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs;
    fs.AddFile(std::string(kFolder) + "/a.eml", "raw\r\n");
    fs.AddDir("/prog/log");
    Logger log{fs, clock_, "/prog"};
    FakeMailComponent mail;
    fs.InjectFault(c.op, c.failing);
    {
      Pop3Inbox inbox(fs, log, mail, kFolder, {"a.eml"});
      inbox.Settle(0, Mail("a.eml"), Inbox::Disposition::kKeepReadable);
      inbox.Finish();
    }
    EXPECT_EQ(mail.settled, std::vector<std::string>{"a.eml"});
    EXPECT_EQ(fs.Bytes(std::string(kFolder) + "/a.eml"), "raw\r\n");
    const std::string main_log = Cp932ToUtf8(fs.Bytes("/prog/log/Kelmoralog.txt"));
    EXPECT_NE(main_log.find("受信メールを読める形に書き換えられません<" + std::string(kFolder) + "/a.eml>:"),
              std::string::npos)
        << main_log;
    for (const std::string& p : fs.FilePaths()) EXPECT_EQ(p.find(".tmp-"), std::string::npos) << p;
  }
}

}  // namespace
}  // namespace kelmora
