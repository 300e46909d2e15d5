// SPDX-License-Identifier: GPL-3.0-or-later
// The deferred-delivery queue with MailSender on a scripted SMTP server and
// the in-memory file system: what is queued, when it is retried, when it is
// given up, and that nobody gets a message twice, also across a crash.
#include "smtp/delivery_queue.h"
#include "smtp/queued_mail.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "smtp/mail_sender.h"
#include "tests/support/recipient_items.h"
#include "tests/support/fake_smtp_server.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kServer = "smtp://127.0.0.1:2525";
constexpr const char* kQueue = "/prog/queue";
constexpr std::int64_t kMinute = 60LL * 1000 * 1000;
constexpr const char* kDown = "connect: Failed to connect to 127.0.0.1 port 2525: Connection refused";

// "list@example.org", then members m1 ... mN as blind copies.
std::string List(int members) {
  std::string r = "list@example.org\tbcc";
  for (int i = 1; i <= members; ++i) r += "\tm" + std::to_string(i) + "@example.net";
  return r + "\t>Message-ID: Kelmora";
}

// How often each address got the message from one server.
std::map<std::string, int> Reached(const FakeSmtpServer& smtp) {
  std::map<std::string, int> reached;
  for (const auto& t : smtp.transactions()) {
    if (!t.data_done) continue;
    for (const std::string& a : t.accepted) ++reached[a];
  }
  return reached;
}

void AddUp(std::map<std::string, int>* total, const std::map<std::string, int>& more) {
  for (const auto& [a, n] : more) (*total)[a] += n;
}

// Every one of list@example.org and m1..mN exactly once, nobody else.
void ExpectEachOnce(const std::map<std::string, int>& reached, int members) {
  EXPECT_EQ(reached.size(), static_cast<size_t>(members + 1));
  EXPECT_EQ(reached.count("list@example.org"), 1u);
  for (const auto& [a, n] : reached) EXPECT_EQ(n, 1) << a;
  for (int i = 1; i <= members; ++i) EXPECT_EQ(reached.count("m" + std::to_string(i) + "@example.net"), 1u) << i;
}

class DeliveryQueueTest : public ::testing::Test {
 protected:
  DeliveryQueueTest() : clock_(LocalTime{2024, 5, 6, 7, 8, 9}), log_(fs_, clock_, "/prog") {
    fs_.AddDir("/prog");
    EXPECT_TRUE(log_.EnsureLogFolders().ok());
  }

  std::string Send(FakeSmtpServer& smtp, const std::string& recipients, const std::string& subject = "件名") {
    DeliveryQueue queue(fs_, log_, clock_, smtp, kQueue, options_);
    MailSender sender(fs_, log_, clock_, smtp, options_, &queue);
    return SendItems(sender, kServer, recipients, "owner@example.org", subject, "本文", "");
  }
  // One cycle's flush, `minutes` after the previous moment.
  void FlushAfter(double minutes, FakeSmtpServer& smtp) {
    Advance(minutes);
    DeliveryQueue queue(fs_, log_, clock_, smtp, kQueue, options_);
    queue.Flush();
  }
  void Advance(double minutes) {
    clock_.SetEpochMicros(clock_.EpochMicros() + static_cast<std::int64_t>(minutes * kMinute));
  }
  std::vector<std::string> QueueFiles() const {
    std::vector<std::string> out;
    for (const std::string& p : fs_.FilePaths()) {
      if (StartsWith(p, std::string(kQueue) + "/")) out.push_back(p);
    }
    return out;
  }
  QueuedMail OnlyQueued() {
    std::vector<std::string> files = QueueFiles();
    EXPECT_EQ(files.size(), 1u);
    QueuedMail mail;
    if (files.size() == 1) {
      EXPECT_TRUE(DecodeQueuedMail(fs_.Bytes(files[0]), &mail).ok());
    }
    return mail;
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& l : Split(Cp932ToUtf8(fs_.Bytes(log_.MainLogPath())), "\r\n")) {
      if (!l.empty()) lines.push_back(l);
    }
    return lines;
  }
  std::vector<std::string> LogLinesWith(const std::string& part) const {
    std::vector<std::string> out;
    for (const std::string& l : LogLines()) {
      if (Contains(l, part)) out.push_back(l);
    }
    return out;
  }

  FakeFileSystem fs_;
  FixedClock clock_;
  Logger log_;
  MailOptions options_;
};

TEST_F(DeliveryQueueTest, ServerThatDropsAfterTwoBatchesAndStaysDownLeavesTheRestQueued) {
  // 251 recipients: transactions of 100, 100 and 51. A transaction of 100
  // is MAIL, 100 RCPT, DATA and the end of the data: the connection breaks
  // at the third MAIL, and the server then refuses connections.
  FakeSmtpServer smtp;
  smtp.drop_after_commands = 2 * 103;
  smtp.open_failure = [](int connection) { return connection == 0 ? std::string() : std::string(kDown); };
  EXPECT_EQ(Send(smtp, List(250)), "");
  EXPECT_EQ(Reached(smtp).size(), 200u);

  QueuedMail queued = OnlyQueued();
  ASSERT_EQ(queued.owed.size(), 51u);
  EXPECT_EQ(queued.owed.front(), "m200@example.net");
  EXPECT_EQ(queued.owed.back(), "m250@example.net");
  EXPECT_EQ(queued.server, kServer);
  EXPECT_EQ(queued.mail_from, "owner@example.org");
  EXPECT_EQ(queued.message, smtp.transactions()[0].message);
  ASSERT_EQ(queued.attempts.size(), 1u);
  EXPECT_EQ(queued.attempts[0].failure, kDown);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "SendMailの配送を保留<51件>:" + std::string(kDown) + " (" + kServer + ")"))
      << lines[0];

  // Not due yet half a minute later: nobody is called.
  FakeSmtpServer up;
  FlushAfter(0.5, up);
  EXPECT_EQ(up.connections(), 0);
  // The next cycle after the pause delivers them, on one connection, once.
  FlushAfter(1, up);
  EXPECT_EQ(up.connections(), 1);
  ASSERT_EQ(up.transactions().size(), 1u);
  EXPECT_EQ(up.transactions()[0].message, smtp.transactions()[0].message);
  EXPECT_EQ(up.commands()[1], "MAIL FROM:<owner@example.org>");
  std::map<std::string, int> all = Reached(smtp);
  AddUp(&all, Reached(up));
  ExpectEachOnce(all, 250);
  EXPECT_TRUE(QueueFiles().empty());
  // Later cycles have nothing left to send.
  FlushAfter(120, up);
  EXPECT_EQ(up.connections(), 1);
  EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(DeliveryQueueTest, TemporaryRefusalIsRetriedWithGrowingPausesAndPermanentOneIsNot) {
  FakeSmtpServer smtp;
  smtp.rcpt_reply = [](const std::string& a, int, int) {
    if (a == "m2@example.net") return std::string("451 4.7.1 greylisted, try later");
    if (a == "m3@example.net") return std::string("550 5.1.1 no such user");
    return std::string("250 OK");
  };
  EXPECT_EQ(Send(smtp, List(4)), "");
  EXPECT_EQ(OnlyQueued().owed, std::vector<std::string>{"m2@example.net"});
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(StartsWith(lines[0], "SendMailの宛先エラー<m3@example.net>:550 5.1.1 no such user (" +
                                       std::string(kServer) + ")"))
      << lines[0];
  EXPECT_TRUE(StartsWith(lines[1], "SendMailの配送を保留<1件>:451 4.7.1 greylisted, try later")) << lines[1];

  // Still greylisted a minute later: kept, next try five minutes on.
  FlushAfter(1, smtp);
  EXPECT_EQ(smtp.Count("RCPT TO:<m2@example.net>"), 2);
  EXPECT_EQ(OnlyQueued().attempts.size(), 2u);
  FlushAfter(4, smtp);
  EXPECT_EQ(smtp.Count("RCPT TO:<m2@example.net>"), 2);

  smtp.rcpt_reply = [](const std::string&, int, int) { return std::string("250 OK"); };
  FlushAfter(1.5, smtp);
  EXPECT_EQ(smtp.Count("RCPT TO:<m2@example.net>"), 3);
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(smtp.Count("RCPT TO:<m3@example.net>"), 1);  // the refused one is never tried again
  std::map<std::string, int> reached = Reached(smtp);
  EXPECT_EQ(reached["m2@example.net"], 1);
  EXPECT_EQ(reached["m1@example.net"], 1);
  EXPECT_EQ(reached.count("m3@example.net"), 0u);
  EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(DeliveryQueueTest, ServerDownIsQueuedRetriedWithBackOffAndGivenUpAfterFiveDaysWithOneLine) {
  // The list's own copy goes through; the members are deferred, and then
  // the server goes down for good.
  FakeSmtpServer down;
  down.open_failure = [](int connection) { return connection == 0 ? std::string() : std::string(kDown); };
  down.rcpt_reply = [](const std::string&, int index, int) {
    return index == 0 ? std::string("250 OK") : std::string("451 4.7.1 try later");
  };
  EXPECT_EQ(Send(down, List(2), "春の撮影会"), "");
  EXPECT_EQ(down.connections(), 1);
  const QueuedMail first = OnlyQueued();
  EXPECT_EQ(first.owed.size(), 2u);

  // A cycle every minute for the first hour: tries after 1, 5, 15 and 30
  // minutes' pauses (at minutes 1, 6, 21, 51), then once an hour.
  for (int minute = 1; minute <= 60; ++minute) FlushAfter(1, down);
  EXPECT_EQ(down.connections(), 5);
  for (int hour = 1; hour < 5 * 24 - 1; ++hour) FlushAfter(60, down);
  EXPECT_EQ(QueueFiles().size(), 1u);
  EXPECT_TRUE(LogLinesWith("SendMailの配送を断念").empty());
  const int tries = down.connections();
  EXPECT_GT(tries, 100);
  EXPECT_LT(tries, 5 * 24 + 5);

  FlushAfter(61, down);  // five days and a little after the first hand-over
  EXPECT_TRUE(QueueFiles().empty());
  std::vector<std::string> gave_up = LogLinesWith("SendMailの配送を断念");
  ASSERT_EQ(gave_up.size(), 1u);
  EXPECT_TRUE(StartsWith(gave_up[0], "SendMailの配送を断念<m1@example.net>,<m2@example.net>:" + std::string(kDown)))
      << gave_up[0];
  EXPECT_TRUE(Contains(gave_up[0], "件名「春の撮影会」")) << gave_up[0];
  EXPECT_TRUE(Contains(gave_up[0], "Message-ID <" + first.message_id + ">")) << gave_up[0];
  EXPECT_EQ(down.connections(), tries);  // given up without another try
  FlushAfter(60, down);
  EXPECT_EQ(LogLinesWith("SendMailの配送を断念").size(), 1u);
}

// A server that is down for the whole send is a failed send, as it always
// was: the caller tries once more and then keeps the message as a failure.
// Nothing waits in the queue, or a later success would send it twice.
TEST_F(DeliveryQueueTest, ServerDownForTheWholeSendFailsAndQueuesNothing) {
  FakeSmtpServer down;
  down.open_failure = [](int) { return std::string(kDown); };
  const std::string result = Send(down, List(2), "春の撮影会");
  EXPECT_NE(result, "");
  EXPECT_TRUE(Contains(result, "none reached")) << result;
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(DeliveryQueueTest, TooManyRecipientsBeyondTheInSendRetryAndTimeOutsAreQueuedNotLost) {
  // The server takes ten recipients in the first transaction and answers
  // 452 to everyone after that: the thirty left wait in the queue.
  FakeSmtpServer smtp;
  smtp.rcpt_reply = [](const std::string&, int index, int txn) {
    return txn == 0 && index < 10 ? std::string("250 OK") : std::string("452 4.3.1 Insufficient storage");
  };
  EXPECT_EQ(Send(smtp, List(39)), "");
  EXPECT_EQ(Reached(smtp).size(), 10u);
  EXPECT_EQ(OnlyQueued().owed.size(), 30u);
  EXPECT_TRUE(LogLinesWith("宛先エラー").empty());

  // What is temporary and what is final, as the transports word it.
  for (const char* temporary : {"end of data: Timeout was reached", "connect: Couldn't connect to server",
                                "MAIL FROM: 421 4.7.0 try again later", "RCPT TO <a@b.example>: 451 4.7.1 later",
                                "DATA: connection closed by the server", "transaction failed"}) {
    EXPECT_FALSE(IsPermanentFailure(temporary)) << temporary;
  }
  for (const char* permanent : {"AUTH: 535 5.7.8 authentication failed", "end of data: 554 5.6.0 rejected",
                                "RCPT TO <a@b.example>: 550 5.1.1 unknown", "MAIL FROM: 553 sender refused"}) {
    EXPECT_TRUE(IsPermanentFailure(permanent)) << permanent;
  }
}

TEST_F(DeliveryQueueTest, EveryoneRefusedPermanentlyIsStillAFailureAndLeavesNoQueue) {
  FakeSmtpServer smtp;
  smtp.rcpt_reply = [](const std::string&, int, int) { return std::string("550 5.7.1 relaying denied"); };
  std::string result = Send(smtp, List(2));
  EXPECT_TRUE(StartsWith(result, "SendMail failed (" + std::string(kServer) + ") RCPT TO")) << result;
  EXPECT_TRUE(Contains(result, "550 5.7.1 relaying denied")) << result;
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(DeliveryQueueTest, QueueThatCannotBeWrittenMakesTheSendFailAndNobodyGetsItTwice) {
  {
    // Unwritable from the start: nothing goes out.
    FakeSmtpServer smtp;
    fs_.InjectFault(FakeFileSystem::kWrite, "/prog/queue/");
    std::string result = Send(smtp, List(3));
    EXPECT_TRUE(StartsWith(result, "SendMail failed (" + std::string(kServer) + "): cannot write the delivery queue"))
        << result;
    EXPECT_EQ(smtp.connections(), 0);
    EXPECT_TRUE(QueueFiles().empty());
    fs_.ClearFaults();
  }
  {
    // The disk fills after the first transaction: the send stops there and
    // fails; the caller's retry of the same send reaches only the rest.
    FakeSmtpServer smtp;
    options_.max_recipients_per_transaction = 2;
    fs_.InjectFault(FakeFileSystem::kWrite | FakeFileSystem::kAppend, "/prog/queue/", 1);
    DeliveryQueue queue(fs_, log_, clock_, smtp, kQueue, options_);
    MailSender sender(fs_, log_, clock_, smtp, options_, &queue);
    std::string result = SendItems(sender, kServer, List(5), "owner@example.org", "件名", "本文", "");
    EXPECT_TRUE(Contains(result, "cannot write the delivery queue")) << result;
    EXPECT_TRUE(Contains(result, "[4 of 6 recipients not reached]")) << result;
    EXPECT_EQ(smtp.transactions().size(), 1u);
    EXPECT_TRUE(QueueFiles().empty());  // it would have sent the first two again

    fs_.ClearFaults();
    EXPECT_EQ(SendItems(sender, kServer, List(5), "owner@example.org", "件名", "本文", ""), "");
    ExpectEachOnce(Reached(smtp), 5);
    EXPECT_TRUE(QueueFiles().empty());
  }
}

// Recipients settled during a send are appended behind the message; a
// last line cut short by a crash says nothing, and anything else there
// makes the file untrustworthy.
TEST(QueuedMailTest, SettledLinesBehindTheMessageTakeRecipientsOut) {
  QueuedMail mail;
  mail.server = "127.0.0.1:25";
  mail.mail_from = "list@example.org";
  mail.message = "Subject: x\r\n\r\nbody\r\n";
  mail.owed = {"a@example.net", "b@example.net", "c@example.net"};
  const std::string file = EncodeQueuedMail(mail) + SettledLines({"a@example.net"}) + "Settled: b@exam";
  QueuedMail read;
  ASSERT_TRUE(DecodeQueuedMail(file, &read).ok());
  EXPECT_EQ(read.owed, (std::vector<std::string>{"b@example.net", "c@example.net"}));
  EXPECT_EQ(read.message, mail.message);
  EXPECT_TRUE(DecodeQueuedMail(EncodeQueuedMail(mail) + "garbage\r\n", &read).IsCorrupt());
}

TEST_F(DeliveryQueueTest, CrashBetweenTransactionsSendsNobodyTwice) {
  // Seven recipients in transactions of two: the process dies just before
  // transaction k (0..3); what the disk then holds is loaded by the next
  // run, which dies in turn before its second transaction when it has one;
  // a third run finishes.
  options_.max_recipients_per_transaction = 2;
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE("killed before transaction " + std::to_string(k));
    FakeFileSystem fs;
    fs.AddDir("/prog/log");
    Logger log(fs, clock_, "/prog");
    auto snapshot = [&fs]() {
      std::map<std::string, std::string> files;
      for (const std::string& p : fs.FilePaths()) {
        if (StartsWith(p, std::string(kQueue) + "/")) files[p] = fs.Bytes(p);
      }
      return files;
    };
    // Transactions from the one given on count as not having happened.
    auto before = [](const FakeSmtpServer& smtp, size_t count) {
      std::map<std::string, int> reached;
      for (size_t i = 0; i < count && i < smtp.transactions().size(); ++i) {
        if (!smtp.transactions()[i].data_done) continue;
        for (const std::string& a : smtp.transactions()[i].accepted) ++reached[a];
      }
      return reached;
    };

    FakeSmtpServer first;
    int mails = 0;
    std::map<std::string, std::string> disk;
    first.mail_reply = [&](int) {
      if (mails++ == k) disk = snapshot();
      return std::string("250 OK");
    };
    {
      DeliveryQueue queue(fs, log, clock_, first, kQueue, options_);
      MailSender sender(fs, log, clock_, first, options_, &queue);
      EXPECT_EQ(SendItems(sender, kServer, List(6), "owner@example.org", "件名", "本文", ""), "");
    }
    ASSERT_EQ(disk.size(), 1u);
    std::map<std::string, int> total = before(first, static_cast<size_t>(k));

    // Restart: only the disk as it was at the kill.
    FakeFileSystem fs2;
    fs2.AddDir("/prog/log");
    for (const auto& [p, bytes] : disk) fs2.AddFile(p, bytes);
    Logger log2(fs2, clock_, "/prog");
    FakeSmtpServer second;
    int mails2 = 0;
    std::map<std::string, std::string> disk2;
    second.mail_reply = [&](int) {
      if (mails2++ == 1) {
        disk2.clear();
        for (const std::string& p : fs2.FilePaths()) {
          if (StartsWith(p, std::string(kQueue) + "/")) disk2[p] = fs2.Bytes(p);
        }
      }
      return std::string("250 OK");
    };
    {
      DeliveryQueue queue(fs2, log2, clock_, second, kQueue, options_);
      queue.Flush();
    }
    if (mails2 <= 1) {
      // One transaction was enough: the flush finished and left nothing.
      AddUp(&total, Reached(second));
      for (const std::string& p : fs2.FilePaths()) EXPECT_FALSE(StartsWith(p, std::string(kQueue) + "/")) << p;
    } else {
      AddUp(&total, before(second, 1));
      FakeFileSystem fs3;
      fs3.AddDir("/prog/log");
      for (const auto& [p, bytes] : disk2) fs3.AddFile(p, bytes);
      Logger log3(fs3, clock_, "/prog");
      FakeSmtpServer third;
      DeliveryQueue queue(fs3, log3, clock_, third, kQueue, options_);
      queue.Flush();
      AddUp(&total, Reached(third));
      for (const std::string& p : fs3.FilePaths()) EXPECT_FALSE(StartsWith(p, std::string(kQueue) + "/")) << p;
    }
    ExpectEachOnce(total, 6);
  }
}

TEST_F(DeliveryQueueTest, DamagedQueueFileIsSetAsideAndReportedOnce) {
  fs_.AddFile(std::string(kQueue) + "/1800000000000000.queue", "Kelmora-Queue: 1\r\nServer: smtp://127.0.0.1:2525\r\n");
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  QueuedMail cut;
  cut.server = kServer;
  cut.mail_from = "owner@example.org";
  cut.message = message;
  cut.owed = {"a@example.net"};
  cut.queued_micros = cut.next_attempt_micros = clock_.EpochMicros();
  std::string bytes = EncodeQueuedMail(cut);
  fs_.AddFile(std::string(kQueue) + "/1800000000000001.queue", bytes.substr(0, bytes.size() - 3));
  FakeSmtpServer smtp;
  FlushAfter(1, smtp);
  FlushAfter(1, smtp);
  EXPECT_EQ(smtp.connections(), 0);
  EXPECT_EQ(LogLinesWith("配送待ちファイルを読めません").size(), 2u);
  EXPECT_TRUE(fs_.HasFile(std::string(kQueue) + "/1800000000000000.queue.bad"));
  EXPECT_TRUE(fs_.HasFile(std::string(kQueue) + "/1800000000000001.queue.bad"));

  // The whole file, also with bytes a line-based reader would trip over.
  cut.message = std::string("Subject: y\r\n\r\n\0\r\n.\r\nSize: 1\r\n", 30);
  fs_.AddFile(std::string(kQueue) + "/1800000000000002.queue", EncodeQueuedMail(cut));
  FlushAfter(1, smtp);
  ASSERT_EQ(smtp.transactions().size(), 1u);
  EXPECT_EQ(smtp.transactions()[0].message, cut.message);
  EXPECT_EQ(smtp.transactions()[0].accepted, std::vector<std::string>{"a@example.net"});
}

}  // namespace
}  // namespace kelmora
