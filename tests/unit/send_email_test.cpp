// SPDX-License-Identifier: GPL-3.0-or-later
// The BCC sender: the recipient list, body, subject and list number of one
// send, the retry, the saved sequence number and the failure log line; and
// the list-tag helpers.
#include "send/send_email.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/fake_local_reception.h"
#include "tests/unit/dispatch_fixture.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// A send in the mode of the program's last cycle.
bool Send(Program& program, const OutgoingMail& mail) {
  return SendEMail(program.send_context(), mail, program.reception_mode()).ok();
}

using fixture::Ini;
using fixture::Rule;

constexpr const char* kClub = "club@example.test";
constexpr const char* kTaro = "\"Taro\" <taro@example.test>";

TEST(StripMLTagTest, CutsTheFirstTagAndKeepsTheBlanksAroundIt) {
  EXPECT_EQ(StripMLTag("Re: [abc:0012(25)] hello", "[abc]"), "Re:  hello");
  EXPECT_EQ(StripMLTag("x [abc:1] y [abc:2] z", "[abc]"), "x  y [abc:2] z");
  EXPECT_EQ(StripMLTag("[abc:0001(3)]", "[abc]"), "");
}

TEST(StripMLTagTest, LeavesSubjectsWithoutACompleteTagAlone) {
  EXPECT_EQ(StripMLTag("hello", "[abc]"), "hello");
  EXPECT_EQ(StripMLTag("[abc without close", "[abc]"), "[abc without close");
  EXPECT_EQ(StripMLTag("] before [abc", "[abc]"), "] before [abc");
  EXPECT_EQ(StripMLTag("[ABC:0001(2)] case", "[abc]"), "[ABC:0001(2)] case");
}

TEST(MLTagTest, NumberHasAtLeastFourDigitsAndTheMemberCountFollows) {
  EXPECT_EQ(MLTag("[abc]", 12, 25), "[abc:0012(25)] ");
  EXPECT_EQ(MLTag("[abc]", 10000, 3), "[abc:10000(3)] ");
  EXPECT_EQ(MLTag("[abc]", 0, 0), "[abc:0000(0)] ");
  EXPECT_EQ(WithoutTrailing("[abc]", ']'), "[abc");
  EXPECT_EQ(WithoutTrailing("abc", ']'), "abc");
  EXPECT_EQ(WithoutTrailing("", ']'), "");
}

class SendEMailTest : public fixture::DispatchFixture {
 protected:
  void SetUp() override {
    DispatchFixture::SetUp();
    WriteMembers("members.txt", {"a@example.test", "b@example.test"});
  }

  void StartWith(const std::vector<Rule>& rules, const Ini& ini = Ini{}) {
    WriteMaster(rules);
    WriteIni(ini);
    ASSERT_TRUE(Start());
  }

  static OutgoingMail Out(int index, ListTagMode flag, const std::string& subject = "hello") {
    OutgoingMail m;
    m.ToAddr = "taro@example.test";
    m.ToName = "Taro";
    m.MasterIndex = index;
    m.OriginalSender = kTaro;
    m.ReceivedSubject = subject;
    m.Msg = "body";
    m.ListTag = flag;
    return m;
  }

  std::string SavedSequenceLine() const { return Lines(ReadFile("Kelmora.ini")).at(1); }
};

// ---------------------------------------------------------------------------
// Recipients

TEST_F(SendEMailTest, RowWithToNameSendsToTheNameWithMembersAsBlindCopies) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt", .ToName = "Club Members"}});
  ASSERT_TRUE(Send(program(), Out(0, kPlainMessage)));
  ASSERT_EQ(mail_.sent.size(), 1u);
  const SentMail& s = mail_.sent[0];
  EXPECT_EQ(s.recipients, "@Club Members\tbcc\ta@example.test\tb@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
  EXPECT_EQ(s.server, "127.0.0.1:2525");
  EXPECT_EQ(s.from, "owner@example.test");
  EXPECT_EQ(s.subject, "Fw:hello");
  EXPECT_EQ(s.body, "body");
  EXPECT_EQ(s.attachments, "");
}

TEST_F(SendEMailTest, RowWithoutToNameSendsToTheListAddress) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"}});
  OutgoingMail m = Out(0, kPlainMessage);
  m.AttachmentPaths = "/tmp/x/a.pdf\t/tmp/x/b.png";
  ASSERT_TRUE(Send(program(), m));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients,
            "club@example.test\tbcc\ta@example.test\tb@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
  EXPECT_EQ(mail_.sent[0].attachments, "/tmp/x/a.pdf\t/tmp/x/b.png");
}

TEST_F(SendEMailTest, ReplyGoesToTheGivenAddressAndTheRowsMembersFollowVisibly) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt", .ToName = "Club Members"}});
  ASSERT_TRUE(Send(program(), Out(0, kGeneratedReply)));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, "taro@example.test\ta@example.test\tb@example.test\t>Message-ID: Kelmora"
                                      "\t;Auto-Submitted: auto-replied");
  EXPECT_EQ(mail_.sent[0].subject, "Fw:hello");
}

TEST_F(SendEMailTest, SentMailIsKeptInTheLogFolderWhenLoggingIsOn) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"}}, Ini{.log_sent_mail = 1});
  ASSERT_TRUE(Send(program(), Out(0, kPlainMessage)));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, "club@example.test\tbcc\ta@example.test\tb@example.test\t>Message-ID: "
                                      "Kelmora\t>#save " + dir_ + "/log" +
                                      "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>"
                                      "\t;X-Loop: club@example.test\t;Precedence: list");
}

TEST_F(SendEMailTest, EmptySlotsOfAShortListAreSkippedAndNotCounted) {
  WriteMembers("short.txt", {"only@example.test"});
  WriteMembers("long.txt", {"x@example.test", "y@example.test", "z@example.test"});
  StartWith({Rule{.ToAddr = "short@example.test", .Keyword = "[def]", .Destination = "short.txt", .ForwardSubject = "[def]"},
             Rule{.ToAddr = "long@example.test", .Keyword = "news", .Destination = "long.txt"}});
  ASSERT_EQ(program().members().slot_count, 3);
  ASSERT_TRUE(Send(program(), Out(0, kTitleIsListTag)));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, "short@example.test\tbcc\tonly@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <def.example.test>\t;List-Post: <mailto:short@example.test>"
            "\t;X-Loop: short@example.test\t;Precedence: list");
  EXPECT_EQ(mail_.sent[0].subject, "[def:0001(1)] hello");
}

// ---------------------------------------------------------------------------
// Body and subject

TEST_F(SendEMailTest, TopTextTakesTheSenderAtItsFirstMarkOnlyAndBottomTextFollows) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt", .TextBefore = "先頭 ＠＠ と ＠＠",
                  .TextAfter = "-- 末尾"}});
  ASSERT_TRUE(Send(program(), Out(0, kPlainMessage)));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].body, "先頭 \"Taro\" <taro@example.test> と ＠＠\r\nbody\r\n-- 末尾");
}

TEST_F(SendEMailTest, RowTitleReplacesTheForwardedSubject) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt", .ForwardSubject = "お知らせ"},
             Rule{.ToAddr = kClub, .Keyword = "info", .Destination = "members.txt"}});
  ASSERT_TRUE(Send(program(), Out(0, kPlainMessage)));
  ASSERT_TRUE(Send(program(), Out(1, kPlainMessage, " spaced ")));
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].subject, "お知らせ");
  EXPECT_EQ(mail_.sent[1].subject, "Fw: spaced ");
}

TEST_F(SendEMailTest, ListPostIsNumberedPerRowAndTheNumberIsSaved) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"},
             Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}},
            Ini{.sequence = {5, 11}});
  ASSERT_TRUE(Send(program(), Out(1, kSubjectHasListTag)));
  ASSERT_TRUE(Send(program(), Out(1, kTitleIsListTag, "again")));
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].subject, "[abc:0012(2)] hello");
  EXPECT_EQ(mail_.sent[1].subject, "[abc:0013(2)] again");
  EXPECT_EQ(SavedSequenceLine(), "5,13");
  EXPECT_EQ(program().settings().MlSequenceNumbers, (std::vector<std::int32_t>{5, 13}));
}

// The number is stored before the post goes out: a program killed right
// after the send must not give the next post the same number.
TEST_F(SendEMailTest, TheNumberIsStoredBeforeThePostGoesOut) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}}, Ini{.sequence = {7}});
  std::string saved_when_sent;
  mail_.on_send = [&](const SentMail&) { saved_when_sent = SavedSequenceLine(); };
  ASSERT_TRUE(Send(program(), Out(0, kSubjectHasListTag)));
  EXPECT_EQ(saved_when_sent, "8");
}

// A number that could not be stored could be handed out again after a
// restart: the post does not go out, and the number is the next post's.
TEST_F(SendEMailTest, APostWhoseNumberCannotBeStoredDoesNotGoOut) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}}, Ini{.sequence = {7}});
  disk_.InjectFault(FakeFileSystem::kWrite | FakeFileSystem::kCreateNew | FakeFileSystem::kRename, "Kelmora.ini");
  EXPECT_FALSE(Send(program(), Out(0, kSubjectHasListTag)));
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(StartsWith(MainLog(), "ＢＣＣでの転送で何らかの異常が発生：")) << MainLog();
  EXPECT_TRUE(Contains(MainLog(), "(75)")) << MainLog();

  disk_.ClearFaults();
  ASSERT_TRUE(Send(program(), Out(0, kSubjectHasListTag)));
  EXPECT_EQ(mail_.sent.at(0).subject, "[abc:0008(2)] hello");
  EXPECT_EQ(SavedSequenceLine(), "8");
}

TEST_F(SendEMailTest, PlainAndReplySendsLeaveTheNumberAlone) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}}, Ini{.sequence = {7}});
  ASSERT_TRUE(Send(program(), Out(0, kPlainMessage)));
  ASSERT_TRUE(Send(program(), Out(0, kGeneratedReply)));
  EXPECT_EQ(mail_.sent.at(0).subject, "Fw:hello");
  EXPECT_EQ(program().settings().MlSequenceNumbers.at(0), 7);
  EXPECT_EQ(SavedSequenceLine(), "7") << "nothing was written";
}

TEST_F(SendEMailTest, NumberAfter9999HasFiveDigits) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}}, Ini{.sequence = {9999}});
  ASSERT_TRUE(Send(program(), Out(0, kSubjectHasListTag)));
  EXPECT_EQ(mail_.sent.at(0).subject, "[abc:10000(2)] hello");
  EXPECT_EQ(SavedSequenceLine(), "10000");
}

TEST_F(SendEMailTest, NumberAtTheTopOfItsRangeIsNotWrappedIntoANegativeTag) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}},
            Ini{.sequence = {2147483647}});
  EXPECT_FALSE(Send(program(), Out(0, kSubjectHasListTag)));
  for (const SentMail& s : mail_.sent) {
    EXPECT_FALSE(Contains(s.subject, ":-")) << s.subject;
  }
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(StartsWith(MainLog(), "ＢＣＣでの転送で何らかの異常が発生：")) << MainLog();
  EXPECT_FALSE(Contains(ReadFile("Kelmora.ini"), "-2147483648"));
}

// ---------------------------------------------------------------------------
// Failures and the retry

TEST_F(SendEMailTest, NumberIsKeptAndSavedWhenTheSendFails) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"},
             Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}},
            Ini{.sequence = {0, 41}});
  mail_.fail_always = true;
  EXPECT_FALSE(Send(program(), Out(1, kSubjectHasListTag)));
  EXPECT_EQ(mail_.sent.size(), 1u) << "no retry outside POP3 mode";
  EXPECT_EQ(SavedSequenceLine(), "0,42");
  EXPECT_EQ(MainLog(), "ＢＣＣでの転送エラー：550 5.1.1 recipient refused。Master.txtの2行目の処理 at " +
                           std::string(kStamp) + "\r\n");
}

TEST_F(SendEMailTest, FailedSendIsRetriedOnceInPop3Mode) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "[abc]", .Destination = "members.txt"}}, Ini{.sequence = {3}});
  ASSERT_TRUE(EnterPop3Mode());
  mail_.failing_calls = {0};
  EXPECT_TRUE(Send(program(), Out(0, kSubjectHasListTag)));
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[1].recipients, mail_.sent[0].recipients);
  EXPECT_EQ(mail_.sent[1].subject, "[abc:0004(2)] hello") << "the retry reuses the number";
  EXPECT_EQ(mail_.sent[1].body, mail_.sent[0].body);
  EXPECT_EQ(SavedSequenceLine(), "4");
  EXPECT_EQ(MainLog(), "");
}

TEST_F(SendEMailTest, SecondFailureInPop3ModeIsLoggedWithTheRowNumber) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"},
             Rule{.ToAddr = kClub, .Keyword = "info", .Destination = "members.txt"},
             Rule{.ToAddr = kClub, .Keyword = "misc", .Destination = "members.txt"}});
  ASSERT_TRUE(EnterPop3Mode());
  mail_.fail_always = true;
  mail_.failure_text = "connection refused";
  EXPECT_FALSE(Send(program(), Out(2, kPlainMessage)));
  EXPECT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(MainLog(), "ＢＣＣでの転送エラー：connection refused。Master.txtの3行目の処理 at " + std::string(kStamp) +
                           "\r\n");
}

TEST_F(SendEMailTest, ErrorInsideTheSendIsLoggedAndReportedAsFailure) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"}});
  mail_.on_send = [](const SentMail&) { throw std::runtime_error("socket closed"); };
  EXPECT_FALSE(Send(program(), Out(0, kPlainMessage)));
  EXPECT_EQ(MainLog(), "ＢＣＣでの転送で何らかの異常が発生：socket closed(1) at " + std::string(kStamp) + "\r\n");
}

TEST_F(SendEMailTest, NoRetryInLocalStoreMode) {
  WriteMaster({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"}});
  WriteFile("Kelmora.ini", "me,,1,0,0,1,0,0,9,10\r\n0\r\n");
  ASSERT_TRUE(Start());
  FakeLocalReception store(1);
  fixture::IdleProcessor idle;
  roads_.local = &store;
  roads_.processor = &idle;
  RunCycle();
  ASSERT_EQ(program().reception_mode(), ReceptionMode::kLocalStore);
  mail_.fail_always = true;
  EXPECT_FALSE(Send(program(), Out(0, kPlainMessage)));
  EXPECT_EQ(mail_.sent.size(), 1u);
  roads_.local = nullptr;
}

TEST_F(SendEMailTest, UnknownRowIsReportedNotFollowed) {
  StartWith({Rule{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt"}});
  EXPECT_FALSE(Send(program(), Out(5, kSubjectHasListTag)));
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(StartsWith(MainLog(), "ＢＣＣでの転送で何らかの異常が発生：")) << MainLog();
}

}  // namespace
}  // namespace kelmora
