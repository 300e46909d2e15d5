// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/receive_journal.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fake_file_system.h"
#include "tests/support/fixed_clock.h"
#include "textio/clock.h"

namespace kelmora {
namespace {

const std::string kFolder = "prog/log/receive";
const std::string kJournal = kFolder + "/.receive-journal";

class ReceiveJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.AddDir(kFolder);
    clock_.SetEpochMicros(1'700'000'000'000'000);
  }

  // A journal freshly loaded from the fake disk, as the next fetch sees it.
  ReceiveJournal Reloaded(std::string* problem = nullptr) {
    ReceiveJournal j(fs_, clock_, kFolder);
    const Status loaded = j.Load();
    if (problem) *problem = loaded.ok() ? "" : loaded.message();
    return j;
  }

  // Records a message as stored (file written) for `account`.
  void Store(ReceiveJournal* j, const std::string& name, const std::string& account, const std::string& uidl) {
    j->AddStored(name, account, uidl);
    fs_.AddFile(kFolder + "/" + name, "Subject: " + name + "\r\n\r\nbody\r\n");
  }

  // Takes the unsettled messages as a fetch does; unless `begin` is false,
  // the program then begins processing each (one attempt each).
  std::vector<std::string> Take(ReceiveJournal* j, const std::string& account,
                                std::vector<std::string>* set_aside = nullptr, bool begin = true,
                                std::vector<std::string>* acted_aside = nullptr) {
    std::vector<std::string> aside, acted, problems;
    std::vector<std::string> names =
        j->TakeUnsettled(account, set_aside ? set_aside : &aside, acted_aside ? acted_aside : &acted, &problems);
    EXPECT_TRUE(problems.empty());
    if (begin) {
      for (const std::string& name : names) j->CountAttempt(name);
    }
    return names;
  }

  FakeFileSystem fs_;
  FixedClock clock_{LocalTime{2024, 5, 6, 7, 8, 9}};
  const std::string alice_ = ReceiveJournal::AccountKey("pop.example.jp", "alice");
  const std::string bob_ = ReceiveJournal::AccountKey("pop.example.jp", "bob");
};

TEST_F(ReceiveJournalTest, MissingJournalIsEmptyAndSettleMarksCreateNothing) {
  ReceiveJournal j = Reloaded();
  EXPECT_TRUE(j.entries().empty());
  EXPECT_TRUE(ReceiveJournal::AppendSettled(fs_, kFolder, "x.eml").ok());
  EXPECT_FALSE(fs_.HasFile(kJournal));
}

TEST_F(ReceiveJournalTest, RecordsSurviveASaveAndLoad) {
  ReceiveJournal j(fs_, clock_, kFolder);
  // Tabs, line breaks and "%" in the account or UIDL must not break lines.
  const std::string odd_account = ReceiveJournal::AccountKey("host:1100", "us\ter%0A\r\n名前");
  Store(&j, "m1.eml", odd_account, "uid%1\t\n");
  Store(&j, "m2.eml", alice_, "u2");
  ASSERT_TRUE(j.Save().ok());

  std::string problem;
  ReceiveJournal back = Reloaded(&problem);
  EXPECT_EQ(problem, "");
  ASSERT_EQ(back.entries().size(), 2u);
  EXPECT_EQ(back.entries()[0].account, odd_account);
  EXPECT_EQ(back.entries()[0].uidl, "uid%1\t\n");
  EXPECT_TRUE(back.HoldsUidl(odd_account, "uid%1\t\n"));
  EXPECT_TRUE(back.HoldsUidl(alice_, "u2"));
  EXPECT_FALSE(back.HoldsUidl(bob_, "u2"));
  EXPECT_FALSE(back.HoldsUidl(alice_, ""));
}

TEST_F(ReceiveJournalTest, UnsettledMessagesComeBackThreeTimesThenGoAside) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "20240101000000-000001-9.eml", alice_, "u1");
  Store(&j, "20240101000000-000002-9.eml", alice_, "u2");
  const std::vector<std::string> both{kFolder + "/20240101000000-000001-9.eml",
                                      kFolder + "/20240101000000-000002-9.eml"};
  // Hand-outs 1 to 3, each by a new program run that never settled them.
  EXPECT_EQ(Take(&j, alice_), both);
  ASSERT_TRUE(j.Save().ok());
  for (int run = 2; run <= 3; ++run) {
    ReceiveJournal again = Reloaded();
    EXPECT_EQ(Take(&again, alice_), both) << "run " << run;
    ASSERT_TRUE(again.Save().ok());
  }
  // The fourth time they are set aside under their Error.txt names.
  ReceiveJournal fourth = Reloaded();
  std::vector<std::string> aside;
  EXPECT_TRUE(Take(&fourth, alice_, &aside).empty());
  EXPECT_EQ(aside, (std::vector<std::string>{kFolder + "/20240101000000-000001-9Error.txt",
                                             kFolder + "/20240101000000-000002-9Error.txt"}));
  EXPECT_FALSE(fs_.HasFile(both[0]));
  EXPECT_EQ(fs_.Bytes(kFolder + "/20240101000000-000001-9Error.txt"),
            "Subject: 20240101000000-000001-9.eml\r\n\r\nbody\r\n");
  ASSERT_TRUE(fourth.Save().ok());
  // Still on the server as far as we know: the UIDLs stay, nothing is handed out.
  ReceiveJournal fifth = Reloaded();
  EXPECT_TRUE(Take(&fifth, alice_).empty());
  EXPECT_TRUE(fifth.HoldsUidl(alice_, "u1"));
}

// Messages that waited behind one being processed when the program was
// killed were never looked at: being handed out again and again must not
// set them aside. Only begun attempts count, and the marks the program
// appends survive a reload.
TEST_F(ReceiveJournalTest, OnlyAttemptsCountNotHandOuts) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "waiting.eml", alice_, "u1");
  Store(&j, "crashing.eml", alice_, "u2");
  ASSERT_TRUE(j.Save().ok());
  for (int run = 1; run <= 5; ++run) {
    ReceiveJournal again = Reloaded();
    std::vector<std::string> aside;
    const std::vector<std::string> names = Take(&again, alice_, &aside, /*begin=*/false);
    ASSERT_TRUE(again.Save().ok());
    if (run <= 3) {
      EXPECT_EQ(names.size(), 2u) << "run " << run;
      // The program begins the second message only and dies on it.
      ASSERT_TRUE(ReceiveJournal::AppendMark(fs_, kFolder, ReceiveJournal::Mark::kBegan, "crashing.eml").ok());
    } else {
      EXPECT_EQ(names, std::vector<std::string>{kFolder + "/waiting.eml"}) << "run " << run;
      if (run == 4) {
        EXPECT_EQ(aside, std::vector<std::string>{kFolder + "/crashingError.txt"});
      }
    }
  }
}

// A message a rule acted on before the program stopped is set aside, not
// handed out to act a second time.
TEST_F(ReceiveJournalTest, AnActedMessageIsSetAsideNotHandedOut) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "post.eml", alice_, "u1");
  Store(&j, "next.eml", alice_, "u2");
  ASSERT_TRUE(j.Save().ok());
  ReceiveJournal first = Reloaded();
  EXPECT_EQ(Take(&first, alice_).size(), 2u);
  ASSERT_TRUE(first.Save().ok());
  ASSERT_TRUE(ReceiveJournal::AppendMark(fs_, kFolder, ReceiveJournal::Mark::kActed, "post.eml").ok());

  ReceiveJournal second = Reloaded();
  std::vector<std::string> aside, acted;
  EXPECT_EQ(Take(&second, alice_, &aside, true, &acted), std::vector<std::string>{kFolder + "/next.eml"});
  EXPECT_TRUE(aside.empty());
  EXPECT_EQ(acted, std::vector<std::string>{kFolder + "/postError.txt"});
  EXPECT_TRUE(fs_.HasFile(kFolder + "/postError.txt")) << "kept for a human, not lost";
  ASSERT_TRUE(second.Save().ok());
  ReceiveJournal third = Reloaded();
  EXPECT_EQ(Take(&third, alice_), std::vector<std::string>{kFolder + "/next.eml"});
}

TEST_F(ReceiveJournalTest, SetAsideNeverOverwritesAnExistingErrorFile) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "m.eml", alice_, "u1");
  fs_.AddFile(kFolder + "/mError.txt", "older");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Take(&j, alice_).size(), 1u);
  std::vector<std::string> aside;
  EXPECT_TRUE(Take(&j, alice_, &aside).empty());
  EXPECT_EQ(aside, std::vector<std::string>{kFolder + "/m-2Error.txt"});
  EXPECT_EQ(fs_.Bytes(kFolder + "/mError.txt"), "older");
}

TEST_F(ReceiveJournalTest, AFailedSetAsideIsRetriedLater) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "m.eml", alice_, "u1");
  for (int i = 0; i < 3; ++i) Take(&j, alice_);
  fs_.InjectFault(FakeFileSystem::kRename, "m.eml", 0, 1);
  std::vector<std::string> aside, acted, problems;
  EXPECT_TRUE(j.TakeUnsettled(alice_, &aside, &acted, &problems).empty());
  EXPECT_TRUE(aside.empty());
  EXPECT_EQ(problems.size(), 1u);
  EXPECT_TRUE(fs_.HasFile(kFolder + "/m.eml"));
  problems.clear();
  EXPECT_TRUE(j.TakeUnsettled(alice_, &aside, &acted, &problems).empty());
  EXPECT_EQ(aside, std::vector<std::string>{kFolder + "/mError.txt"});
}

TEST_F(ReceiveJournalTest, SettledMessagesAreNotHandedOutAgain) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "u1");
  Store(&j, "b.eml", alice_, "u2");
  Take(&j, alice_);
  ASSERT_TRUE(j.Save().ok());
  // The processing settles one message by plain name, one by full path.
  ASSERT_TRUE(ReceiveJournal::AppendSettled(fs_, kFolder, "a.eml").ok());
  ReceiveJournal after = Reloaded();
  EXPECT_EQ(Take(&after, alice_), std::vector<std::string>{kFolder + "/b.eml"});
  ASSERT_TRUE(ReceiveJournal::AppendSettled(fs_, kFolder, kFolder + "/b.eml").ok());
  ReceiveJournal last = Reloaded();
  EXPECT_TRUE(Take(&last, alice_).empty());
  // Settled, but their UIDLs are kept until the server lets go of them.
  EXPECT_TRUE(last.HoldsUidl(alice_, "u1"));
  EXPECT_TRUE(last.HoldsUidl(alice_, "u2"));
  last.KeepOnlyListedUidls(alice_, {"u2"});
  EXPECT_FALSE(last.HoldsUidl(alice_, "u1"));
  EXPECT_TRUE(last.HoldsUidl(alice_, "u2"));
  ASSERT_TRUE(last.Save().ok());
  EXPECT_EQ(Reloaded().entries().size(), 1u);  // the finished record is gone
}

TEST_F(ReceiveJournalTest, AccountsAreKeptApart) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "same");
  Store(&j, "b.eml", bob_, "same");
  EXPECT_EQ(Take(&j, bob_), std::vector<std::string>{kFolder + "/b.eml"});
  j.KeepOnlyListedUidls(bob_, {});
  EXPECT_TRUE(j.HoldsUidl(alice_, "same"));
  EXPECT_FALSE(j.HoldsUidl(bob_, "same"));
  EXPECT_EQ(Take(&j, alice_), std::vector<std::string>{kFolder + "/a.eml"});
}

TEST_F(ReceiveJournalTest, VanishedFilesAfterAHandOutCountAsSettled) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "u1");
  Take(&j, alice_);
  ASSERT_TRUE(j.Save().ok());
  fs_.Erase(kFolder + "/a.eml");  // the processing deleted it, then the program died
  ReceiveJournal after = Reloaded();
  EXPECT_TRUE(Take(&after, alice_).empty());
  EXPECT_TRUE(after.HoldsUidl(alice_, "u1"));  // not fetched a second time
}

TEST_F(ReceiveJournalTest, ARecordWhoseStoreNeverHappenedIsForgotten) {
  // Recorded before the fetch, then the program died before the file was
  // written: the message must be fetched again.
  ReceiveJournal j(fs_, clock_, kFolder);
  j.AddStored("never.eml", alice_, "u9");
  Store(&j, "kept.eml", alice_, "u1");
  ASSERT_TRUE(j.Save().ok());
  // The crash cut the store short and left its temporary file behind.
  fs_.AddFile(kFolder + "/.never.eml.tmp-abc123", "partial");
  fs_.AddFile(kFolder + "/.other.eml.tmp-abc123", "not ours to judge");
  ReceiveJournal after = Reloaded();
  EXPECT_FALSE(fs_.HasFile(kFolder + "/.never.eml.tmp-abc123"));
  EXPECT_TRUE(fs_.HasFile(kFolder + "/.other.eml.tmp-abc123"));
  EXPECT_FALSE(after.HoldsUidl(alice_, "u9"));
  EXPECT_FALSE(after.Knows("never.eml"));
  EXPECT_TRUE(after.HoldsUidl(alice_, "u1"));
  EXPECT_EQ(Take(&after, alice_), std::vector<std::string>{kFolder + "/kept.eml"});
}

TEST_F(ReceiveJournalTest, ForgetDropsARecord) {
  ReceiveJournal j(fs_, clock_, kFolder);
  j.AddStored("x.eml", alice_, "u1");
  EXPECT_TRUE(j.HoldsUidl(alice_, "u1"));
  j.Forget("x.eml");
  EXPECT_FALSE(j.HoldsUidl(alice_, "u1"));
  EXPECT_TRUE(j.entries().empty());
}

TEST_F(ReceiveJournalTest, GarbageIsSetAsideAndStoredMessagesStay) {
  const std::vector<std::string> garbage{
      std::string("\x00\xff\xfe garbage\n", 12),
      "kelmora receive journal 1\nM\tonly\tthree\n",
      "kelmora receive journal 2\n",
      "",
      std::string(100000, 'M') + "\n",
  };
  for (const std::string& bytes : garbage) {
    fs_.Erase(kFolder);
    fs_.AddDir(kFolder);
    fs_.AddFile(kJournal, bytes);
    fs_.AddFile(kFolder + "/stored.eml", "mail");
    std::string problem;
    ReceiveJournal j = Reloaded(&problem);
    EXPECT_NE(problem, "") << bytes.substr(0, 30);
    EXPECT_TRUE(j.entries().empty());
    EXPECT_FALSE(fs_.HasFile(kJournal));
    EXPECT_EQ(fs_.Bytes(kFolder + "/stored.eml"), "mail");
    bool kept_aside = false;
    // Named after the clock's time (seconds since the epoch) and this process.
    for (const std::string& p : fs_.FilePaths()) kept_aside |= p.rfind(kJournal + ".bad-1700000000-", 0) == 0;
    EXPECT_TRUE(kept_aside);
    EXPECT_TRUE(j.Save().ok());  // a fresh journal can be written afterwards
    std::string again;
    Reloaded(&again);
    EXPECT_EQ(again, "");
  }
}

TEST_F(ReceiveJournalTest, AChangedRecordIsDetected) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "u1");
  ASSERT_TRUE(j.Save().ok());
  std::string bytes = fs_.Bytes(kJournal);
  const size_t pos = bytes.find("\t1\t0\t0\t");  // on_server, hand-outs, settled
  ASSERT_NE(pos, std::string::npos);
  bytes[pos + 3] = '7';
  fs_.AddFile(kJournal, bytes);
  std::string problem;
  Reloaded(&problem);
  EXPECT_NE(problem, "");
}

TEST_F(ReceiveJournalTest, ATornLastLineIsIgnored) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "u1");
  Store(&j, "b.eml", alice_, "u2");
  ASSERT_TRUE(j.Save().ok());
  ASSERT_TRUE(ReceiveJournal::AppendSettled(fs_, kFolder, "a.eml").ok());
  // A power loss in the middle of the next append leaves half a line.
  fs_.AddFile(kJournal, fs_.Bytes(kJournal) + "\nS\tb.e");
  std::string problem;
  ReceiveJournal after = Reloaded(&problem);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(Take(&after, alice_), std::vector<std::string>{kFolder + "/b.eml"});
  // The mark appended after the torn line still counts.
  ASSERT_TRUE(after.Save().ok());
  fs_.AddFile(kJournal, fs_.Bytes(kJournal) + "S\tb.e");
  ASSERT_TRUE(ReceiveJournal::AppendSettled(fs_, kFolder, "b.eml").ok());
  ReceiveJournal last = Reloaded(&problem);
  EXPECT_EQ(problem, "");
  EXPECT_TRUE(Take(&last, alice_).empty());
}

TEST_F(ReceiveJournalTest, AFailedSaveKeepsTheOldJournal) {
  ReceiveJournal j(fs_, clock_, kFolder);
  Store(&j, "a.eml", alice_, "u1");
  ASSERT_TRUE(j.Save().ok());
  const std::string before = fs_.Bytes(kJournal);
  Store(&j, "b.eml", alice_, "u2");
  fs_.set_fail_writes(true);
  EXPECT_FALSE(j.Save().ok());
  fs_.set_fail_writes(false);
  EXPECT_EQ(fs_.Bytes(kJournal), before);
}

}  // namespace
}  // namespace kelmora
