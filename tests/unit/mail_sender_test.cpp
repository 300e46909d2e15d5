// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/mail_sender.h"
#include "tests/support/recipient_items.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/fake_smtp_server.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/temp_folder.h"
#include "textio/clock.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The delivery logic on a scripted server: batches, refusals, retries on a
// new connection, the log lines and the saved copy.
class MailSendTest : public ::testing::Test {
 protected:
  static constexpr const char* kServer = "smtp://127.0.0.1:2525";
  static constexpr const char* kShown = "smtp://127.0.0.1:2525";

  MailSendTest() : clock_(LocalTime{2024, 5, 6, 7, 8, 9}), log_(fs_, clock_, dir_.path()) {
    EXPECT_TRUE(log_.EnsureLogFolders().ok());
  }
  std::string Send(const std::string& server, const std::string& recipients) {
    MailSender sender(fs_, log_, clock_, smtp_, options_);
    return SendItems(sender, server, recipients, "owner@example.org", "件名", "本文", "");
  }
  std::vector<std::string> LogLines() {
    std::string text = Cp932ToUtf8(ReadAll(log_.MainLogPath()));
    std::vector<std::string> lines;
    for (const std::string& l : Split(text, "\r\n")) {
      if (!l.empty()) lines.push_back(l);
    }
    return lines;
  }
  static std::string Members(int n, const std::string& head = "@members\tbcc") {
    std::string r = head;
    for (int i = 1; i <= n; ++i) r += "\tm" + std::to_string(i) + "@example.net";
    return r + "\t>Message-ID: Kelmora";
  }
  std::set<std::string> Reached() const {
    std::set<std::string> reached;
    for (const auto& t : smtp_.transactions()) {
      if (t.data_done) reached.insert(t.accepted.begin(), t.accepted.end());
    }
    return reached;
  }

  TempFolder dir_;
  RealFileSystem fs_;
  FixedClock clock_;
  Logger log_;
  MailOptions options_;
  FakeSmtpServer smtp_;
};

TEST_F(MailSendTest, BadServerStringsFailWithoutConnecting) {
  for (const char* server : {"", "   ", "ftp://127.0.0.1", "127.0.0.1:", "127.0.0.1:99999", "127.0.0.1:2x",
                             "host name", "smtp://:25"}) {
    std::string result = Send(server, "a@example.net");
    EXPECT_TRUE(StartsWith(result, "SendMail failed")) << server << " -> " << result;
  }
  EXPECT_EQ(smtp_.connections(), 0);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, OneTransactionSaysWhatTheServerSees) {
  EXPECT_EQ(Send(kServer, "list@example.org\tbcc\tm1@example.net\t>Message-ID: Kelmora"), "");
  EXPECT_EQ(smtp_.commands(),
            (std::vector<std::string>{"OPEN", "MAIL FROM:<owner@example.org>", "RCPT TO:<list@example.org>",
                                      "RCPT TO:<m1@example.net>", "DATA", "QUIT"}));
  ASSERT_EQ(smtp_.servers().size(), 1u);
  EXPECT_EQ(smtp_.servers()[0].url_base, "smtp://127.0.0.1:2525/");
  ASSERT_EQ(smtp_.transactions().size(), 1u);
  const std::string& message = smtp_.transactions()[0].message;
  EXPECT_NE(message.find("Message-Id: <Kelmora."), std::string::npos);
  EXPECT_EQ(message.find("m1@example.net"), std::string::npos);  // blind copy stays out of the text
}

TEST_F(MailSendTest, PartialRefusalIsSuccessAndLogsEachRefusedRecipient) {
  smtp_.rcpt_reply = [](const std::string& a, int, int) {
    return a == "m2@example.net" ? std::string("550 5.1.1 no such user") : std::string("250 OK");
  };
  EXPECT_EQ(Send(kServer, Members(3)), "");
  ASSERT_EQ(smtp_.transactions().size(), 1u);
  EXPECT_EQ(smtp_.transactions()[0].accepted, (std::vector<std::string>{"m1@example.net", "m3@example.net"}));
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "SendMailの宛先エラー<m2@example.net>:550 5.1.1 no such user (" + std::string(kShown) +
                          ") at 20240506-070809");
}

// Only a recipient's own refusal as an unknown or moved address is handed
// on for removal, with the list the mail went out for; the other refusals
// and a refused sender are only logged.
TEST_F(MailSendTest, UnknownAddressRefusalsAreHandedOnOnce) {
  smtp_.rcpt_reply = [](const std::string& a, int, int) {
    if (a == "m1@example.net") return std::string("550 5.1.1 <m1@example.net>: User unknown");
    if (a == "m2@example.net") return std::string("552 5.2.2 mailbox full");
    if (a == "m3@example.net") return std::string("551 5.1.6 mailbox has moved");
    return std::string("250 OK");
  };
  MailSender sender(fs_, log_, clock_, smtp_, options_);
  EXPECT_EQ(SendItems(sender, kServer, Members(4) + "\t;X-Loop: list@example.org", "owner@example.org", "s", "b", ""),
            "");
  const std::vector<UnknownRecipient> unknown = sender.TakeUnknownRecipients();
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_EQ(unknown[0].address, "m1@example.net");
  EXPECT_EQ(unknown[0].reply, "550 5.1.1 <m1@example.net>: User unknown");
  EXPECT_EQ(unknown[0].list_address, "list@example.org");
  EXPECT_EQ(unknown[1].address, "m3@example.net");
  EXPECT_TRUE(sender.TakeUnknownRecipients().empty()) << "handed on once";
  EXPECT_EQ(LogLines().size(), 3u) << "every refusal is still logged";

  smtp_.rcpt_reply = [](const std::string&, int, int) { return std::string("250 OK"); };
  smtp_.mail_reply = [](int) { return std::string("550 5.1.1 sender unknown"); };
  EXPECT_NE(SendItems(sender, kServer, Members(1), "owner@example.org", "s", "b", ""), "");
  EXPECT_TRUE(sender.TakeUnknownRecipients().empty()) << "a refused sender removes no member";
}

TEST_F(MailSendTest, EveryRecipientRefusedIsAFailureNamingTheReply) {
  smtp_.rcpt_reply = [](const std::string&, int, int) { return std::string("550 5.7.1 relaying denied"); };
  std::string result = Send("127.0.0.1:2525", Members(2));
  EXPECT_NE(result.find("RCPT TO"), std::string::npos) << result;
  EXPECT_NE(result.find("550 5.7.1 relaying denied"), std::string::npos) << result;
  EXPECT_NE(result.find("127.0.0.1:2525"), std::string::npos) << result;
  EXPECT_EQ(smtp_.Count("DATA"), 0);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, LargeListGoesInTransactionsOfAtMostTheLimit) {
  EXPECT_EQ(Send(kServer, Members(250)), "");
  const auto& txns = smtp_.transactions();
  ASSERT_EQ(txns.size(), 3u);
  EXPECT_EQ(txns[0].accepted.size(), 100u);
  EXPECT_EQ(txns[1].accepted.size(), 100u);
  EXPECT_EQ(txns[2].accepted.size(), 50u);
  EXPECT_EQ(smtp_.connections(), 1);  // one connection for all three
  EXPECT_EQ(Reached().size(), 250u);
}

TEST_F(MailSendTest, TooManyRecipientsRepliesAreSentAgainAndTheLoopEnds) {
  {
    // The server takes 30 per transaction and answers 452 after that.
    smtp_.rcpt_reply = [](const std::string&, int index, int) {
      return index < 30 ? std::string("250 OK") : std::string("452 4.5.3 Too many recipients");
    };
    EXPECT_EQ(Send(kServer, Members(130)), "");
    for (const auto& t : smtp_.transactions()) EXPECT_LE(t.accepted.size(), 30u);
    EXPECT_EQ(Reached().size(), 130u);
    EXPECT_TRUE(LogLines().empty());
  }
  {
    // A server that answers 452 to everyone after the first transaction:
    // no endless retry; the ones left are logged, the message counts as sent.
    FakeSmtpServer fresh;
    fresh.rcpt_reply = [](const std::string&, int index, int txn) {
      return txn == 0 && index < 10 ? std::string("250 OK") : std::string("452 4.3.1 Insufficient storage");
    };
    MailSender sender(fs_, log_, clock_, fresh, options_);
    EXPECT_EQ(SendItems(sender, kServer, Members(40), "owner@example.org", "s", "b", ""), "");
    EXPECT_LE(fresh.transactions().size(), 3u);
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines.size(), 30u);
    for (const std::string& line : lines) EXPECT_NE(line.find("452 4.3.1 Insufficient storage"), std::string::npos);
  }
}

TEST_F(MailSendTest, DataRefusedInALaterTransactionLogsOnlyThoseRecipients) {
  smtp_.data_reply = [](int txn) { return txn == 1 ? std::string("554 5.6.0 rejected") : std::string("250 OK"); };
  options_.max_recipients_per_transaction = 2;
  EXPECT_EQ(Send(kServer, Members(5)), "");
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("<m3@example.net>:end of data: 554 5.6.0 rejected"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("<m4@example.net>"), std::string::npos) << lines[1];
  EXPECT_EQ(Reached(), (std::set<std::string>{"m1@example.net", "m2@example.net", "m5@example.net"}));
}

TEST_F(MailSendTest, SessionLimitOfTheServerCostsANewConnectionNotRecipients) {
  smtp_.mail_reply = [](int k) {
    return k == 0 ? std::string("250 OK") : std::string("421 4.7.0 too many messages in this session");
  };
  options_.max_recipients_per_transaction = 2;
  EXPECT_EQ(Send(kServer, Members(5)), "");
  EXPECT_EQ(Reached().size(), 5u);
  EXPECT_EQ(smtp_.connections(), 3);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, AConnectionThatBreaksMidwayLosesOnlyThatTransaction) {
  // Each transaction of two is MAIL, 2 RCPT, DATA, end of data: the
  // connection breaks at the DATA of the second one.
  smtp_.drop_after_commands = 8;
  options_.max_recipients_per_transaction = 2;
  EXPECT_EQ(Send(kServer, Members(6)), "");
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("<m3@example.net>:DATA: connection closed by the server"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("<m4@example.net>"), std::string::npos) << lines[1];
  // The third batch goes on a new connection.
  EXPECT_EQ(Reached(), (std::set<std::string>{"m1@example.net", "m2@example.net", "m5@example.net",
                                              "m6@example.net"}));
  EXPECT_EQ(smtp_.connections(), 2);
}

TEST_F(MailSendTest, DataRefusedForEveryoneAndServerDownAreFailures) {
  smtp_.data_reply = [](int) { return std::string("451 4.3.0 try later"); };
  std::string result = Send(kServer, Members(3));
  EXPECT_NE(result.find("451 4.3.0 try later"), std::string::npos) << result;

  // Nobody listens: one attempt, not one per transaction.
  FakeSmtpServer down;
  down.open_failure = [](int) { return std::string("connect: Failed to connect to 127.0.0.1 port 2525"); };
  MailSender sender(fs_, log_, clock_, down, options_);
  result = SendItems(sender, kServer, Members(300), "owner@example.org", "s", "b", "");
  EXPECT_TRUE(StartsWith(result, "SendMail failed (" + std::string(kShown) + ") connect: ")) << result;
  EXPECT_NE(result.find("[300 recipients, none reached]"), std::string::npos) << result;
  EXPECT_EQ(down.connections(), 1);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, AFailedFirstTransactionIsNotRetriedOnANewConnection) {
  // A 421 before any delivery is the server's answer for everyone.
  smtp_.mail_reply = [](int) { return std::string("421 4.3.2 shutting down"); };
  options_.max_recipients_per_transaction = 2;
  std::string result = Send(kServer, Members(5));
  EXPECT_NE(result.find("MAIL FROM: 421 4.3.2 shutting down"), std::string::npos) << result;
  EXPECT_EQ(smtp_.connections(), 1);
}

TEST_F(MailSendTest, SavedCopyIsWrittenOnlyAfterASend) {
  std::string save = dir_.path() + "/saved";
  std::filesystem::create_directories(save);
  std::string recipients = "list@example.org\tbcc\tm@example.net\t>Message-ID: Kelmora\t>#save " + save;
  EXPECT_EQ(Send(kServer, recipients), "");
  EXPECT_EQ(Send(kServer, recipients), "");
  // Two sends in one second: two names, after the clock's local time.
  std::string copy = ReadAll(save + "/sentmail_20240506-070809.txt");
  EXPECT_NE(copy.find("Message-Id: <Kelmora."), std::string::npos);
  EXPECT_EQ(copy.find("m@example.net"), std::string::npos);
  EXPECT_EQ(copy, smtp_.transactions()[0].message);  // the message as sent
  EXPECT_TRUE(std::filesystem::exists(save + "/sentmail_20240506-070809(1).txt"));

  FakeSmtpServer down;
  down.open_failure = [](int) { return std::string("connect: refused"); };
  MailSender sender(fs_, log_, clock_, down, options_);
  EXPECT_NE(SendItems(sender, kServer, recipients, "owner@example.org", "s", "b", ""), "");
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(save)) n += StartsWith(e.path().filename().string(), "sentmail_");
  EXPECT_EQ(n, 2u);

  // A copy that cannot be written is logged; the send still counts.
  std::filesystem::remove_all(save);
  std::ofstream(save) << "a file where the folder should be";
  EXPECT_EQ(Send(kServer, recipients), "");
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "SendMailの送信控え保存エラー<" + save + "/sentmail_20240506-070809.txt>:"))
      << lines[0];
}

}  // namespace
}  // namespace kelmora
