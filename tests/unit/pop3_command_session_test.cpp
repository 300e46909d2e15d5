// SPDX-License-Identifier: GPL-3.0-or-later
// The POP3 command layer on a scripted server: the pipelined RETR window,
// DELE batches, and what a refusal or a cut connection in the middle leaves.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/scripted_channel.h"
#include "pop3/pop3_command_session.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

class Pop3PipeliningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 6; ++n) {
      mailbox[n] = "Subject: m" + std::to_string(n) + "\r\n\r\n.dotted line " + std::to_string(n) + "\r\n";
    }
    link.answer = [this](const std::string& line) -> std::string {
      auto it = refuse.find(line);
      if (it != refuse.end()) return it->second + "\r\n";
      if (StartsWith(line, "RETR ")) {
        std::string body;
        for (const std::string& l : Split(mailbox[std::stoi(line.substr(5))], "\r\n")) {
          if (!l.empty()) body += (l[0] == '.' ? "." : "") + l + "\r\n";
          else body += "\r\n";
        }
        return "+OK message follows\r\n" + body.substr(0, body.size() - 2) + ".\r\n";
      }
      if (StartsWith(line, "DELE ") || line == "NOOP" || line == "QUIT") return "+OK\r\n";
      return "-ERR unknown\r\n";
    };
  }
  std::unique_ptr<Pop3CommandSession> NewSession(bool pipelining) {
    return std::make_unique<Pop3CommandSession>(
        [this, pipelining]() {
          Pop3Connection c;
          c.channel = link.Connect();
          c.pipelining = pipelining;
          return c;
        },
        [](const std::string& text) { return text; });
  }
  static std::vector<Pop3Session::Wanted> Wanted(std::vector<int> numbers, std::uint64_t size = 40) {
    std::vector<Pop3Session::Wanted> out;
    for (int n : numbers) out.push_back(Pop3Session::Wanted{n, size});
    return out;
  }
  // The RETR/DELE lines of every write, one string per write.
  std::vector<std::string> Writes() const {
    std::vector<std::string> out;
    for (const auto& w : link.writes()) out.push_back(w.bytes);
    return out;
  }

  std::map<int, std::string> mailbox;
  std::map<std::string, std::string> refuse;
  ScriptedLink link;
};

struct RetrCase {
  const char* name;
  bool pipelining;
  std::string refused;    // command refused with -ERR, or ""
  int cut_after_lines;    // -1: never
  int stop_after;         // `each` says stop after this many, 0: never
  size_t handed;
  bool ok;
  std::string refusal;
  bool in_step;           // a later command still works on this session
};

TEST_F(Pop3PipeliningTest, RetrWindowHandsOutWholeMessagesInOrder) {
  const std::vector<RetrCase> cases = {
      {"pipelined, all", true, "", -1, 0, 5, true, "", true},
      {"lock-step, all", false, "", -1, 0, 5, true, "", true},
      {"pipelined, RETR 3 refused mid-window", true, "RETR 3", -1, 0, 2, false, "-ERR gone", true},
      {"lock-step, RETR 3 refused", false, "RETR 3", -1, 0, 2, false, "-ERR gone", true},
      {"pipelined, store stops after 2", true, "", -1, 2, 2, true, "", true},
      // Status + 3 lines + end mark = 5 lines per message: cut inside the third.
      {"pipelined, cut inside message 3", true, "", 12, 0, 2, false, "", false},
      {"lock-step, cut inside message 3", false, "", 12, 0, 2, false, "", false},
  };
  for (const RetrCase& c : cases) {
    SCOPED_TRACE(c.name);
    link = ScriptedLink();
    SetUp();
    refuse.clear();
    if (!c.refused.empty()) refuse[c.refused] = "-ERR gone";
    link.cut_after_lines = c.cut_after_lines;
    auto session = NewSession(c.pipelining);
    std::string buffer;
    std::vector<std::string> got;
    size_t handed = 99;
    const Pop3Reply r = session->RetrMany(Wanted({1, 2, 3, 4, 5}), &buffer, [&](size_t k) {
      got.push_back(buffer);
      return c.stop_after == 0 || got.size() < static_cast<size_t>(c.stop_after);
    }, &handed);
    EXPECT_EQ(r.ok(), c.ok) << r.status.message();
    EXPECT_EQ(r.refusal, c.refusal);
    EXPECT_EQ(handed, c.handed);
    ASSERT_EQ(got.size(), c.handed);
    for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], mailbox[static_cast<int>(k) + 1]);
    if (c.pipelining && c.cut_after_lines < 0) {
      EXPECT_EQ(Writes().at(0), "RETR 1\r\nRETR 2\r\nRETR 3\r\nRETR 4\r\nRETR 5\r\n");
    }
    if (!c.pipelining) {
      for (const std::string& w : Writes()) EXPECT_EQ(Split(w, "\r\n").size(), 2u) << w;
    }
    // Whatever was still on the way was read: the next command gets its own answer.
    std::string next;
    const Pop3Reply again = session->Retr(6, &next);
    EXPECT_EQ(again.ok() && next == mailbox[6], c.in_step) << next;
  }
}

TEST_F(Pop3PipeliningTest, WindowIsBoundedInBytes) {
  auto session = NewSession(true);
  std::string buffer;
  size_t handed = 0;
  const std::uint64_t mb = 1u << 20;
  // LIST says 1.5 MB each: two fit in the window, the third waits until
  // the first is read.
  const Pop3Reply r =
      session->RetrMany(Wanted({1, 2, 3, 4}, mb + mb / 2), &buffer, [](size_t) { return true; }, &handed);
  EXPECT_TRUE(r.ok()) << r.status.message();
  EXPECT_EQ(handed, 4u);
  EXPECT_EQ(Writes(), (std::vector<std::string>{"RETR 1\r\nRETR 2\r\n", "RETR 3\r\n", "RETR 4\r\n"}));
}

TEST_F(Pop3PipeliningTest, DeleBatchGoesInOneWriteAndARefusalKeepsStep) {
  struct DeleCase {
    const char* name;
    bool pipelining;
    std::string refused;
    size_t deleted;
    size_t writes;
  };
  const std::vector<DeleCase> cases = {
      {"pipelined", true, "", 4, 1},
      {"lock-step", false, "", 4, 4},
      {"pipelined, second refused", true, "DELE 2", 1, 1},
      {"lock-step, second refused", false, "DELE 2", 1, 2},
  };
  for (const DeleCase& c : cases) {
    SCOPED_TRACE(c.name);
    link = ScriptedLink();
    SetUp();
    refuse.clear();
    if (!c.refused.empty()) refuse[c.refused] = "-ERR locked";
    auto session = NewSession(c.pipelining);
    size_t deleted = 99;
    const Pop3Reply r = session->DeleMany({1, 2, 3, 4}, &deleted);
    EXPECT_EQ(r.ok(), c.refused.empty());
    EXPECT_EQ(deleted, c.deleted);
    EXPECT_EQ(link.writes().size(), c.writes);
    EXPECT_TRUE(session->Noop().ok());
    session->Quit();
    EXPECT_EQ(link.commands().back(), "QUIT");
  }
}

TEST_F(Pop3PipeliningTest, AFailedConnectNamesItsStepAndEndsTheSession) {
  Pop3CommandSession session(
      [] {
        Pop3Connection c;
        c.failure = Pop3Reply::Failed("wrong password S3cret", "-ERR S3cret refused", "login");
        return c;
      },
      [](const std::string& text) { return ReplaceAll(text, "S3cret", "***"); });
  ASSERT_TRUE(session.Open().ok());
  std::string answer;
  const Pop3Reply r = session.List(&answer);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.step, "login");
  EXPECT_EQ(r.status.message(), "wrong password ***");
  EXPECT_EQ(r.refusal, "-ERR *** refused");
  EXPECT_FALSE(session.Noop().ok());
}

}  // namespace
}  // namespace kelmora
