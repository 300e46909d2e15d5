// SPDX-License-Identifier: GPL-3.0-or-later
// Whole cycles through the local mail store: the dispatcher reads the
// profile's Maildir, rows without a sender address send through the store
// (to a recording sendmail), and the cycle deletes or marks the messages.
#include <gtest/gtest.h>

#include <filesystem>

#include "receive/mail_store.h"
#include "receive/mail_store_reception.h"
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
    ASSERT_TRUE(Start());
    store_ = std::make_unique<MailStore>(disk_, clock_, program().logger(), runner_, &mail_, dir_);
    reception_ = std::make_unique<MailStoreReception>(*store_, program().logger(), program().settings().MapiUserName,
                                                      program().settings().MapiPassword,
                                                      program().settings().DownloadFromServer);
    program().set_mail_store(store_.get());
    program().set_local_reception(reception_.get());
  }
  void TearDown() override {
    if (program_) {
      program().set_local_reception(nullptr);
      program().set_mail_store(nullptr);
    }
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
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "[club]", .AddrFile = "members.txt",
                       .OrigAddr = "", .Tittle = "[club]"}},
                 1, "5");
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
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "hello", .AddrFile = "members.txt",
                       .OrigAddr = "", .Tittle = "Club news"}},
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

TEST_F(StoreDispatchTest, FailedStoreSendIsLoggedAndLeavesTheMessage) {
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "[club]", .AddrFile = "members.txt",
                       .OrigAddr = "", .Tittle = "[club]"}},
                 1, "5");
  WriteBytes("mailstore/user/profile.ini", "address=no sender here\r\nsendmail=/usr/lib/sm\r\n");
  DeliverToStore("100.a", kAttached);
  RunCycle();
  EXPECT_TRUE(runner_.calls.empty());
  EXPECT_TRUE(StartsWith(MainLog(), "OutlookExpressでの転送で何らかの異常が発生：")) << MainLog();
  EXPECT_EQ(StoreFiles("cur"), std::vector<std::string>{"100.a:2,S"});  // kept, though deletion was on
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "6");  // the number once taken stays taken
}

// A vacation reply that lands in the store is not forwarded to the list,
// as on the POP3 road: the store road reads the same headers.
TEST_F(StoreDispatchTest, AutomaticReplyInTheStoreIsNotForwarded) {
  StartWithStore({Rule{.ToAddr = "club@example.test", .Keyword = "[club]", .AddrFile = "members.txt",
                       .OrigAddr = "", .Tittle = "[club]"}},
                 1, "5");
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
