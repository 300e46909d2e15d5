// SPDX-License-Identifier: GPL-3.0-or-later
// The SMTP command layer on a scripted server: pipelined and lock-step
// transactions, and the delivery logic on top of it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/scripted_channel.h"
#include "smtp/smtp_command_session.h"
#include "smtp/smtp_delivery.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

const char kMessage[] = "Subject: x\r\n\r\nbody\r\n";

// A server whose replies the test sets per command; RCPT replies by
// address, "250 OK" when not named.
struct SmtpScript {
  std::string mail = "250 OK\r\n";
  std::map<std::string, std::string> rcpt;  // address -> reply
  std::string data = "354 go on\r\n";
  std::string end = "250 queued\r\n";
  bool pipelining = true;

  void Install(ScriptedLink& link) const {
    link.answer = [this](const std::string& line) -> std::string {
      if (StartsWith(line, "MAIL FROM:")) return mail;
      if (StartsWith(line, "RCPT TO:<")) {
        const std::string address = line.substr(9, line.size() - 10);
        auto it = rcpt.find(address);
        return it == rcpt.end() ? "250 OK\r\n" : it->second;
      }
      if (line == "DATA") return data;
      if (line == ".") return end;
      if (line == "RSET") return "250 reset\r\n";
      if (line == "QUIT") return "221 bye\r\n";
      return "500 what\r\n";
    };
  }
};

// The fixture is also the session factory the delivery logic gets.
class SmtpPipeliningTest : public ::testing::Test, public SmtpSessionFactory {
 public:
  std::unique_ptr<SmtpSession> NewSession(const SmtpServer&) override { return NewSession(true); }

 protected:
  std::unique_ptr<SmtpCommandSession> NewSession(bool pipelining) {
    SmtpServer server;
    return std::make_unique<SmtpCommandSession>(server, [this, pipelining](const std::string&) {
      SmtpConnection c;
      c.channel = link.Connect();
      c.pipelining = pipelining;
      return c;
    });
  }
  ScriptedLink link;
};

struct Case {
  const char* name;
  bool pipelining;
  SmtpScript script;
  int cut_after_lines;
  std::vector<int> codes;  // per recipient a, b, c
  bool reached_rcpt;
  bool taken;
  std::string failure;     // prefix
  bool message_sent;
  bool rset;
};

TEST_F(SmtpPipeliningTest, RepliesAreMatchedToTheirCommandsInBothModes) {
  SmtpScript mixed;
  // A multi-line reply for one recipient must not shift the others.
  mixed.rcpt["b@x"] = "550-5.1.1 no such user\r\n550 5.1.1 really\r\n";
  SmtpScript refused_from;
  refused_from.mail = "550 5.7.1 sender refused\r\n";
  refused_from.rcpt["a@x"] = refused_from.rcpt["b@x"] = refused_from.rcpt["c@x"] = "503 need MAIL\r\n";
  refused_from.data = "503 need RCPT\r\n";
  SmtpScript data_refused;
  data_refused.rcpt["c@x"] = "450 4.2.1 busy\r\n";
  data_refused.data = "554 5.3.0 no thanks\r\n";
  SmtpScript nobody;
  nobody.rcpt["a@x"] = nobody.rcpt["b@x"] = "550 5.1.1 unknown\r\n";
  nobody.rcpt["c@x"] = "551 5.1.6 moved\r\n";
  nobody.data = "354 go on anyway\r\n";  // a server that should have said 503
  SmtpScript end_refused;
  end_refused.end = "451 4.3.0 try later\r\n";

  const std::vector<Case> cases = {
      {"pipelined, one refused", true, mixed, -1, {250, 550, 250}, true, true, "RCPT TO <b@x>: 550-5.1.1", true, false},
      {"lock-step, one refused", false, mixed, -1, {250, 550, 250}, true, true, "RCPT TO <b@x>: 550-5.1.1", true,
       false},
      {"pipelined, MAIL FROM refused with RCPTs sent", true, refused_from, -1, {0, 0, 0}, false, false,
       "MAIL FROM: 550 5.7.1", false, false},
      {"lock-step, MAIL FROM refused", false, refused_from, -1, {0, 0, 0}, false, false, "MAIL FROM: 550 5.7.1",
       false, false},
      {"pipelined, DATA refused after accepted RCPTs", true, data_refused, -1, {250, 250, 450}, true, false,
       "DATA: 554 5.3.0", false, true},
      {"lock-step, DATA refused", false, data_refused, -1, {250, 250, 450}, true, false, "DATA: 554 5.3.0", false,
       true},
      {"pipelined, nobody accepted but DATA answered 354", true, nobody, -1, {550, 550, 551}, true, false,
       "RCPT TO <c@x>: 551 5.1.6", false, true},
      {"lock-step, nobody accepted: no DATA", false, nobody, -1, {550, 550, 551}, true, false,
       "RCPT TO <c@x>: 551 5.1.6", false, true},
      // MAIL and three RCPT replies arrive, then the connection breaks.
      {"pipelined, cut after the RCPT replies", true, mixed, 5, {250, 550, 250}, true, false,
       "DATA: connection lost", false, false},
      {"lock-step, cut after the RCPT replies", false, mixed, 5, {250, 550, 250}, true, false,
       "DATA: connection lost", false, false},
      {"pipelined, cut in the middle of the RCPT replies", true, mixed, 2, {250, 0, 0}, true, false,
       "RCPT TO: connection lost", false, false},
      {"pipelined, final reply temporary", true, end_refused, -1, {250, 250, 250}, true, false,
       "end of data: 451 4.3.0", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link = ScriptedLink();
    c.script.Install(link);
    link.cut_after_lines = c.cut_after_lines;
    auto session = NewSession(c.pipelining);
    ASSERT_TRUE(session->Open().ok());
    const SmtpTransaction t = session->Send("owner@x", {"a@x", "b@x", "c@x"}, kMessage);
    ASSERT_EQ(t.recipients.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.recipients[i].code, c.codes[i]) << t.recipients[i].address;
    EXPECT_EQ(t.reached_rcpt, c.reached_rcpt);
    EXPECT_EQ(t.message_taken, c.taken);
    EXPECT_TRUE(StartsWith(t.failure, c.failure)) << t.failure;
    EXPECT_EQ(!link.messages().empty() && link.messages()[0] == kMessage, c.message_sent);
    EXPECT_EQ(link.Count("RSET"), c.rset ? 1 : 0);
    if (c.pipelining && c.cut_after_lines < 0) {
      // Everything up to DATA in the first write.
      EXPECT_EQ(link.writes().at(0).bytes,
                "MAIL FROM:<owner@x>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nDATA\r\n");
    }
    if (!c.pipelining) {
      for (const auto& w : link.writes()) {
        if (w.bytes.find("\r\n") + 2 != w.bytes.size()) {
          EXPECT_EQ(w.bytes.rfind("Subject", 0), 0u) << "one command per write: " << w.bytes;
        }
      }
    }
    // The session is still in step (or reconnects): a second transaction
    // goes through.
    SmtpScript fine;
    fine.Install(link);
    link.cut_after_lines = -1;
    const SmtpTransaction next = session->Send("owner@x", {"d@x"}, kMessage);
    EXPECT_TRUE(next.message_taken) << next.failure;
    EXPECT_EQ(next.recipients[0].code, 250);
  }
}

TEST_F(SmtpPipeliningTest, MessageIsDotStuffedAndEnded) {
  SmtpScript script;
  script.Install(link);
  auto session = NewSession(true);
  const SmtpTransaction t = session->Send("o@x", {"a@x"}, "Subject: x\r\n\r\n.hidden\r\n..two\r\nlast");
  EXPECT_TRUE(t.message_taken) << t.failure;
  ASSERT_EQ(link.writes().size(), 2u);
  EXPECT_EQ(link.writes()[1].bytes, "Subject: x\r\n\r\n..hidden\r\n...two\r\nlast\r\n.\r\n");
  session->Close();
  EXPECT_EQ(link.commands().back(), "QUIT");
}

// The delivery logic over the pipelined session: 452 in the middle of a
// batch moves the rest into the next transaction, on the same connection,
// and nobody gets the message twice.
TEST_F(SmtpPipeliningTest, TooManyRecipientsMidBatchGoIntoTheNextTransaction) {
  int in_transaction = 0;
  std::vector<std::vector<std::string>> envelopes(1);
  link.answer = [&](const std::string& line) -> std::string {
    if (StartsWith(line, "MAIL")) {
      in_transaction = 0;
      return "250 OK\r\n";
    }
    if (StartsWith(line, "RCPT")) {
      if (++in_transaction > 2) return "452 4.5.3 Too many recipients\r\n";
      envelopes.back().push_back(line.substr(9, line.size() - 10));
      return "250 OK\r\n";
    }
    if (line == "DATA") return "354 go\r\n";
    if (line == ".") {
      envelopes.emplace_back();
      return "250 queued\r\n";
    }
    return "221 bye\r\n";
  };
  const std::vector<std::string> all = {"a@x", "b@x", "c@x", "d@x", "e@x"};
  const DeliveryReport report = DeliverMessage(*this, SmtpServer{}, "o@x", kMessage, all, 4, nullptr);
  EXPECT_EQ(report.delivered, (std::vector<std::string>{"a@x", "b@x", "e@x", "c@x", "d@x"}));
  EXPECT_TRUE(report.refused.empty());
  EXPECT_TRUE(report.deferred.empty());
  EXPECT_EQ(link.connections(), 1);
  EXPECT_EQ(link.messages().size(), 3u);
  // Each transaction's commands went out in one write.
  int batches = 0;
  for (const auto& w : link.writes()) batches += StartsWith(w.bytes, "MAIL FROM:");
  EXPECT_EQ(batches, 3);
}

// Through the delivery logic: what each failing pipelined flow leaves
// refused, deferred or delivered.
TEST_F(SmtpPipeliningTest, DeliveryOutcomeOfFailingPipelinedTransactions) {
  SmtpScript refused_from;
  refused_from.mail = "550 5.7.1 sender refused\r\n";
  refused_from.rcpt["a@x"] = refused_from.rcpt["b@x"] = "503 need MAIL\r\n";
  refused_from.data = "503 need RCPT\r\n";
  SmtpScript data_refused;
  data_refused.rcpt["b@x"] = "550 5.1.1 unknown\r\n";
  data_refused.data = "554 5.3.0 no\r\n";
  SmtpScript cut = data_refused;
  cut.data = "354 go\r\n";
  struct Row {
    const char* name;
    SmtpScript script;
    int cut_after_lines;
    std::vector<std::string> delivered, refused, deferred;
    bool server_failed;
  };
  const std::vector<Row> rows = {
      {"refused MAIL FROM", refused_from, -1, {}, {"a@x", "b@x"}, {}, true},
      {"DATA refused", data_refused, -1, {}, {"a@x", "b@x"}, {}, false},
      {"cut after the RCPT replies", cut, 3, {}, {"b@x"}, {"a@x"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    link = ScriptedLink();
    row.script.Install(link);
    link.cut_after_lines = row.cut_after_lines;
    const DeliveryReport r = DeliverMessage(*this, SmtpServer{}, "o@x", kMessage, {"a@x", "b@x"}, 10, nullptr);
    std::vector<std::string> refused, deferred;
    for (const auto& [a, why] : r.refused) refused.push_back(a);
    for (const auto& [a, why] : r.deferred) deferred.push_back(a);
    EXPECT_EQ(r.delivered, row.delivered);
    EXPECT_EQ(refused, row.refused);
    EXPECT_EQ(deferred, row.deferred);
    EXPECT_EQ(r.server_failed, row.server_failed);
    EXPECT_TRUE(link.messages().empty());
  }
}

TEST(EhloLineTest, FindsTheKeyword) {
  EXPECT_TRUE(EhloLineAnnounces("250-PIPELINING", "PIPELINING"));
  EXPECT_TRUE(EhloLineAnnounces("250 pipelining\r\n", "PIPELINING"));
  EXPECT_FALSE(EhloLineAnnounces("250-PIPELININGX", "PIPELINING"));
  EXPECT_FALSE(EhloLineAnnounces("250-8BITMIME PIPELINING", "PIPELINING"));
  EXPECT_FALSE(EhloLineAnnounces("550 PIPELINING", "PIPELINING"));
}

}  // namespace
}  // namespace kelmora
