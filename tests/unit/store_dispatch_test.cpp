// SPDX-License-Identifier: GPL-3.0-or-later
// Whole cycles through the local mail store: the dispatcher reads the
// profile's Maildir, rows without a sender address send through the store
// (to a recording sendmail), and the cycle deletes or marks the messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "maildir/mail_store.h"
#include "maildir/mail_store_reception.h"
#include "tests/support/recording_command_runner.h"
#include "tests/unit/dispatch_fixture.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

using fixture::Rule;

constexpr const char* kAttached =
    "From: \"Taro\" <taro@example.test>\r\nTo: \"Club\" <club@example.test>\r\nSubject: hello\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n\r\nsee you\r\n--b1\r\nContent-Type: text/plain; name=\"map.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"map.txt\"\r\n\r\nnorth of the station\r\n--b1--\r\n";

class StoreDispatchTest : public fixture::DispatchFixture {
 protected:
  // Starts the program with the store as its first road; `delete_after`
  // is the "delete after processing" option.
  void StartWithStore(const std::vector<Rule>& rules, int delete_after, const std::string& sequence,
                      const std::vector<std::string>& members = {"m1@example.test", "m2@example.test"}) {
    WriteMaster(rules);
    WriteMembers("members.txt", members);
    WriteFile("Kelmora.ini", "user,,1,0," + std::to_string(delete_after) + ",1,0,0,9,10,pop.test/user/secret\r\n" + sequence + "\r\n");
    WriteBytes("mailstore/user/profile.ini", "address=list@example.test\r\nsendmail=/usr/lib/sm\r\n");
    runner_.set_file_system(&disk_);
    more_roads_ = [this](Program& p) {
      store_ = std::make_unique<MailStore>(disk_, clock_, p.logger(), runner_, &mail_, dir_);
      reception_ = std::make_unique<MailStoreReception>(*store_, p.logger(), p.settings().MapiUserName,
                                                        p.settings().MapiPassword, p.settings().DownloadFromServer);
      roads_.store = store_.get();
      roads_.local = reception_.get();
    };
    ASSERT_TRUE(Start());
  }
  // The list row most tests use: a tagged list without a sender address.
  void StartClubList(int delete_after, const std::string& sequence) {
    StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "[club]", .Destination = "members.txt",
                         .SendFrom = "", .ForwardSubject = "[club]"}},
                   delete_after, sequence);
  }
  // A fresh program folder for the next case of a table.
  void Restart() {
    TearDown();
    disk_.Erase(dir_);
    SetUp();
  }
  void TearDown() override {
    roads_.local = nullptr;
    roads_.store = nullptr;
    more_roads_ = nullptr;
    if (store_) store_->set_stop_check(nullptr);
    DispatchFixture::TearDown();
  }
  void DeliverToStore(const std::string& name, const std::string& raw) { WriteBytes("mailstore/user/new/" + name, raw); }
  std::vector<std::string> StoreFiles(const std::string& sub) const {
    std::vector<DirEntry> entries;
    std::vector<std::string> out;
    if (!disk_.ListDir(Path("mailstore/user/" + sub), &entries).ok()) return out;
    for (const DirEntry& e : entries) out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
  }

  RecordingCommandRunner runner_;
  std::unique_ptr<MailStore> store_;
  std::unique_ptr<MailStoreReception> reception_;
};

TEST_F(StoreDispatchTest, ListPostGoesThroughTheStoreWithItsAttachmentAndTheTagWithoutBlank) {
  StartClubList(1, "5");
  DeliverToStore("100.a", kAttached);
  RunCycle();
  EXPECT_EQ(program().reception_mode(), ReceptionMode::kLocalStore);
  ASSERT_EQ(runner_.calls.size(), 1u) << MainLog();
  EXPECT_EQ(runner_.calls[0].argv,
            (std::vector<std::string>{"/usr/lib/sm", "-i", "-f", "list@example.test", "--", "club@example.test",
                                      "m1@example.test", "m2@example.test"}));
  const std::string& sent = runner_.calls[0].input;
  EXPECT_NE(sent.find("Subject: [club:0006(2)]hello\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("map.txt"), std::string::npos) << "the attachment goes along: " << sent;
  // Posts through the store carry the list headers like every other road.
  EXPECT_NE(sent.find("List-Id: <club.example.test>\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("X-Loop: club@example.test\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("Precedence: list\r\n"), std::string::npos) << sent;
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(mail_.rcv_calls == 0) << "the POP3 account is not polled when the store delivered";
  // The number is stored at once; the message is deleted (delete after
  // processing), the copy sits in .Sent.
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "6");
  EXPECT_TRUE(StoreFiles("new").empty());
  EXPECT_TRUE(StoreFiles("cur").empty());
  EXPECT_EQ(StoreFiles(".Sent/cur").size(), 1u);
  EXPECT_TRUE(StoreFiles(".Outbox/new").empty());
  EXPECT_EQ(MainLog(), "");
}

TEST_F(StoreDispatchTest, KeptMessageIsMarkedSeenAndNotTakenAgain) {
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "hello", .Destination = "members.txt",
                       .SendFrom = "", .ForwardSubject = "Club news"}},
                 0, "0");
  DeliverToStore("100.a", kAttached);
  RunCycle();
  ASSERT_EQ(runner_.calls.size(), 1u) << MainLog();
  EXPECT_NE(runner_.calls[0].input.find("Subject: Club news\r\n"), std::string::npos);
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"100.a:2,S"});
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "0");  // no list post, nothing saved
  // The next cycle finds no unread mail and goes on to POP3.
  RunCycle();
  EXPECT_EQ(runner_.calls.size(), 1u);
  EXPECT_EQ(mail_.rcv_calls, 1);
}

// A send that fails for good on the store road leaves the message as the
// POP3 road leaves its …Error.txt: kept (seen and flagged, so the owner's
// mail program shows it), named in the log, never sent again; the number
// it took goes back.
TEST_F(StoreDispatchTest, FailedStoreSendIsLoggedAndLeavesTheMessageFlagged) {
  StartClubList(1, "5");
  WriteBytes("mailstore/user/profile.ini", "address=no sender here\r\nsendmail=/usr/lib/sm\r\n");
  DeliverToStore("100.a", kAttached);
  RunCycle();
  EXPECT_TRUE(runner_.calls.empty());
  EXPECT_TRUE(StartsWith(MainLog(), "OutlookExpressでの転送で何らかの異常が発生：")) << MainLog();
  EXPECT_NE(MainLog().find("既読・フラグ付き") , std::string::npos) << MainLog();
  EXPECT_NE(MainLog().find("100.a"), std::string::npos) << MainLog();
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"100.a:2,FS"});  // kept, though deletion was on
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "5");
  RunCycle();
  EXPECT_TRUE(runner_.calls.empty());
}

// A message a rule acted on is never acted on again, also when the store
// can neither mark nor delete it (new/ made immutable); the failure is
// logged once per cycle.
TEST_F(StoreDispatchTest, ActedMessageIsSentOnceWhileItCannotBeMarkedOrDeleted) {
  for (int delete_after : {0, 1}) {
    SCOPED_TRACE(delete_after);
    runner_.calls.clear();
    StartClubList(delete_after, "0");
    DeliverToStore("100.a", kAttached);
    disk_.InjectFault(FakeFileSystem::kRename | FakeFileSystem::kRemove, Path("mailstore/user/new/"));
    for (int cycle = 1; cycle <= 3; ++cycle) {
      RunCycle();
      EXPECT_EQ(runner_.calls.size(), 1u) << "cycle " << cycle << ": " << MainLog();
      EXPECT_EQ(static_cast<int>(Lines(MainLog()).size()), cycle) << MainLog();
    }
    EXPECT_EQ(StoreFiles("new"), std::vector<std::string>{"100.a"});
    // Once the store can change it again, the pending work is done.
    disk_.ClearFaults();
    RunCycle();
    EXPECT_EQ(runner_.calls.size(), 1u);
    EXPECT_EQ(StoreFiles("new"), std::vector<std::string>{});
    EXPECT_EQ(StoreFiles("cur"), delete_after ? std::vector<std::string>{} : std::vector<std::string>{"100.a:2,S"});
    EXPECT_FALSE(Exists("mailstore/user/kelmora-journal"));
    Restart();
  }
}

// "Delete after processing" waits until the post reached .Sent: a send
// that fails for good keeps the received post, flagged, with a line.
TEST_F(StoreDispatchTest, DeletionWaitsForTheSendAndAFailedSendKeepsThePost) {
  StartClubList(1, "0");
  DeliverToStore("100.a", kAttached);
  DeliverToStore("200.b", kAttached);
  runner_.exit_code = 75;
  RunCycle();
  ASSERT_EQ(runner_.calls.size(), 2u) << MainLog();
  EXPECT_EQ(StoreFiles("cur"), (std::vector<std::string>{"100.a:2,S", "200.b:2,S"}));
  // The first goes out, the second is refused for good.
  runner_.on_run = [&](const RecordingCommandRunner::Call&) { runner_.exit_code = runner_.calls.size() == 3 ? 0 : 67; };
  RunCycle();
  ASSERT_EQ(runner_.calls.size(), 4u);
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"200.b:2,FS"});
  const std::string log = MainLog();
  const std::string failed_line = Lines(log).back();
  EXPECT_NE(failed_line.find(".Failed"), std::string::npos) << log;
  EXPECT_NE(failed_line.find("200.b"), std::string::npos) << log;
  EXPECT_NE(failed_line.find("club@example.test, m1@example.test, m2@example.test"), std::string::npos) << log;
  EXPECT_NE(failed_line.find("exit 67"), std::string::npos) << log;
  // Nothing more happens to either.
  RunCycle();
  EXPECT_EQ(runner_.calls.size(), 4u);
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"200.b:2,FS"});
}

// A failure that can pass leaves the message unread with its log line, the
// post and its number wait, and the next cycle posts it; only the number of
// a queued post is ever used.
TEST_F(StoreDispatchTest, TemporaryFailuresLeaveTheMessageForTheNextCycle) {
  struct Case {
    const char* name;
    unsigned ops;
    const char* path;
  };
  const std::vector<Case> cases = {
      {"no space in .Outbox", FakeFileSystem::kCreateNew, "/.Outbox/tmp/"},
      {"message file unreadable", FakeFileSystem::kRead, "/new/100.a"},
      {"no space for the attachments", FakeFileSystem::kWrite, "/log/mailstore-work/"},
      {"journal not writable", FakeFileSystem::kAppendDurably, "kelmora-journal"},
      {"Kelmora.ini not writable", FakeFileSystem::kWrite, "Kelmora.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runner_.calls.clear();
    StartClubList(1, "5");
    DeliverToStore("100.a", kAttached);
    disk_.InjectFault(c.ops, c.path);
    RunCycle();
    EXPECT_TRUE(runner_.calls.empty());
    EXPECT_EQ(StoreFiles("new"), std::vector<std::string>{"100.a"});
    EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "5");
    EXPECT_NE(MainLog(), "");
    disk_.ClearFaults();
    RunCycle();
    ASSERT_EQ(runner_.calls.size(), 1u) << MainLog();
    EXPECT_NE(runner_.calls[0].input.find("Subject: [club:0006(2)]hello"), std::string::npos);
    EXPECT_EQ(StoreFiles("new"), std::vector<std::string>{});
    Restart();
  }
}

// A message that brings the cycle down is handed out three times, then set
// aside with the POP3 road's line; a cycle that ends normally forgets its
// attempts.
TEST_F(StoreDispatchTest, AMessageThatBreaksTheCycleIsSetAsideAfterThreeAttempts) {
  StartClubList(1, "5");
  DeliverToStore("100.a", kAttached);
  // Five cycles that end normally, each kept from posting by a full disk:
  // none of their attempts counts.
  disk_.InjectFault(FakeFileSystem::kCreateNew, "/.Outbox/tmp/");
  for (int i = 0; i < 5; ++i) RunCycle();
  disk_.ClearFaults();
  ASSERT_EQ(StoreFiles("new"), std::vector<std::string>{"100.a"});
  ASSERT_TRUE(runner_.calls.empty());
  front_.on_pump = [] { throw std::runtime_error("crash"); };
  for (int i = 0; i < 4; ++i) RunCycle();
  front_.on_pump = nullptr;
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"100.a:2,FS"});
  EXPECT_NE(MainLog().find("受信メールが3回受け渡されても処理を終えなかったため退避しました>"), std::string::npos) << MainLog();
  EXPECT_TRUE(runner_.calls.empty());
}

// Rows without a sender address send through the store in POP3 cycles too;
// without a profile the failure text stays.
TEST_F(StoreDispatchTest, RowsWithoutSenderSendThroughTheStoreInPop3Cycles) {
  for (const bool profile : {true, false}) {
    SCOPED_TRACE(profile);
    runner_.calls.clear();
    StartClubList(1, "5");
    if (!profile) program().settings().MapiUserName.clear();
    AddMessage("pop.eml", fixture::Message{.subject = "[club] hi", .attachments = {"map.txt"}});
    RunCycle();
    EXPECT_EQ(program().reception_mode(), ReceptionMode::kPop3);
    if (profile) {
      ASSERT_EQ(runner_.calls.size(), 1u) << MainLog();
      EXPECT_NE(runner_.calls[0].input.find("Subject: [club:0006(2)] hi"), std::string::npos) << runner_.calls[0].input;
      EXPECT_NE(runner_.calls[0].input.find("map.txt"), std::string::npos) << "the attachment stayed behind";
      EXPECT_EQ(MainLog(), "");
      EXPECT_FALSE(ReceiveFileExists("pop.eml"));
    } else {
      EXPECT_TRUE(runner_.calls.empty());
      EXPECT_NE(MainLog().find("メールストアのセッションがありません。(91)"), std::string::npos) << MainLog();
    }
    Restart();
  }
}

// Replies the program generates carry only their own attachments; posts
// forwarded through the store keep the received ones.
TEST_F(StoreDispatchTest, RepliesNeverCarryTheRequestersAttachments) {
  WriteFile("reply.txt", "Thank you.");
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "hello", .Destination = "members.txt",
                       .SendFrom = "", .ForwardSubject = "Club news"},
                  Rule{.ToAddr = "club@example.test", .Keyword = "hello", .SendFrom = "", .Process = "自動応答",
                       .Msg = "reply.txt"}},
                 1, "0,0");
  DeliverToStore("100.a", kAttached);
  RunCycle();
  ASSERT_EQ(runner_.calls.size(), 2u) << MainLog();
  EXPECT_NE(runner_.calls[0].input.find("map.txt"), std::string::npos);
  EXPECT_EQ(runner_.calls[1].argv.back(), "taro@example.test");
  EXPECT_EQ(runner_.calls[1].input.find("map.txt"), std::string::npos) << runner_.calls[1].input;
}

// A vacation reply that lands in the store is not forwarded to the list,
// as on the POP3 road: the store road reads the same headers.
TEST_F(StoreDispatchTest, AutomaticReplyInTheStoreIsNotForwarded) {
  StartClubList(1, "5");
  DeliverToStore("100.a",
                 "From: \"Taro\" <taro@example.test>\r\nTo: \"Club\" <club@example.test>\r\n"
                 "Subject: Away until Monday\r\nAuto-Submitted: auto-replied\r\n\r\nI am away.\r\n");
  RunCycle();
  EXPECT_TRUE(runner_.calls.empty()) << "the vacation reply went to the list";
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "5");
  EXPECT_NE(MainLog().find("taro@example.test"), std::string::npos) << MainLog();
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"100.a:2,S"}) << "kept, not deleted";
}

}  // namespace
}  // namespace kelmora
