// SPDX-License-Identifier: GPL-3.0-or-later
// The local mail store on the in-memory file system: which messages a
// logon fetches and in what order, how the inbox deletes and marks them,
// what survives a crash, and how the outbox hands mail to its route.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "log/error_entry.h"
#include "log/logger.h"
#include "receive/mail_store.h"
#include "receive/mail_store_reception.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/recording_command_runner.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kProfile = "/prog/mailstore/user";

std::string Raw(const std::string& subject, const std::string& from = "taro@example.test",
                bool attachment = false) {
  std::string head = "From: \"Taro\" <" + from + ">\r\nTo: \"Club\" <club@example.test>\r\nSubject: " + subject +
                     "\r\nMIME-Version: 1.0\r\n";
  if (!attachment) return head + "Content-Type: text/plain; charset=utf-8\r\n\r\nhello " + subject + "\r\n";
  return head +
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
         "hello " + subject + "\r\n--b1\r\nContent-Type: text/plain; name=\"map.txt\"\r\n"
         "Content-Disposition: attachment; filename=\"map.txt\"\r\n\r\nnorth\r\n--b1--\r\n";
}

// Records the order of removals, so that the deletion order shows.
class OrderFs : public FakeFileSystem {
 public:
  Status RemoveFile(const std::string& path) override {
    if (path.find("/new/") != std::string::npos || path.find("/cur/") != std::string::npos) removed.push_back(path);
    return FakeFileSystem::RemoveFile(path);
  }
  std::vector<std::string> removed;
};

class RecordingSmtp : public MailComponent {
 public:
  struct Call {
    std::string server, recipients, from, subject, body, attachments;
  };
  std::string SendMail(const std::string& server, const std::string& recipients, const std::string& from,
                       const std::string& subject, const std::string& body, const std::string& attachments) override {
    calls.push_back(Call{server, recipients, from, subject, body, attachments});
    for (const std::string& a : Split(attachments, "\t"))
      if (!a.empty()) attached_bytes.push_back(fs_ ? fs_->Bytes(a) : "");
    return result;
  }
  MailReply RcvMail(const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&) override {
    return MailReply::Text("");
  }
  MailReply ReadMail(const std::string&, const std::string&, const std::string&) override {
    return MailReply::Text("unused");
  }
  void MarkSettled(const std::string&, const std::string&) override {}

  FakeFileSystem* fs_ = nullptr;
  std::vector<Call> calls;
  std::vector<std::string> attached_bytes;
  std::string result;
};

class MailStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.AddDir("/prog/log/receive");
    smtp_.fs_ = &fs_;
  }

  void Deliver(const std::string& sub, const std::string& name, const std::string& raw, std::int64_t mtime) {
    const std::string path = std::string(kProfile) + "/" + sub + "/" + name;
    fs_.AddFile(path, raw);
    fs_.SetMTime(path, mtime);
  }
  void Profile(const std::string& text) { fs_.AddFile(std::string(kProfile) + "/profile.ini", Utf8ToCp932(text)); }
  std::string MainLog() const { return Cp932ToUtf8(fs_.Bytes("/prog/log/Kelmoralog.txt")); }
  std::vector<std::string> Files(const std::string& sub) const {
    std::vector<std::string> out;
    const std::string prefix = std::string(kProfile) + "/" + sub + "/";
    for (const std::string& p : fs_.FilePaths())
      if (StartsWith(p, prefix) && p.find('/', prefix.size()) == std::string::npos) out.push_back(p.substr(prefix.size()));
    return out;
  }
  std::vector<std::string> Subjects() {
    std::vector<std::string> out;
    for (int i = 0; i < store_.MsgCount(); ++i) {
      StoreMessage m;
      EXPECT_TRUE(store_.Select(i).ok());
      EXPECT_TRUE(store_.Read(&m).ok());
      out.push_back(m.MsgSubject);
      store_.DiscardAttachments(m);
    }
    return out;
  }
  int LogLines() const {
    const std::string log = MainLog();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }
  // Queues one message for two recipients through the store.
  void SendOne() {
    store_.Compose();
    store_.SetRecipient(0, "Club", "club@example.test", MailStore::kTo);
    store_.SetRecipient(1, "m1@example.test", "m1@example.test", MailStore::kBcc);
    store_.SetSubject("[club:0001(1)]hi");
    store_.SetNoteText("body");
    store_.SetDefaultSender("club@example.test");
    ASSERT_TRUE(store_.Send().ok());
  }

  OrderFs fs_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  Logger log_{fs_, clock_, "/prog"};
  RecordingCommandRunner runner_;
  RecordingSmtp smtp_;
  MailStore store_{fs_, clock_, log_, runner_, &smtp_, "/prog"};
  std::string user_ = "user", password_;
  int download_ = 0;
  MailStoreReception reception_{store_, log_, user_, password_, download_};
};

TEST_F(MailStoreTest, FirstLogonMakesTheProfileAndFindsNothing) {
  Profile("sendmail=\n");  // no route: the test machine's sendmail stays out
  EXPECT_EQ(reception_.FetchMail(), 0);
  EXPECT_FALSE(reception_.SessionOpen());
  for (const char* folder : {"", "/.Outbox", "/.Sent", "/.Failed"}) {
    for (const char* sub : {"/cur", "/new", "/tmp"}) {
      EXPECT_TRUE(fs_.IsDir(std::string(kProfile) + folder + sub)) << folder << sub;
    }
  }
}

TEST_F(MailStoreTest, UnreadMessagesComeInDeliveryOrder) {
  Profile("sendmail=\n");
  Deliver("new", "300.b", Raw("third-by-name"), 300);
  Deliver("new", "300.a", Raw("second-by-name"), 300);
  Deliver("cur", "100.x:2,", Raw("first"), 100);
  Deliver("cur", "200.y:2,FS", Raw("seen-skipped"), 200);
  Deliver("cur", "250.z:2,F", Raw("flagged-unread"), 250);
  Deliver("new", ".hidden", Raw("hidden"), 50);
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  ASSERT_TRUE(store_.Fetch().ok());
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"first", "flagged-unread", "second-by-name", "third-by-name"}));
}

TEST_F(MailStoreTest, ReadGivesTheMessagePropertiesAndAttachmentNames) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("  photo  ", "taro@example.test", true), 1);
  ASSERT_EQ(reception_.FetchMail(), 1);
  ReceivedMail mail;
  ASSERT_TRUE(reception_.inbox().Read(0, &mail).ok());
  EXPECT_EQ(mail.ToAddress, "club@example.test");
  EXPECT_EQ(mail.ToName, "Club");
  EXPECT_EQ(mail.FromAddress, "taro@example.test");
  EXPECT_EQ(mail.FromName, "Taro");
  EXPECT_EQ(mail.Subject, "photo");
  EXPECT_EQ(mail.Body, "hello   photo  ");
  ASSERT_EQ(mail.AttachmentCount(), 1);
  std::vector<std::string> names;
  const std::string joined = reception_.inbox().AttachmentList(0, mail, &names);
  EXPECT_EQ(names, std::vector<std::string>{"map.txt"});
  EXPECT_EQ(fs_.Bytes(joined), "north");
  // The taken-out copy is outside the Maildir and goes again.
  EXPECT_FALSE(StartsWith(joined, kProfile));
  reception_.inbox().DiscardAttachments(0, mail);
  EXPECT_FALSE(fs_.HasFile(joined));
  EXPECT_EQ(Files("new"), std::vector<std::string>{"1.a"});
}

TEST_F(MailStoreTest, WrongPasswordIsARefusedLogon) {
  Profile("; the owner's store\r\n\r\n  password =  secret \r\nsendmail=\r\n");
  Deliver("new", "1.a", Raw("one"), 1);
  password_ = "wrong";
  try {
    reception_.FetchMail();
    FAIL() << "a wrong password must end the cycle";
  } catch (const NumberedError& e) {
    EXPECT_NE(std::string(e.what()).find("パスワードが違います"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(reception_.SessionOpen());
  password_ = "secret";
  EXPECT_EQ(reception_.FetchMail(), 1);
}

TEST_F(MailStoreTest, BrokenProfileIniNamesTheFileAndTheLine) {
  for (const std::string& text : {std::string("address=a@example.test\r\n\r\nthis line has no equals sign\r\n"),
                                  std::string("; comment\r\nname=クラブ\r\ncolour=blue\r\n")}) {
    Profile(text);
    try {
      reception_.FetchMail();
      FAIL() << "a broken profile.ini must end the cycle";
    } catch (const NumberedError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string(kProfile) + "/profile.iniの3行目"), std::string::npos)
          << e.what();
    }
  }
}

TEST_F(MailStoreTest, FinishDeletesHighestIndexFirstAndMarksKeptOnesSeen) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("zero"), 1);
  Deliver("new", "2.b", Raw("one"), 2);
  Deliver("cur", "3.c:2,F", Raw("two"), 3);
  Deliver("new", "4.d", Raw("three"), 4);
  ASSERT_EQ(reception_.FetchMail(), 4);
  Inbox& inbox = reception_.inbox();
  ReceivedMail mail;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(inbox.Read(i, &mail).ok());
  inbox.Settle(0, mail, Inbox::Disposition::kDelete);
  inbox.Settle(1, mail, Inbox::Disposition::kKeepReadable);
  inbox.Settle(2, mail, Inbox::Disposition::kDelete);
  inbox.Settle(3, mail, Inbox::Disposition::kKeepAsIs);
  // Nothing happens before the end of the cycle.
  EXPECT_TRUE(fs_.removed.empty());
  EXPECT_EQ(Files("new").size(), 3u);
  inbox.Finish();
  EXPECT_EQ(fs_.removed,
            (std::vector<std::string>{std::string(kProfile) + "/cur/3.c:2,F", std::string(kProfile) + "/new/1.a"}));
  EXPECT_EQ(Files("cur"), std::vector<std::string>{"2.b:2,S"});
  EXPECT_EQ(Files("new"), std::vector<std::string>{"4.d"});  // never settled: untouched
  EXPECT_FALSE(fs_.HasFile(std::string(kProfile) + "/kelmora-journal"));
  // The next cycle takes only the untouched one.
  reception_.SignOff();
  ASSERT_EQ(reception_.FetchMail(), 1);
  ASSERT_TRUE(inbox.Read(0, &mail).ok());
  EXPECT_EQ(mail.Subject, "three");
}

TEST_F(MailStoreTest, AMessageActedOnIsNeverProcessedAgainAfterACrash) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("acted"), 1);
  Deliver("new", "2.b", Raw("not-reached"), 2);
  ASSERT_EQ(reception_.FetchMail(), 2);
  ReceivedMail mail;
  ASSERT_TRUE(reception_.inbox().Read(0, &mail).ok());
  reception_.inbox().RecordAction(0);
  reception_.inbox().Settle(0, mail, Inbox::Disposition::kDelete);
  // The program dies here: no Finish. A new program starts on the same disk.
  MailStore store(fs_, clock_, log_, runner_, &smtp_, "/prog");
  MailStoreReception reception(store, log_, user_, password_, download_);
  ASSERT_EQ(reception.FetchMail(), 1);
  ASSERT_TRUE(reception.inbox().Read(0, &mail).ok());
  EXPECT_EQ(mail.Subject, "not-reached");
  // Kept (its deletion was never decided for good), but seen.
  EXPECT_EQ(Files("cur"), std::vector<std::string>{"1.a:2,S"});
}

TEST_F(MailStoreTest, ADeletionACrashInterruptedIsCompletedAtTheNextLogon) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("to-delete"), 1);
  Deliver("cur", "2.b:2,", Raw("acted"), 2);
  Deliver("new", "3.c", Raw("fresh"), 3);
  // What a cycle that died inside Finish leaves behind; the last line was
  // cut short and never counted.
  fs_.AddFile(std::string(kProfile) + "/kelmora-journal", "acted 1.a\nacted 2.b\ndelete 1.a\ndelete 3");
  ASSERT_EQ(reception_.FetchMail(), 1);
  EXPECT_EQ(Files("new"), std::vector<std::string>{"3.c"});
  EXPECT_EQ(Files("cur"), std::vector<std::string>{"2.b:2,S"});
  EXPECT_FALSE(fs_.HasFile(std::string(kProfile) + "/kelmora-journal"));
}

TEST_F(MailStoreTest, SendmailRouteGetsTheEnvelopeAndTheMessageWithoutIt) {
  Profile("address = list@example.test\r\nname = さくら\r\nsendmail = /usr/lib/sm -oi 'a b'\r\n");
  ASSERT_EQ(reception_.FetchMail(), 0);
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  SendOne();
  ASSERT_EQ(runner_.calls.size(), 1u);
  EXPECT_EQ(runner_.calls[0].argv,
            (std::vector<std::string>{"/usr/lib/sm", "-oi", "a b", "-i", "-f", "list@example.test", "--",
                                      "club@example.test", "m1@example.test"}));
  const std::string& input = runner_.calls[0].input;
  EXPECT_TRUE(input.find("X-Kelmora") == std::string::npos) << input;
  EXPECT_TRUE(input.find("m1@example.test") == std::string::npos) << "blind copy leaked: " << input;
  EXPECT_NE(input.find("To: Club <club@example.test>"), std::string::npos) << input;
  EXPECT_NE(input.find("list@example.test"), std::string::npos);
  EXPECT_TRUE(Files(".Outbox/new").empty());
  ASSERT_EQ(Files(".Sent/cur").size(), 1u);
  EXPECT_NE(Files(".Sent/cur")[0].find(":2,S"), std::string::npos);
  EXPECT_EQ(MainLog(), "");
}

TEST_F(MailStoreTest, TemporaryFailureWaitsIsReportedOnceAndGivesUpAfterFiveDays) {
  Profile("sendmail=/usr/sbin/sendmail\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  runner_.exit_code = 75;
  runner_.output = "queue full";
  SendOne();
  EXPECT_EQ(Files(".Outbox/cur").size(), 1u);
  EXPECT_EQ(LogLines(), 1);
  EXPECT_NE(MainLog().find("queue full"), std::string::npos) << MainLog();
  // Later logons try again without a new log line.
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(runner_.calls.size(), 3u);
  EXPECT_EQ(LogLines(), 1);
  EXPECT_EQ(Files(".Outbox/cur").size(), 1u);
  // A success in between would have sent it; five days of failures end it.
  clock_.SetEpochMicros(clock_.EpochMicros() + StoreOutbox::kRetryMicros + 1);
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_TRUE(Files(".Outbox/cur").empty());
  EXPECT_EQ(Files(".Failed/cur").size(), 1u);
  EXPECT_EQ(LogLines(), 1);
  // And a retry that works moves a waiting one to .Sent.
  runner_.exit_code = 75;
  SendOne();
  runner_.exit_code = 0;
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(Files(".Sent/cur").size(), 1u);
  EXPECT_TRUE(Files(".Outbox/cur").empty());
}

TEST_F(MailStoreTest, PermanentRefusalGoesToFailedAtOnce) {
  Profile("sendmail=/usr/sbin/sendmail\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  runner_.exit_code = 67;  // EX_NOUSER
  SendOne();
  EXPECT_TRUE(Files(".Outbox/new").empty());
  EXPECT_TRUE(Files(".Outbox/cur").empty());
  EXPECT_EQ(Files(".Failed/cur").size(), 1u);
  EXPECT_EQ(LogLines(), 1);
}

TEST_F(MailStoreTest, WithoutARouteMailWaitsAndTheLogSaysWhyOnce) {
  Profile("sendmail=\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  SendOne();
  SendOne();
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_TRUE(runner_.calls.empty());
  EXPECT_EQ(Files(".Outbox/cur").size(), 2u);
  EXPECT_EQ(LogLines(), 2);  // one per message, not per logon
  EXPECT_NE(MainLog().find("送信経路がありません"), std::string::npos) << MainLog();
}

TEST_F(MailStoreTest, SmtpRouteWinsAndSendsTheQueuedMessagesParts) {
  Profile("address=list@example.test\nsmtp=127.0.0.1:2525\nsendmail=/usr/sbin/sendmail\n");
  Deliver("new", "1.a", Raw("photo", "taro@example.test", true), 1);
  ASSERT_EQ(reception_.FetchMail(), 1);
  ReceivedMail mail;
  ASSERT_TRUE(reception_.inbox().Read(0, &mail).ok());
  ASSERT_TRUE(store_.Forward().ok());
  store_.SetRecipient(0, "", "club@example.test", MailStore::kTo);
  store_.SetRecipient(1, "", "m1@example.test", MailStore::kBcc);
  store_.SetRecipient(2, "", "m2@example.test", MailStore::kBcc);
  store_.SetSubject("[club:0002(2)]photo");
  store_.SetNoteText("see the map");
  ProgramHeaders headers;
  headers.list_id = "<club.example.test>";
  headers.x_loop = "club@example.test";
  store_.SetProgramHeaders(headers);
  ASSERT_TRUE(store_.Send().ok());
  EXPECT_TRUE(runner_.calls.empty());
  ASSERT_EQ(smtp_.calls.size(), 1u);
  const RecordingSmtp::Call& c = smtp_.calls[0];
  EXPECT_EQ(c.server, "127.0.0.1:2525");
  // The message rebuilt for the SMTP route keeps the program's own headers.
  EXPECT_EQ(c.recipients,
            "club@example.test\tbcc\tm1@example.test\tm2@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;X-Loop: club@example.test");
  EXPECT_EQ(ExtractAddress(c.from, "<", ">"), "list@example.test");
  EXPECT_EQ(c.subject, "[club:0002(2)]photo");
  EXPECT_EQ(c.body, "see the map");
  EXPECT_EQ(smtp_.attached_bytes, std::vector<std::string>{"north"});
  EXPECT_EQ(Files(".Sent/cur").size(), 1u);
}

TEST_F(MailStoreTest, FetchCommandRunsOnlyWhenDownloadingAndItsFailureDoesNotStopReception) {
  Profile("sendmail=\nfetch = fetchmail -s\n");
  Deliver("new", "1.a", Raw("one"), 1);
  EXPECT_EQ(reception_.FetchMail(), 1);
  EXPECT_TRUE(runner_.calls.empty());
  reception_.SignOff();
  download_ = 1;
  runner_.exit_code = 1;
  runner_.output = "no mail server";
  EXPECT_EQ(reception_.FetchMail(), 1);
  ASSERT_EQ(runner_.calls.size(), 1u);
  EXPECT_EQ(runner_.calls[0].argv, (std::vector<std::string>{"fetchmail", "-s"}));
  EXPECT_EQ(runner_.calls[0].folder, kProfile);
  EXPECT_EQ(runner_.calls[0].limit_ms, 5 * 60 * 1000);
  EXPECT_NE(MainLog().find("fetchmail -s"), std::string::npos) << MainLog();
}

TEST(SplitCommandLineTest, QuotesAndEscapes) {
  std::vector<std::string> words;
  ASSERT_TRUE(SplitCommandLine(R"(  sh -c 'a "b" c'  "x y\"z" back\ slash)", &words));
  EXPECT_EQ(words, (std::vector<std::string>{"sh", "-c", "a \"b\" c", "x y\"z", "back slash"}));
  EXPECT_FALSE(SplitCommandLine("open 'quote", &words));
}

TEST(RealCommandRunnerTest, FeedsInputReportsExitAndKillsAtTheLimit) {
  RealCommandRunner runner;
  CommandResult r;
  ASSERT_TRUE(runner.Run({"sh", "-c", "cat; exit 3"}, "/", "piped", 5000, &r).ok());
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.output, "piped");
  EXPECT_FALSE(r.timed_out);
  ASSERT_TRUE(runner.Run({"sh", "-c", "sleep 30 & sleep 30"}, "", "", 200, &r).ok());
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(runner.Run({"/nonexistent/program"}, "", "", 1000, &r).ok());
}

}  // namespace
}  // namespace kelmora
