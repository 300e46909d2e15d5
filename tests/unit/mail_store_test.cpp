// SPDX-License-Identifier: GPL-3.0-or-later
// The local mail store on the in-memory file system: which messages a
// logon fetches and in what order, how the inbox deletes and marks them,
// what survives a crash, and how the outbox hands mail to its route.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "log/error_entry.h"
#include "log/logger.h"
#include "maildir/mail_store.h"
#include "maildir/mail_store_reception.h"
#include "tests/support/fake_mail_component.h"
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


// How many messages a fetch hands out; a failed logon fails the test.
int Fetched(LocalMailReception& reception) {
  int count = -1;
  const Status s = reception.FetchMail(&count);
  EXPECT_TRUE(s.ok()) << s.message();
  return count;
}

class MailStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.AddDir("/prog/log/receive");
  }

  // An empty program folder for the next case of a table.
  void ResetDisk() {
    fs_.Erase("/prog");
    fs_.AddDir("/prog/log/receive");
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
      out.push_back(m.mail.Subject);
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
    OutgoingMessage m;
    m.to = {MailRecipient{"club@example.test", "Club"}};
    m.bcc = {"m1@example.test"};
    m.subject = "[club:0001(1)]hi";
    m.body = "body";
    m.from = "club@example.test";
    ASSERT_TRUE(store_.Send(m).ok());
  }

  OrderFs fs_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  Logger log_{fs_, clock_, "/prog"};
  RecordingCommandRunner runner_{&fs_};
  FakeMailComponent smtp_;
  MailStore store_{fs_, clock_, log_, runner_, &smtp_, "/prog"};
  std::string user_ = "user", password_;
  int download_ = 0;
  MailStoreReception reception_{store_, log_, user_, password_, download_};
};

TEST_F(MailStoreTest, FirstLogonMakesTheProfileAndFindsNothing) {
  Profile("sendmail=\n");  // no route: the test machine's sendmail stays out
  EXPECT_EQ(Fetched(reception_), 0);
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
  ASSERT_EQ(Fetched(reception_), 1);
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

// What the reader reports decides the message's fate: a read that can
// pass (the attachments cannot be written now) waits for a later cycle, a
// message it cannot parse never becomes readable and must not wait.
TEST_F(MailStoreTest, ReadFailuresThatCanPassAreTemporaryAndOthersAreNot) {
  struct Case {
    const char* what;
    std::string raw;
    unsigned fault;  // on the work folder, 0 for none
    Status::Code code;
    bool temporary;
  };
  const std::vector<Case> cases = {
      {"attachment not writable", Raw("photo", "taro@example.test", true), FakeFileSystem::kWrite,
       Status::Code::kIOError, true},
      {"not a mail message", "", 0, Status::Code::kCorrupt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetDisk();
    Profile("sendmail=\n");
    Deliver("new", "1.a", c.raw, 1);
    ASSERT_EQ(Fetched(reception_), 1);
    if (c.fault != 0) fs_.InjectFault(c.fault, "/log/mailstore-work/");
    ReceivedMail mail;
    const Status s = reception_.inbox().Read(0, &mail);
    fs_.ClearFaults();
    EXPECT_EQ(s.code(), c.code) << s.message();
    EXPECT_TRUE(StartsWith(s.message(), "ReadMail: ")) << s.message();
    EXPECT_EQ(store_.FailedTemporarily(0), c.temporary);
    EXPECT_EQ(mail.StoredName, "1.a") << "named for the log line";
  }
}

TEST_F(MailStoreTest, WrongPasswordIsARefusedLogon) {
  Profile("; the owner's store\r\n\r\n  password =  secret \r\nsendmail=\r\n");
  Deliver("new", "1.a", Raw("one"), 1);
  password_ = "wrong";
  int count = -1;
  const Status refused = reception_.FetchMail(&count);
  ASSERT_FALSE(refused.ok()) << "a wrong password must end the cycle";
  EXPECT_EQ(refused.number(), 5);
  EXPECT_EQ(count, 0);
  EXPECT_NE(refused.message().find("パスワードが違います"), std::string::npos) << refused.message();
  EXPECT_FALSE(reception_.SessionOpen());
  password_ = "secret";
  EXPECT_EQ(Fetched(reception_), 1);
}

TEST_F(MailStoreTest, BrokenProfileIniNamesTheFileAndTheLine) {
  for (const std::string& text : {std::string("address=a@example.test\r\n\r\nthis line has no equals sign\r\n"),
                                  std::string("; comment\r\nname=クラブ\r\ncolour=blue\r\n")}) {
    Profile(text);
    int count = -1;
    const Status broken = reception_.FetchMail(&count);
    ASSERT_FALSE(broken.ok()) << "a broken profile.ini must end the cycle";
    EXPECT_EQ(broken.number(), 53);
    EXPECT_NE(broken.message().find(std::string(kProfile) + "/profile.iniの3行目"), std::string::npos)
        << broken.message();
  }
}

TEST_F(MailStoreTest, FinishDeletesHighestIndexFirstAndMarksKeptOnesSeen) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("zero"), 1);
  Deliver("new", "2.b", Raw("one"), 2);
  Deliver("cur", "3.c:2,F", Raw("two"), 3);
  Deliver("new", "4.d", Raw("three"), 4);
  ASSERT_EQ(Fetched(reception_), 4);
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
  ASSERT_EQ(Fetched(reception_), 1);
  ASSERT_TRUE(inbox.Read(0, &mail).ok());
  EXPECT_EQ(mail.Subject, "three");
}

// Whatever bytes a Maildir name holds (blanks, line breaks, "%", a text
// that looks like a record), its record round-trips through the journal.
TEST_F(MailStoreTest, AMessageActedOnIsNeverProcessedAgainAfterACrash) {
  for (const std::string& name : {std::string("1.a"), std::string("1.a\nacted 2.b"), std::string("1 a%20b\r:x")}) {
    SCOPED_TRACE(name);
    ResetDisk();
    Profile("sendmail=\n");
    Deliver("new", name, Raw("acted"), 1);
    Deliver("new", "2.b", Raw("not-reached"), 2);
    MailStore first(fs_, clock_, log_, runner_, &smtp_, "/prog");
    MailStoreReception first_reception(first, log_, user_, password_, download_);
    ASSERT_EQ(Fetched(first_reception), 2);
    ReceivedMail mail;
    first_reception.inbox().BeginProcessing(0);
    ASSERT_TRUE(first_reception.inbox().Read(0, &mail).ok());
    first_reception.inbox().RecordAction(0);
    first_reception.inbox().Settle(0, mail, Inbox::Disposition::kDelete);
    // The program dies here: no Finish. A new program starts on the same disk.
    MailStore store(fs_, clock_, log_, runner_, &smtp_, "/prog");
    MailStoreReception reception(store, log_, user_, password_, download_);
    ASSERT_EQ(Fetched(reception), 1);
    ASSERT_TRUE(reception.inbox().Read(0, &mail).ok());
    EXPECT_EQ(mail.Subject, "not-reached");
    // Kept (its deletion was never decided for good), but seen.
    EXPECT_EQ(Files("cur"), std::vector<std::string>{MaildirBase(name) + ":2,S"});
  }
}

// What a kill -9 at each step of a store send leaves behind, and what the
// next logon makes of it: a copy on record is completed and its message
// counts as handled; a copy that never got on record is thrown away and
// its message handled again.
TEST_F(MailStoreTest, ALogonCompletesOrDiscardsWhatACrashLeftInTheOutbox) {
  const std::string copy = "100.M1P1R1.host";
  const std::string queued = "X-Kelmora-Envelope-From: list@example.test\r\nX-Kelmora-Envelope-To: m@example.test\r\n"
                             "X-Kelmora-Envelope-Bcc: \r\n\r\nSubject: post\r\n\r\nbody\r\n";
  struct Case {
    const char* name;
    std::string journal;
    const char* copy_in;  // where the copy lies, or nullptr
    int handed_out;       // the received message again?
    int sent;             // route calls at the logon
  };
  const std::vector<Case> cases = {
      {"killed before the record", "began 1.a\n", "tmp", 1, 0},
      {"killed after the record, before the rename", "began 1.a\nqueued 1.a " + copy + "\n", "tmp", 0, 1},
      {"killed after the rename", "began 1.a\nqueued 1.a " + copy + "\n", "new", 0, 1},
      {"record without a copy", "queued 1.a " + copy + "\n", nullptr, 1, 0},
      {"sent, killed before the end of the cycle", "outgoing 1.a " + copy + "\ndelete 1.a\n", ".Sent", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetDisk();
    runner_.calls.clear();
    Profile("sendmail=/usr/sbin/sendmail\n");
    Deliver("new", "1.a", Raw("post"), 1);
    fs_.AddFile(std::string(kProfile) + "/kelmora-journal", c.journal);
    if (c.copy_in != nullptr) {
      const std::string where = std::string(c.copy_in) == ".Sent" ? "/.Sent/cur/" + copy + ":2,S"
                                                                  : "/.Outbox/" + std::string(c.copy_in) + "/" + copy;
      fs_.AddFile(std::string(kProfile) + where, queued);
    }
    ASSERT_EQ(Fetched(reception_), c.handed_out);
    EXPECT_EQ(runner_.calls.size(), static_cast<size_t>(c.sent));
    EXPECT_TRUE(Files(".Outbox/tmp").empty());
    if (c.handed_out == 0) {
      // Handled: its deletion (when decided) is completed, else it is seen.
      EXPECT_EQ(Files("new"), std::vector<std::string>{});
      EXPECT_FALSE(fs_.HasFile(std::string(kProfile) + "/kelmora-journal")) << fs_.Bytes(std::string(kProfile) + "/kelmora-journal");
    }
    reception_.SignOff();
  }
}

// Only a program that died while it worked on the message itself counts
// against the message; one killed while its post was being queued (the
// disk was slow) is no fault of the message.
TEST_F(MailStoreTest, OnlyDeathsWhileTheMessageItselfIsHandledCountAsAttempts) {
  for (const bool got_to_queueing : {false, true}) {
    SCOPED_TRACE(got_to_queueing);
    ResetDisk();
    Profile("sendmail=\n");
    Deliver("new", "1.a", Raw("post"), 1);
    for (int run = 1; run <= 4; ++run) {
      MailStore store(fs_, clock_, log_, runner_, &smtp_, "/prog");
      MailStoreReception reception(store, log_, user_, password_, download_);
      const int handed_out = Fetched(reception);
      if (handed_out == 0) break;
      reception.inbox().BeginProcessing(0);
      ReceivedMail mail;
      ASSERT_TRUE(reception.inbox().Read(0, &mail).ok());
      if (!got_to_queueing) continue;  // dies while walking the rules
      OutgoingMessage m;
      m.to = {MailRecipient{"club@example.test", ""}};
      m.from = "club@example.test";
      // Dies while the list number is being stored.
      EXPECT_THROW((void)store.Send(m, []() -> Status { throw std::runtime_error("killed"); }), std::runtime_error);
    }
    EXPECT_EQ(Files("new"), got_to_queueing ? std::vector<std::string>{"1.a"} : std::vector<std::string>{});
    EXPECT_EQ(Files("cur"), got_to_queueing ? std::vector<std::string>{} : std::vector<std::string>{"1.a:2,FS"});
  }
}

TEST_F(MailStoreTest, ADeletionACrashInterruptedIsCompletedAtTheNextLogon) {
  Profile("sendmail=\n");
  Deliver("new", "1.a", Raw("to-delete"), 1);
  Deliver("cur", "2.b:2,", Raw("acted"), 2);
  Deliver("new", "3.c", Raw("fresh"), 3);
  // What a cycle that died inside Finish leaves behind; the last line was
  // cut short and never counted.
  fs_.AddFile(std::string(kProfile) + "/kelmora-journal", "acted 1.a\nacted 2.b\ndelete 1.a\ndelete 3");
  ASSERT_EQ(Fetched(reception_), 1);
  EXPECT_EQ(Files("new"), std::vector<std::string>{"3.c"});
  EXPECT_EQ(Files("cur"), std::vector<std::string>{"2.b:2,S"});
  EXPECT_FALSE(fs_.HasFile(std::string(kProfile) + "/kelmora-journal"));
}

TEST_F(MailStoreTest, SendmailRouteGetsTheEnvelopeAndTheMessageWithoutIt) {
  Profile("address = list@example.test\r\nname = さくら\r\nsendmail = /usr/lib/sm -oi 'a b'\r\n");
  ASSERT_EQ(Fetched(reception_), 0);
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

TEST_F(MailStoreTest, TemporaryFailureWaitsIsReportedOnceAndGivesUpAfterFiveDaysWithALine) {
  Profile("sendmail=/usr/sbin/sendmail\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  runner_.exit_code = 75;
  runner_.output = "queue full";
  SendOne();
  EXPECT_EQ(Files(".Outbox/cur").size(), 1u);
  EXPECT_EQ(LogLines(), 1);
  EXPECT_NE(MainLog().find("sendmail: exit 75: queue full"), std::string::npos) << MainLog();
  // Later logons try again without a new log line.
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(runner_.calls.size(), 3u);
  EXPECT_EQ(LogLines(), 1);
  EXPECT_EQ(Files(".Outbox/cur").size(), 1u);
  // Five days of failures end it, with a line naming the message, its
  // recipients and the last failure.
  runner_.output = "still full";
  clock_.SetEpochMicros(clock_.EpochMicros() + StoreOutbox::kRetryMicros + 1);
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_TRUE(Files(".Outbox/cur").empty());
  ASSERT_EQ(Files(".Failed/cur").size(), 1u);
  ASSERT_EQ(LogLines(), 2);
  const std::string last = Split(MainLog(), "\r\n").at(1);
  EXPECT_NE(last.find(".Failed"), std::string::npos) << last;
  EXPECT_NE(last.find(MaildirBase(Files(".Failed/cur")[0])), std::string::npos) << last;
  EXPECT_NE(last.find("club@example.test, m1@example.test"), std::string::npos) << last;
  EXPECT_NE(last.find("still full"), std::string::npos) << last;
  // And a retry that works moves a waiting one to .Sent.
  runner_.exit_code = 75;
  SendOne();
  runner_.exit_code = 0;
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(Files(".Sent/cur").size(), 1u);
  EXPECT_TRUE(Files(".Outbox/cur").empty());
}

// Each way into .Failed writes exactly one line, also after earlier lines
// about the same message said something else.
TEST_F(MailStoreTest, EveryMoveToFailedIsLoggedOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> profiles;  // one profile.ini per attempt
    std::vector<int> exits;             // sendmail's exit per attempt
    std::vector<const char*> expected;  // a text of each log line, in order
  };
  const std::vector<Case> cases = {
      {"refused at once", {"sendmail=/sm"}, {67}, {".Failed"}},
      {"temporary, then refused", {"sendmail=/sm", "sendmail=/sm"}, {75, 67}, {"送信に失敗", ".Failed"}},
      {"no route, then a failing route, then refused",
       {"sendmail=", "sendmail=/sm", "sendmail=/sm"},
       {0, 75, 67},
       {"送信経路がありません", "送信に失敗", ".Failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetDisk();
    for (size_t i = 0; i < c.profiles.size(); ++i) {
      Profile(c.profiles[i] + "\n");
      runner_.exit_code = c.exits[i];
      runner_.output = "attempt " + std::to_string(i + 1) + "\n";
      ASSERT_TRUE(store_.Logon("user", "", false).ok());
      if (i == 0) SendOne();
    }
    const std::vector<std::string> lines = Split(MainLog(), "\r\n");
    ASSERT_EQ(lines.size(), c.expected.size() + 1) << MainLog();
    for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_NE(lines[i].find(c.expected[i]), std::string::npos) << lines[i];
    EXPECT_EQ(Files(".Failed/cur").size(), 1u);
  }
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

// The SMTP route sends the queued bytes themselves: the visible
// recipient's name and the Message-ID are those of the copy in .Sent.
TEST_F(MailStoreTest, SmtpRouteSendsExactlyTheCopyKeptInSent) {
  Profile("address=list@example.test\nsmtp=127.0.0.1:2525\nsendmail=/usr/sbin/sendmail\n");
  Deliver("new", "1.a", Raw("photo", "taro@example.test", true), 1);
  ASSERT_EQ(Fetched(reception_), 1);
  ReceivedMail mail;
  ASSERT_TRUE(reception_.inbox().Read(0, &mail).ok());
  OutgoingMessage m;
  m.attachments = store_.ForwardedAttachments();
  m.to = {MailRecipient{"club@example.test", "Club"}};
  m.bcc = {"m1@example.test"};
  m.subject = "[club:0002(1)]photo";
  m.body = "see the map";
  m.headers.list_id = "<club.example.test>";
  ASSERT_TRUE(store_.Send(m).ok());
  EXPECT_TRUE(runner_.calls.empty());
  ASSERT_EQ(smtp_.composed.size(), 1u);
  const FakeMailComponent::Composed& c = smtp_.composed[0];
  EXPECT_EQ(c.server, "127.0.0.1:2525");
  EXPECT_EQ(c.mail_from, "list@example.test");
  EXPECT_EQ(c.recipients, (std::vector<std::string>{"club@example.test", "m1@example.test"}));
  EXPECT_NE(c.message.find("To: Club <club@example.test>\r\n"), std::string::npos) << c.message;
  EXPECT_NE(c.message.find("List-Id: <club.example.test>\r\n"), std::string::npos);
  EXPECT_NE(c.message.find("map.txt"), std::string::npos);
  EXPECT_EQ(c.message.find("X-Kelmora"), std::string::npos);
  ASSERT_EQ(Files(".Sent/cur").size(), 1u);
  const std::string kept = fs_.Bytes(std::string(kProfile) + "/.Sent/cur/" + Files(".Sent/cur")[0]);
  EXPECT_TRUE(EndsWith(kept, c.message)) << "what went out is not what .Sent keeps";
}

// Recipients the server took are taken off the queued copy; a retry only
// goes to those still owed, and refused ones are logged once.
TEST_F(MailStoreTest, SmtpRouteRetriesOnlyTheRecipientsStillOwed) {
  Profile("address=list@example.test\nsmtp=127.0.0.1:2525\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  smtp_.defer = {"m1@example.test"};
  smtp_.refuse = {"club@example.test"};
  SendOne();
  ASSERT_EQ(Files(".Outbox/cur").size(), 1u);
  smtp_.defer.clear();
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  ASSERT_EQ(smtp_.composed.size(), 2u);
  EXPECT_EQ(smtp_.composed[1].recipients, std::vector<std::string>{"m1@example.test"});
  EXPECT_EQ(Files(".Sent/cur").size(), 1u);
  const std::string log = MainLog();
  EXPECT_NE(log.find("宛先エラー<club@example.test>"), std::string::npos) << log;
  EXPECT_EQ(LogLines(), 2) << log;  // the refusal and the first failure, each on its own line
}

// A route command never gets its arguments into the log, and what it
// printed comes in as one line.
TEST_F(MailStoreTest, CommandFailuresAreLoggedWithoutArgumentsOnOneLine) {
  struct Case {
    const char* name;
    std::string profile;
    bool send;
  };
  for (const Case& c : {Case{"sendmail", "sendmail = /usr/sbin/sendmail --auth-password=s3cret\n", true},
                        Case{"fetch", "sendmail=\nfetch = /usr/bin/fetcher --password=s3cret\n", false}}) {
    SCOPED_TRACE(c.name);
    ResetDisk();
    Profile(c.profile);
    runner_.exit_code = 75;
    runner_.output = "\r\n  first problem\r\nsecond line\n";
    ASSERT_TRUE(store_.Logon("user", "", true).ok());
    if (c.send) SendOne();
    const std::string log = MainLog();
    EXPECT_EQ(LogLines(), 1) << log;
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
    EXPECT_EQ(log.find("second line"), std::string::npos) << log;
    EXPECT_NE(log.find(std::string(c.send ? "sendmail" : "fetcher") + ": exit 75: first problem"), std::string::npos)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\r'), 1) << "the entry broke over lines: " << log;
  }
}

// One route time-out per cycle: the remaining posts wait for the next one.
// A stop request leaves the post queued without a word.
TEST_F(MailStoreTest, ATimeOutOrAStopLeavesTheRestForTheNextCycle) {
  Profile("sendmail=/usr/sbin/sendmail\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  runner_.timed_out = true;
  SendOne();
  SendOne();
  SendOne();
  EXPECT_EQ(runner_.calls.size(), 1u);
  EXPECT_EQ(Files(".Outbox/new").size() + Files(".Outbox/cur").size(), 3u);
  store_.NewCycle();
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(runner_.calls.size(), 2u);
  runner_.timed_out = false;
  bool stop = true;
  store_.set_stop_check([&] { return stop; });
  store_.NewCycle();
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(runner_.calls.size(), 2u) << "a stop request started the route";
  stop = false;
  store_.NewCycle();
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  EXPECT_EQ(runner_.calls.size(), 5u);
  EXPECT_TRUE(runner_.calls.back().had_stop);
  EXPECT_EQ(Files(".Sent/cur").size(), 3u);
  EXPECT_EQ(LogLines(), 1) << MainLog();  // the time-out of the first post
}

TEST_F(MailStoreTest, OneBadMemberAddressIsLoggedAndLeftOut) {
  Profile("address=list@example.test\nsendmail=/usr/sbin/sendmail\n");
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  OutgoingMessage m;
  m.to = {MailRecipient{"club@example.test", "Club"}};
  m.bcc = {"a@example.test", "b c@example.com", "c@example.test"};
  m.subject = "hi";
  m.body = "body";
  ASSERT_TRUE(store_.Send(m).ok()) << MainLog();
  ASSERT_EQ(runner_.calls.size(), 1u);
  const std::vector<std::string>& argv = runner_.calls[0].argv;
  EXPECT_EQ(std::vector<std::string>(argv.end() - 3, argv.end()),
            (std::vector<std::string>{"club@example.test", "a@example.test", "c@example.test"}));
  EXPECT_NE(MainLog().find("<b c@example.com>"), std::string::npos) << MainLog();
}

TEST_F(MailStoreTest, FetchCommandRunsOnlyWhenDownloadingAndItsFailureDoesNotStopReception) {
  Profile("sendmail=\nfetch = fetchmail -s\n");
  Deliver("new", "1.a", Raw("one"), 1);
  EXPECT_EQ(Fetched(reception_), 1);
  EXPECT_TRUE(runner_.calls.empty());
  reception_.SignOff();
  download_ = 1;
  runner_.exit_code = 1;
  runner_.output = "no mail server";
  EXPECT_EQ(Fetched(reception_), 1);
  ASSERT_EQ(runner_.calls.size(), 1u);
  EXPECT_EQ(runner_.calls[0].argv, (std::vector<std::string>{"fetchmail", "-s"}));
  EXPECT_EQ(runner_.calls[0].folder, kProfile);
  EXPECT_EQ(runner_.calls[0].limit_ms, 5 * 60 * 1000);
  EXPECT_NE(MainLog().find("fetchmail: exit 1: no mail server"), std::string::npos) << MainLog();
}

TEST_F(MailStoreTest, OnlyTheDefaultProfileIsMadeOnFirstUse) {
  for (const char* user : {"メイン ユーザー", "メインユーザー"}) {
    SCOPED_TRACE(user);
    user_ = user;
    const std::string folder = std::string("/prog/mailstore/") + user;
    const bool made = user == std::string(MailStore::kDefaultProfile);
    int count = -1;
    const Status s = reception_.FetchMail(&count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(s.ok(), made) << s.message();
    if (!made) {
      EXPECT_NE(s.message().find(folder), std::string::npos) << s.message();
    }
    EXPECT_EQ(fs_.IsDir(folder + "/new"), made);
  }
}

// Only the store's own regular files are mail. Links (which could lead
// anywhere) and pipes are named once and never read; a folder that cannot
// be listed says so once per cycle and does not hide the other one.
TEST_F(MailStoreTest, OddEntriesAreLeftAloneAndNamedOnce) {
  Profile("sendmail=\n");
  fs_.AddFile("/etc/secret", Raw("secret"));
  fs_.AddSymlink(std::string(kProfile) + "/new/1.link", "/etc/secret");
  fs_.AddFifo(std::string(kProfile) + "/new/2.pipe");
  Deliver("cur", "3.c:2,", Raw("real"), 3);
  for (int run = 0; run < 2; ++run) {  // a program run each: "once" holds across runs
    MailStore store(fs_, clock_, log_, runner_, &smtp_, "/prog");
    ASSERT_TRUE(store.Logon("user", "", false).ok());
    ASSERT_TRUE(store.Fetch().ok());
    EXPECT_EQ(store.MsgCount(), 1);
  }
  ASSERT_TRUE(store_.Logon("user", "", false).ok());
  ASSERT_TRUE(store_.Fetch().ok());
  EXPECT_EQ(Subjects(), std::vector<std::string>{"real"});
  EXPECT_EQ(LogLines(), 2) << MainLog();
  EXPECT_NE(MainLog().find("1.link"), std::string::npos);
  EXPECT_NE(MainLog().find("2.pipe"), std::string::npos);
  EXPECT_TRUE(fs_.IsOdd(std::string(kProfile) + "/new/1.link"));

  fs_.InjectFault(FakeFileSystem::kList, std::string(kProfile) + "/new");
  for (int cycle = 0; cycle < 2; ++cycle) {
    store_.NewCycle();
    ASSERT_TRUE(store_.Logon("user", "", false).ok());
    ASSERT_TRUE(store_.Fetch().ok());
    ASSERT_TRUE(store_.Fetch().ok());
    EXPECT_EQ(Subjects(), std::vector<std::string>{"real"});
  }
  EXPECT_EQ(LogLines(), 4) << MainLog();
}

// A journal that another program replaced by a pipe or a link is refused
// without waiting on it: the store stays closed rather than act twice.
TEST_F(MailStoreTest, AJournalThatIsNoRegularFileRefusesTheLogon) {
  Profile("sendmail=\n");
  const std::string journal = std::string(kProfile) + "/kelmora-journal";
  fs_.AddFifo(journal);
  Status s = store_.Logon("user", "", false);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(journal), std::string::npos) << s.message();
  fs_.Erase(journal);
  fs_.AddFile("/elsewhere", "acted x\n");
  fs_.AddSymlink(journal, "/elsewhere");
  EXPECT_FALSE(store_.Logon("user", "", false).ok());
}

TEST(SplitCommandLineTest, QuotesAndEscapes) {
  std::vector<std::string> words;
  ASSERT_TRUE(SplitCommandLine(R"(  sh -c 'a "b" c'  "x y\"z" back\ slash)", &words));
  EXPECT_EQ(words, (std::vector<std::string>{"sh", "-c", "a \"b\" c", "x y\"z", "back slash"}));
  EXPECT_FALSE(SplitCommandLine("open 'quote", &words));
}

// Runs real programs; each case is bounded by its own limit.
TEST(RealCommandRunnerTest, ReadsItsFileExitEndsTheWaitAndStopEndsIt) {
  RealCommandRunner runner;
  CommandResult r;
  char dir[] = "/tmp/kelmora-runner-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string input = std::string(dir) + "/queued";
  RealFileSystem fs;
  ASSERT_TRUE(fs.WriteFileAtomic(input, "X-Envelope: skip\r\nthe message\r\n").ok());
  CommandRequest request;
  // Standard input is the file itself, from the offset.
  request.argv = {"sh", "-c", "cat; exit 3"};
  request.input_path = input;
  request.input_offset = 18;
  request.limit_ms = 20000;
  ASSERT_TRUE(runner.Run(request, &r).ok());
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.output, "the message\r\n");
  // A background process that keeps the output open does not keep the
  // caller waiting: the program's exit ends the wait.
  request = CommandRequest{};
  request.argv = {"sh", "-c", "sleep 30 & echo started; exit 0"};
  request.limit_ms = 20000;
  ASSERT_TRUE(runner.Run(request, &r).ok());
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(FirstLine(r.output), "started");
  // The stop check ends it.
  int asked = 0;
  request.argv = {"sleep", "30"};
  request.stop = [&] { return ++asked > 2; };
  ASSERT_TRUE(runner.Run(request, &r).ok());
  EXPECT_TRUE(r.stopped);
  EXPECT_NE(r.signal, 0);
  request.stop = nullptr;
  request.limit_ms = 200;
  ASSERT_TRUE(runner.Run(request, &r).ok());
  EXPECT_TRUE(r.timed_out);
  // A link or a pipe in the input file's place is refused, not followed
  // or waited on; a program that cannot start is an error.
  ASSERT_EQ(::symlink(input.c_str(), (input + ".link").c_str()), 0);
  ASSERT_EQ(::mkfifo((input + ".pipe").c_str(), 0600), 0);
  for (const std::string& odd : {input + ".link", input + ".pipe"}) {
    request.input_path = odd;
    EXPECT_FALSE(runner.Run(request, &r).ok()) << odd;
  }
  request.input_path = "";
  request.argv = {"/nonexistent/program"};
  EXPECT_FALSE(runner.Run(request, &r).ok());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kelmora
