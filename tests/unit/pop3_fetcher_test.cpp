// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/pop3_fetcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_file_system.h"
#include "tests/support/fake_pop3_server.h"
#include "tests/support/fixed_clock.h"
#include "textio/clock.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

const std::string kFolder = "prog/log/receive";
const std::string kServer = "pop3://127.0.0.1:1110";
const std::string kUser = "alice";

std::string Mail(const std::string& tag) {
  return "From: a@example.net\r\nSubject: " + tag + "\r\n\r\nbody of " + tag + "\r\n";
}

// The fetch logic on a scripted mailbox and an in-memory disk: what is
// stored, when it is deleted on the server, and what the journal keeps
// across broken sessions.
class Pop3FetcherTest : public ::testing::Test {
 protected:
  void SetUp() override { fs_.AddDir(kFolder); }

  // One fetch as the mail component runs it: load the journal, fetch, save.
  Pop3FetchResult FetchOnce() {
    ReceiveJournal journal(fs_, clock_, kFolder);
    EXPECT_TRUE(journal.Load().ok());
    Pop3Fetcher fetcher(fs_, clock_, pop3_);
    Pop3FetchResult result = fetcher.Fetch(kServer, kUser, "secret", kFolder, &journal);
    EXPECT_TRUE(journal.Save().ok());
    return result;
  }
  // The stored messages (not the journal, no temporary files), by content.
  std::vector<std::string> StoredMessages() const {
    std::vector<std::string> out;
    for (const std::string& p : fs_.FilePaths()) {
      if (StartsWith(p, kFolder + "/") && EndsWith(p, ".eml")) out.push_back(fs_.Bytes(p));
    }
    return out;
  }

  FakeFileSystem fs_;
  FixedClock clock_{LocalTime{2024, 5, 6, 7, 8, 9}};
  FakePop3Server pop3_;
};

TEST_F(Pop3FetcherTest, EachMessageIsStoredUnderItsFinalNameBeforeItsDele) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.Deliver("u2", Mail("two"));
  std::vector<std::string> checked;
  pop3_.on_command = [&](const std::string& command) {
    if (StartsWith(command, "RETR ")) {
      // The journal knows the message before its text is fetched.
      EXPECT_NE(fs_.Bytes(kFolder + "/.receive-journal").find(command == "RETR 1" ? "\tu1\t" : "\tu2\t"),
                std::string::npos);
    }
    if (!StartsWith(command, "DELE ")) return;
    const std::string expected = Mail(command == "DELE 1" ? "one" : "two");
    bool stored = false;
    for (const std::string& p : fs_.FilePaths()) stored |= EndsWith(p, ".eml") && fs_.Bytes(p) == expected;
    EXPECT_TRUE(stored) << command << " before its message was stored";
    checked.push_back(command);
  };
  Pop3FetchResult result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(checked, (std::vector<std::string>{"DELE 1", "DELE 2"}));
  // One batch: both are stored, then both deleted.
  EXPECT_EQ(pop3_.commands(), (std::vector<std::string>{"OPEN", "LIST", "UIDL", "RETR 1", "RETR 2", "DELE 1",
                                                        "DELE 2", "QUIT"}));
  ASSERT_EQ(result.stored.size(), 2u);
  // Names carry the clock's local time.
  EXPECT_TRUE(StartsWith(result.stored[0], "20240506070809-")) << result.stored[0];
  EXPECT_EQ(fs_.Bytes(kFolder + "/" + result.stored[0]), Mail("one"));
  EXPECT_EQ(fs_.Bytes(kFolder + "/" + result.stored[1]), Mail("two"));
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, ATruncatedRetrIsNeitherStoredNorDeleted) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.Deliver("u2", Mail("two"));
  pop3_.truncate_retr["u2"] = 10;  // the connection breaks inside RETR 2
  Pop3FetchResult result = FetchOnce();
  EXPECT_NE(result.status.message().find("RETR 2 failed: message incomplete (10 of "), std::string::npos)
      << result.status.message();
  EXPECT_EQ(pop3_.Count("DELE 2"), 0);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one")}));
  // The broken session committed nothing: both are still on the server.
  EXPECT_EQ(pop3_.mailbox().size(), 2u);

  // The next session deletes the one already stored without storing it
  // again, and fetches the other one whole.
  pop3_.truncate_retr.clear();
  result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(pop3_.Count("RETR 1"), 1);
  ASSERT_EQ(result.stored.size(), 1u);
  EXPECT_EQ(fs_.Bytes(kFolder + "/" + result.stored[0]), Mail("two"));
  EXPECT_EQ(StoredMessages().size(), 2u);
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, AnInexactListSizeIsAcceptedWhenTheConnectionIsStillInStep) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.list_size_delta["u1"] = 3;
  Pop3FetchResult result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(pop3_.commands(),
            (std::vector<std::string>{"OPEN", "LIST", "UIDL", "RETR 1", "NOOP", "DELE 1", "QUIT"}));
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one")}));
}

TEST_F(Pop3FetcherTest, ASessionBrokenAfterDeleDoesNotStoreTheMessageTwice) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.Deliver("u2", Mail("two"));
  // LIST, UIDL, RETR 1, RETR 2, DELE 1, DELE 2: the connection is gone
  // before QUIT, so the server keeps both messages.
  pop3_.drop_after_commands = 6;
  Pop3FetchResult first = FetchOnce();
  EXPECT_EQ(first.stored.size(), 2u);
  // The QUIT could not go out: nothing was committed.
  EXPECT_EQ(pop3_.mailbox().size(), 2u);

  pop3_.drop_after_commands = -1;
  Pop3FetchResult second = FetchOnce();
  EXPECT_TRUE(second.status.ok()) << second.status.message();
  EXPECT_TRUE(second.stored.empty());
  EXPECT_EQ(pop3_.Count("RETR 1"), 1);
  EXPECT_EQ(pop3_.Count("RETR 2"), 1);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one"), Mail("two")}));
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, AFailedStoreLeadsToNoDele) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.Deliver("u2", Mail("two"));
  fs_.InjectFault(FakeFileSystem::kWrite, ".eml", /*skip=*/1);  // the second message's store fails
  Pop3FetchResult result = FetchOnce();
  EXPECT_NE(result.status.message().find("store of message 2 failed"), std::string::npos) << result.status.message();
  EXPECT_EQ(pop3_.Count("DELE 1"), 1);
  EXPECT_EQ(pop3_.Count("DELE 2"), 0);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one")}));
  // Message 1 is committed (the session ended with QUIT); message 2 waits.
  ASSERT_EQ(pop3_.mailbox().size(), 1u);
  EXPECT_EQ(pop3_.mailbox()[0].uidl, "u2");

  // The journal forgot the failed store: the next fetch stores it.
  fs_.ClearFaults();
  result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(StoredMessages().size(), 2u);
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, AJournalThatCannotBeWrittenStopsTheFetchBeforeAnyRetr) {
  pop3_.Deliver("u1", Mail("one"));
  fs_.InjectFault(FakeFileSystem::kWrite, ".receive-journal", 0, 1);
  ReceiveJournal journal(fs_, clock_, kFolder);
  Pop3Fetcher fetcher(fs_, clock_, pop3_);
  Pop3FetchResult result = fetcher.Fetch(kServer, kUser, "secret", kFolder, &journal);
  EXPECT_NE(result.status.message().find("journal write failed"), std::string::npos) << result.status.message();
  EXPECT_EQ(pop3_.Count("RETR 1"), 0);
  EXPECT_EQ(pop3_.Count("DELE 1"), 0);
  EXPECT_TRUE(journal.entries().empty());
}

TEST_F(Pop3FetcherTest, AServerWithoutUidlIsFetchedInAFreshSession) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.uidl_refused = true;
  Pop3FetchResult result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(pop3_.sessions(), 2);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one")}));
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, FailuresNameTheServerTheUserTheStepAndTheReply) {
  pop3_.Deliver("u1", Mail("one"));
  pop3_.open_failure = Pop3Reply::Failed("Login denied", "-ERR [AUTH] Authentication failed.", "login");
  Pop3FetchResult result = FetchOnce();
  EXPECT_EQ(result.status.message(),
            "POP3 127.0.0.1:1110 user alice: login failed: Login denied; server reply: -ERR [AUTH] "
            "Authentication failed.");
  EXPECT_TRUE(StoredMessages().empty());

  pop3_.open_failure = Pop3Reply::Ok();
  pop3_.refuse["DELE 1"] = "-ERR cannot delete";
  result = FetchOnce();
  EXPECT_EQ(result.status.message(),
            "POP3 127.0.0.1:1110 user alice: DELE 1 failed: command refused; server reply: -ERR cannot delete");
  // Stored once; the next session only deletes it.
  pop3_.refuse.clear();
  result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("one")}));
  EXPECT_TRUE(pop3_.mailbox().empty());

  Pop3Fetcher fetcher(fs_, clock_, pop3_);
  ReceiveJournal journal(fs_, clock_, kFolder);
  EXPECT_EQ(fetcher.Fetch("imap://127.0.0.1", kUser, "x", kFolder, &journal).status.message(),
            "POP3: not a POP3 server: \"imap://127.0.0.1\"");
}

// ---- batches: messages are committed together, and deleted only after

// The names of temporary files left in the folder.
std::vector<std::string> Temporaries(const FakeFileSystem& fs) {
  std::vector<std::string> out;
  for (const std::string& p : fs.FilePaths()) {
    if (StartsWith(p, kFolder + "/") && IsTemporaryName(BaseName(p))) out.push_back(p);
  }
  return out;
}

TEST_F(Pop3FetcherTest, ABatchIsCommittedBeforeItsDelesAndTheNextBatchFollows) {
  const int kCount = 70;  // one full batch of 64 and a rest
  for (int i = 1; i <= kCount; ++i) pop3_.Deliver("u" + std::to_string(i), Mail("m" + std::to_string(i)));
  int deles = 0;
  pop3_.on_command = [&](const std::string& command) {
    if (!StartsWith(command, "DELE ")) return;
    ++deles;
    const std::string expected = Mail("m" + command.substr(5));
    bool stored = false;
    for (const std::string& p : fs_.FilePaths()) stored |= EndsWith(p, ".eml") && fs_.Bytes(p) == expected;
    EXPECT_TRUE(stored) << command << " before its message was under its final name";
    EXPECT_TRUE(Temporaries(fs_).empty()) << command << " while its batch was not committed";
  };
  Pop3FetchResult result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(deles, kCount);
  ASSERT_EQ(result.stored.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(fs_.Bytes(kFolder + "/" + result.stored[69]), Mail("m70"));
  // The first batch is deleted before the second is fetched.
  const std::vector<std::string>& c = pop3_.commands();
  const auto pos = [&](const std::string& what) { return std::find(c.begin(), c.end(), what) - c.begin(); };
  EXPECT_LT(pos("RETR 64"), pos("DELE 1"));
  EXPECT_LT(pos("DELE 64"), pos("RETR 65"));
  EXPECT_LT(pos("RETR 70"), pos("DELE 65"));
  EXPECT_TRUE(pop3_.mailbox().empty());
  EXPECT_TRUE(Temporaries(fs_).empty());
}

TEST_F(Pop3FetcherTest, AConnectionCutMidBatchCommitsWhatArrivedAndDeletesItOnlyInTheNextSession) {
  for (int i = 1; i <= 5; ++i) pop3_.Deliver("u" + std::to_string(i), Mail("m" + std::to_string(i)));
  // LIST, UIDL, RETR 1..3: the connection breaks before RETR 4.
  pop3_.drop_after_commands = 5;
  Pop3FetchResult first = FetchOnce();
  EXPECT_NE(first.status.message().find("RETR 4 failed"), std::string::npos) << first.status.message();
  EXPECT_EQ(first.stored.size(), 3u);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("m1"), Mail("m2"), Mail("m3")}));
  // No DELE on a broken session, and no new session to send one on.
  EXPECT_EQ(pop3_.Count("DELE 1") + pop3_.Count("DELE 2") + pop3_.Count("DELE 3"), 0);
  EXPECT_EQ(pop3_.sessions(), 1);
  EXPECT_EQ(pop3_.mailbox().size(), 5u);
  EXPECT_TRUE(Temporaries(fs_).empty());

  pop3_.drop_after_commands = -1;
  Pop3FetchResult second = FetchOnce();
  EXPECT_TRUE(second.status.ok()) << second.status.message();
  // The three already stored are deleted by UIDL, not fetched again.
  EXPECT_EQ(pop3_.Count("RETR 1"), 1);
  ASSERT_EQ(second.stored.size(), 2u);
  EXPECT_EQ(StoredMessages().size(), 5u);
  EXPECT_TRUE(pop3_.mailbox().empty());
}

TEST_F(Pop3FetcherTest, AProgramKilledMidBatchLosesNothingAndStoresNothingTwice) {
  for (int i = 1; i <= 4; ++i) pop3_.Deliver("u" + std::to_string(i), Mail("m" + std::to_string(i)));
  // The disk as a kill -9 during RETR 3 leaves it: the journal knows every
  // planned message, two stores wait under temporary names, nothing is
  // committed, and the server has seen no DELE.
  FakeFileSystem killed;
  pop3_.on_command = [&](const std::string& command) {
    if (command == "RETR 3") killed = fs_;
  };
  FetchOnce();
  ASSERT_EQ(Temporaries(killed).size(), 2u);

  FakePop3Server server;  // the server, untouched by the killed run
  for (int i = 1; i <= 4; ++i) server.Deliver("u" + std::to_string(i), Mail("m" + std::to_string(i)));
  ReceiveJournal journal(killed, clock_, kFolder);
  journal.RemoveStaleTemporaries();
  EXPECT_TRUE(Temporaries(killed).empty());
  EXPECT_TRUE(journal.Load().ok());
  Pop3Fetcher fetcher(killed, clock_, server);
  Pop3FetchResult result = fetcher.Fetch(kServer, kUser, "secret", kFolder, &journal);
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(result.stored.size(), 4u);
  std::vector<std::string> stored;
  for (const std::string& p : killed.FilePaths()) {
    if (EndsWith(p, ".eml")) stored.push_back(killed.Bytes(p));
  }
  EXPECT_EQ(stored.size(), 4u);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(std::count(stored.begin(), stored.end(), Mail("m" + std::to_string(i))), 1);
  EXPECT_TRUE(server.mailbox().empty());
}

TEST_F(Pop3FetcherTest, AFailedCommitDeletesOnlyWhatReachedItsName) {
  for (int i = 1; i <= 3; ++i) pop3_.Deliver("u" + std::to_string(i), Mail("m" + std::to_string(i)));
  fs_.InjectFault(FakeFileSystem::kRename, ".eml", /*skip=*/1, /*times=*/1);  // the second rename fails
  Pop3FetchResult result = FetchOnce();
  EXPECT_NE(result.status.message().find("store of message 2 failed"), std::string::npos) << result.status.message();
  EXPECT_EQ(pop3_.Count("DELE 2"), 0);
  EXPECT_EQ(pop3_.Count("DELE 1") + pop3_.Count("DELE 3"), 2);
  EXPECT_EQ(StoredMessages(), (std::vector<std::string>{Mail("m1"), Mail("m3")}));
  EXPECT_TRUE(Temporaries(fs_).empty());
  // The journal forgot message 2: the next fetch stores it, and only it.
  result = FetchOnce();
  EXPECT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(result.stored.size(), 1u);
  EXPECT_EQ(StoredMessages().size(), 3u);
  EXPECT_TRUE(pop3_.mailbox().empty());
}

}  // namespace
}  // namespace kelmora
