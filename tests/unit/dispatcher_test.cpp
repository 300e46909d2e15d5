// SPDX-License-Identifier: GPL-3.0-or-later
// The rule dispatcher, driven through whole mail-check cycles: which rows
// apply to a message, what each row hands to the sender, and what becomes
// of every stored message afterwards.
#include "process/dispatcher.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "mail/pop3_inbox.h"
#include "tests/unit/dispatch_fixture.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

using fixture::Ini;
using fixture::Message;
using fixture::Rule;

constexpr const char* kClub = "club@example.test";
constexpr const char* kToOther = "\"Other\" <other@example.test>";
// The recipients of a forward to members.txt (a@ and b@) through the club.
// The program's own headers of a post through the club (no row removes
// members of its file) follow the items.
constexpr const char* kClubRecipients =
    "club@example.test\tbcc\ta@example.test\tb@example.test\t>Message-ID: Kelmora"
    "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test"
    "\t;Precedence: list";
// The recipients of a reply to Taro from a row without a destination list;
// every reply is marked as automatic.
constexpr const char* kReplyToTaro = "taro@example.test\t>Message-ID: Kelmora\t;Auto-Submitted: auto-replied";

class DispatcherTest : public fixture::DispatchFixture {
 protected:
  void SetUp() override {
    DispatchFixture::SetUp();
    WriteMembers("members.txt", {"a@example.test", "b@example.test"}, {"secret", "pw2"});
  }

  // A plain forwarding row of the club to members.txt.
  static Rule Forward(const std::string& keyword) {
    return Rule{.ToAddr = kClub, .Keyword = keyword, .Destination = "members.txt"};
  }

  // Starts the program with `rules` and `ini`, runs one cycle.
  void Run(const std::vector<Rule>& rules, const Ini& ini = Ini{}) {
    WriteMaster(rules);
    WriteIni(ini);
    ASSERT_TRUE(Start());
    RunCycle();
  }

  std::vector<std::string> Subjects() const {
    std::vector<std::string> out;
    for (const SentMail& s : mail_.sent) out.push_back(s.subject);
    return out;
  }
};

// ---------------------------------------------------------------------------
// Wildcard rows

TEST_F(DispatcherTest, WildcardRowDeletesByKeywordFromAnyAddressButNeverForwards) {
  WriteMaster({Rule{.ToAddr = "*", .Keyword = "spam", .Delete = "自動削除"}, Forward("spam")});
  WriteIni(Ini{.log_received_mail = 1});
  AddMessage("m1.eml", Message{.to = kToOther, .subject = "Cheap ＳＰＡＭ offer"});
  AddMessage("m2.eml", Message{.subject = "more spam for the club"});
  AddMessage("m3.eml", Message{.to = kToOther, .subject = "spa day"});
  ASSERT_TRUE(Start());
  RunCycle();

  EXPECT_TRUE(mail_.sent.empty()) << "a wildcard row only deletes, and it ended m2 before the forward row";
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_FALSE(ReceiveFileExists("m2.eml"));
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m3.txt"), "宛先：")) << "no row took it: kept beside its readable form";
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml", "m2.eml", "m3.eml"}));
}

TEST_F(DispatcherTest, VirusRowDeletesAttachmentMailWithEmptySubjectWhateverTheKeyword) {
  // The row names a list, yet a wildcard row never sends to it.
  WriteMaster({Rule{.ToAddr = "*", .Keyword = "virus-x", .Destination = "members.txt",
                    .Delete = "ウイルスメール自動削除"}});
  WriteIni(Ini{.log_received_mail = 1});
  AddMessage("m1.eml", Message{.subject = "", .attachments = {"m1-a.exe"}});
  AddMessage("m2.eml", Message{.subject = ""});  // no attachment
  AddMessage("m3.eml", Message{.subject = "hello", .attachments = {"m3-a.exe"}});
  AddMessage("m4.eml", Message{.to = kToOther, .subject = "see ＶＩＲＵＳ－Ｘ", .attachments = {"m4-a.exe"}});
  AddMessage("m5.eml", Message{.subject = "virus-x talk"});  // keyword, but no attachment
  ASSERT_TRUE(Start());
  RunCycle();

  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(ReceiveFileExists("m2.eml"));
  EXPECT_TRUE(ReceiveFileExists("m3.eml"));
  EXPECT_FALSE(ReceiveFileExists("m4.eml"));
  EXPECT_TRUE(ReceiveFileExists("m5.eml"));
  // Attachments of messages whose sends all went out are removed in any case.
  EXPECT_FALSE(ReceiveFileExists("m1-a.exe"));
  EXPECT_FALSE(ReceiveFileExists("m3-a.exe"));
  EXPECT_TRUE(mail_.sent.empty());
}

// ---------------------------------------------------------------------------
// Address and keyword matching

TEST_F(DispatcherTest, ToAddressMatchIsExactButKeywordIgnoresCaseAndWidth) {
  Run({Forward("news")}, Ini{.log_received_mail = 1});  // nothing queued yet
  AddMessage("m1.eml", Message{.to = "\"Club\" <Club@example.test>", .subject = "news"});
  AddMessage("m2.eml", Message{.subject = "ＮＥＷＳ of the week"});
  AddMessage("m3.eml", Message{.subject = "ｎｅｗｓ ｌｅｔｔｅｒ"});
  AddMessage("m4.eml", Message{.subject = "new s"});
  RunCycle();

  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].subject, "Fw:ＮＥＷＳ of the week");
  EXPECT_EQ(mail_.sent[1].subject, "Fw:ｎｅｗｓ ｌｅｔｔｅｒ");
  EXPECT_EQ(mail_.sent[0].recipients, kClubRecipients);
}

// ---------------------------------------------------------------------------
// Sender check

TEST_F(DispatcherTest, SenderAddressMustEqualRecAddrExactly) {
  Rule r = Forward("news");
  r.SenderFilter = "taro@example.test";
  AddMessage("m1.eml", Message{.from = "\"Taro\" <taro@example.test>", .subject = "news 1"});
  AddMessage("m2.eml", Message{.from = "\"Taro\" <Taro@example.test>", .subject = "news 2"});
  AddMessage("m3.eml", Message{.from = "\"Jiro\" <jiro@example.test>", .subject = "news 3"});
  Run({r});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 1"}));
}

TEST_F(DispatcherTest, SenderFileThatIsALoadedListIsJudgedByTheList) {
  Rule r = Forward("news");
  r.SenderFilter = "members.txt";
  WriteMaster({r});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  // The file changes on disk; the loaded list stays as read at start-up.
  WriteMembers("members.txt", {"a@example.test", "b@example.test", "taro@example.test"});
  AddMessage("m1.eml", Message{.from = "\"Taro\" <taro@example.test>", .subject = "news from taro"});
  AddMessage("m2.eml", Message{.from = "\"A\" <a@example.test>", .subject = "news from a"});
  RunCycle();
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: from a"}));
}

TEST_F(DispatcherTest, SenderFileThatIsNoListIsReadAtEveryUse) {
  WriteLinesFile("senders.txt", {"; people allowed to post", "1, taro@example.test ,x"});
  Rule r = Forward("news");
  r.SenderFilter = "senders.txt";
  WriteMaster({r});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  AddMessage("m1.eml", Message{.from = "\"Taro\" <taro@example.test>", .subject = "news 1"});
  AddMessage("m2.eml", Message{.from = "\"Jiro\" <jiro@example.test>", .subject = "news 2"});
  RunCycle();
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 1"}));

  WriteLinesFile("senders.txt", {"1,taro@example.test,x", "2,jiro@example.test,y"});
  AddMessage("m3.eml", Message{.from = "\"Jiro\" <jiro@example.test>", .subject = "news 3"});
  RunCycle();
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 1", "Fw: 3"}));
}

TEST_F(DispatcherTest, NewForwardServesOnlySendersNotListed) {
  // One row filters by a loaded list, the other by a single address.
  Rule by_file{.ToAddr = kClub, .SenderFilter = "members.txt", .Keyword = "news", .Destination = "members.txt",
               .Process = "新規転送"};
  Rule by_address{.ToAddr = "open@example.test", .SenderFilter = "a@example.test", .Keyword = "news",
                  .Destination = "members.txt", .Process = "新規転送"};
  AddMessage("m1.eml", Message{.from = "\"A\" <a@example.test>", .subject = "news 1"});
  AddMessage("m2.eml", Message{.from = "\"Taro\" <taro@example.test>", .subject = "news 2"});
  AddMessage("m3.eml", Message{.to = "<open@example.test>", .from = "\"A\" <a@example.test>", .subject = "news 3"});
  AddMessage("m4.eml", Message{.to = "<open@example.test>", .from = "\"Taro\" <taro@example.test>",
                               .subject = "news 4"});
  Run({by_file, by_address});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 2", "Fw: 4"}));
}

// ---------------------------------------------------------------------------
// Delete instructions

TEST_F(DispatcherTest, AutoDeleteRowEndsTheMessageBeforeLaterRows) {
  Rule drop{.ToAddr = kClub, .Keyword = "unsubscribe", .Delete = "自動削除"};
  AddMessage("m1.eml", Message{.subject = "news: UNSUBSCRIBE me"});
  AddMessage("m2.eml", Message{.subject = "news"});
  AddMessage("m3.eml", Message{.to = kToOther, .subject = "unsubscribe"});
  Run({drop, Forward("news")}, Ini{.log_received_mail = 1});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw:"}));
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(ReceiveFileExists("m2.eml"));
  EXPECT_TRUE(ReceiveFileExists("m3.eml"));
}

TEST_F(DispatcherTest, DeleteInstructionRemovesTheMessageAfterItWasSent) {
  Rule keep = Forward("news");
  Rule drop{.ToAddr = "drop@example.test", .Keyword = "news", .Destination = "members.txt", .Delete = "削除"};
  AddMessage("m1.eml", Message{.subject = "news 1"});
  AddMessage("m2.eml", Message{.to = "<drop@example.test>", .subject = "news 2"});
  Run({keep, drop}, Ini{.log_received_mail = 1});
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_TRUE(ReceiveFileExists("m1.eml"));
  EXPECT_FALSE(ReceiveFileExists("m2.eml"));
}

TEST_F(DispatcherTest, SentMessageIsDeletedWhenReceivedMailIsNotLogged) {
  AddMessage("m1.eml", Message{.subject = "news"});
  Run({Forward("news")}, Ini{.log_received_mail = 0});
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml"}));
}

// ---------------------------------------------------------------------------
// Auto save

class AutoSaveTest : public DispatcherTest {
 protected:
  static Rule SaveRow(const std::string& del = "") {
    return Rule{.ToAddr = kClub, .SenderFilter = "taro@example.test", .Keyword = "save", .Delete = del,
                .Process = "自動保存", .Msg = "save.txt"};
  }
  void SetUp() override {
    DispatcherTest::SetUp();
    WriteFile("save.txt", "old content\r\n");
  }
};

TEST_F(AutoSaveTest, SaveFileHoldsTheLatestBodyAndEveryEarlierOneSurvivesAsACopy) {
  AddMessage("m1.eml", Message{.subject = "save this", .body = "first\r\nmessage"});
  AddMessage("m2.eml", Message{.subject = "ＳＡＶＥ that", .body = "second"});
  Run({SaveRow(), Forward("save")}, Ini{.log_received_mail = 1});

  EXPECT_EQ(ReadBytes("save.txt"), "second\r\n");
  // Both saves fell in the same second: the second copy replaced the first.
  EXPECT_EQ(ReadBytes(std::string(kStamp14) + "save.txt"), "first\r\nmessage\r\n");
  EXPECT_TRUE(mail_.sent.empty()) << "a save ends the message; the forward row never sees it";
  EXPECT_TRUE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(ReceiveFileExists("m2.eml"));
}

TEST_F(AutoSaveTest, SaveWithDeleteInstructionRemovesTheMessage) {
  AddMessage("m1.eml", Message{.subject = "save", .body = "kept"});
  Run({SaveRow("削除")}, Ini{.log_received_mail = 1});
  EXPECT_EQ(ReadBytes("save.txt"), "kept\r\n");
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
}

TEST_F(AutoSaveTest, SaveWithDeleteAfterProcessingRemovesTheMessage) {
  AddMessage("m1.eml", Message{.subject = "save", .body = "kept"});
  AddMessage("m2.eml", Message{.from = "\"Jiro\" <jiro@example.test>", .subject = "save", .body = "not mine"});
  Run({SaveRow()}, Ini{.delete_after_processing = 1, .log_received_mail = 1});
  EXPECT_EQ(ReadBytes("save.txt"), "kept\r\n");
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(ReceiveFileExists("m2.eml")) << "the sender check keeps Jiro's mail out of the save row";
}

// A save that cannot be made must not cost the message: with a delete
// instruction it would be gone, its body nowhere. The earlier body must be
// safe in its copy before the new one replaces it.
TEST_F(AutoSaveTest, FailedSaveKeepsTheMessageAndTheEarlierBody) {
  struct Case {
    const char* what;
    unsigned ops;
    std::string path_part;
    int skip;
  };
  WriteMaster({SaveRow("削除")});
  WriteIni(Ini{.log_received_mail = 1});
  ASSERT_TRUE(Start());
  int n = 0;
  for (const Case& c : {Case{"the earlier body cannot be read", FakeFileSystem::kRead, "save.txt", 0},
                        Case{"its copy cannot be written", FakeFileSystem::kWrite, kStamp14, 0},
                        Case{"the new body cannot be written", FakeFileSystem::kWrite, "save.txt", 1}}) {
    SCOPED_TRACE(c.what);
    const std::string name = "m" + std::to_string(++n);
    AddMessage(name + ".eml", Message{.subject = "save", .body = "new body"});
    disk_.InjectFault(c.ops, c.path_part, c.skip);
    RunCycle();
    disk_.ClearFaults();

    EXPECT_EQ(ReadBytes("save.txt"), "old content\r\n");
    EXPECT_FALSE(ReceiveFileExists(name + ".eml"));
    EXPECT_EQ(ReadReceiveFile(name + "Error.txt"), "raw message " + name + ".eml\r\n") << "set aside, not deleted";
    const std::vector<std::string> log = Lines(MainLog());
    ASSERT_EQ(log.size(), static_cast<size_t>(n));
    EXPECT_TRUE(StartsWith(log.back(), "自動保存で保存用ファイルに書き込めません：")) << log.back();
  }
}

// ---------------------------------------------------------------------------
// List tags, loop guard, keyword in the first body line

TEST_F(DispatcherTest, ListTagInSubjectIsRenumberedAndStoredInTheSettings) {
  Rule list = Forward("[abc]");
  AddMessage("m1.eml", Message{.subject = "Re: [abc:0003(2)] hi"});
  AddMessage("m2.eml", Message{.subject = "hi without tag"});
  AddMessage("m3.eml", Message{.from = "\"Club\" <club@example.test>", .subject = "[abc:0004(2)] echo"});
  Run({list}, Ini{.sequence = {11}});

  EXPECT_EQ(Subjects(), (std::vector<std::string>{"[abc:0012(2)] Re:  hi"}))
      << "untagged mail is not for this row; the list's own posting coming back is skipped";
  EXPECT_EQ(Lines(ReadFile("Kelmora.ini")).at(1), "12");
}

TEST_F(DispatcherTest, TitleEqualToListTagTakesEveryMessageExceptTheListsOwn) {
  Rule list = Forward("[abc]");
  list.ForwardSubject = "[abc]";
  AddMessage("m1.eml", Message{.subject = "plain words"});
  AddMessage("m2.eml", Message{.subject = ""});
  AddMessage("m3.eml", Message{.from = "\"Club\" <club@example.test>", .subject = "plain echo"});
  Run({list}, Ini{.log_received_mail = 1});

  EXPECT_EQ(Subjects(), (std::vector<std::string>{"[abc:0001(2)] plain words", "[abc:0002(2)] "}));
  EXPECT_TRUE(ReceiveFileExists("m3.eml"));
}

TEST_F(DispatcherTest, KeywordInFirstBodyLineServesBodyReplyAndNewForwardButNotAutoReply) {
  WriteFile("help.txt", "See the manual.\r\n");
  Rule body_reply{.ToAddr = "body@example.test", .Keyword = "help", .Process = "本文応答", .Msg = "help.txt"};
  Rule auto_reply{.ToAddr = "auto@example.test", .Keyword = "help", .Process = "自動応答", .Msg = "help.txt"};
  Rule new_forward{.ToAddr = kClub, .SenderFilter = "members.txt", .Keyword = "help", .Destination = "members.txt",
                   .Process = "新規転送"};
  const std::string body = "ＨＥＬＰ me please\r\nthanks";
  AddMessage("m1.eml", Message{.to = "<body@example.test>", .subject = "question", .body = body});
  AddMessage("m2.eml", Message{.to = "<auto@example.test>", .subject = "question", .body = body});
  AddMessage("m3.eml", Message{.subject = "question", .body = body});
  AddMessage("m4.eml", Message{.to = "<body@example.test>", .subject = "question", .body = "hi\r\nhelp"});
  Run({body_reply, auto_reply, new_forward});

  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].recipients, kReplyToTaro);
  EXPECT_EQ(mail_.sent[0].body, "See the manual.\r\n");
  EXPECT_EQ(mail_.sent[1].recipients, kClubRecipients);
  EXPECT_EQ(mail_.sent[1].body, body);
}

// ---------------------------------------------------------------------------
// What a forward carries: subject, sender, attachments

TEST_F(DispatcherTest, ForwardSubjectLosesEveryKeywordOccurrenceInExactCase) {
  AddMessage("m1.eml", Message{.subject = "info: hello info"});
  AddMessage("m2.eml", Message{.subject = "INFO hello"});
  Run({Forward("info")});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw:: hello ", "Fw:INFO hello"}));
}

TEST_F(DispatcherTest, ListKeywordAndTagAreBothCutFromTheSubject) {
  AddMessage("m1.eml", Message{.subject = "[abc] Re: [abc:0012(25)] hi"});
  Run({Forward("[abc]")});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"[abc:0001(2)]  Re:  hi"}));
}

TEST_F(DispatcherTest, OriginalSenderIsQuotedNameAndAddressOrTheAddressAlone) {
  Rule r = Forward("news");
  r.TextBefore = "差出人：＠＠";
  AddMessage("m1.eml", Message{.from = "\"Taro\" <taro@example.test>", .subject = "news", .body = "b"});
  AddMessage("m2.eml", Message{.from = "\"taro@example.test\" <taro@example.test>", .subject = "news", .body = "b"});
  Run({r});
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].body, "差出人：\"Taro\" <taro@example.test>\r\nb");
  EXPECT_EQ(mail_.sent[1].body, "差出人：<taro@example.test>\r\nb");
}

TEST_F(DispatcherTest, AttachmentsGoOutOnlyFromRowsThatProcessThem) {
  Rule with = Forward("news");
  with.Attatch = "処理する";
  Rule without{.ToAddr = "plain@example.test", .Keyword = "news", .Destination = "members.txt"};
  AddMessage("m1.eml", Message{.subject = "news", .attachments = {"m1-a.pdf", "m1-b.png"}});
  AddMessage("m2.eml", Message{.to = "<plain@example.test>", .subject = "news", .attachments = {"m2-a.pdf"}});
  Run({with, without});
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].attachments, ReceivePath("m1-a.pdf") + "\t" + ReceivePath("m1-b.png"));
  EXPECT_EQ(mail_.sent[1].attachments, "");
  EXPECT_FALSE(ReceiveFileExists("m1-a.pdf"));
  EXPECT_FALSE(ReceiveFileExists("m1-b.png"));
  EXPECT_FALSE(ReceiveFileExists("m2-a.pdf"));
}

TEST_F(DispatcherTest, ForwardAndAutoReplyBothActOnOneMessageInRowOrder) {
  WriteFile("thanks.txt", "Thank you.\r\n");
  Rule reply{.ToAddr = kClub, .Keyword = "news", .Process = "自動応答", .Msg = "thanks.txt"};
  AddMessage("m1.eml", Message{.subject = "big news", .body = "story"});
  Run({Forward("news"), reply}, Ini{.log_received_mail = 1});

  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].recipients, kClubRecipients);
  EXPECT_EQ(mail_.sent[0].body, "story");
  EXPECT_EQ(mail_.sent[0].subject, "Fw:big ");
  EXPECT_EQ(mail_.sent[1].recipients, kReplyToTaro);
  EXPECT_EQ(mail_.sent[1].body, "Thank you.\r\n");
  EXPECT_EQ(mail_.sent[1].from, "owner@example.test");
  EXPECT_TRUE(ReceiveFileExists("m1.eml"));
}

TEST_F(DispatcherTest, ReplyWhoseTextFileIsGoneIsStillSentWithAnEmptyBody) {
  WriteFile("thanks.txt", "Thank you.\r\n");
  WriteMaster({Rule{.ToAddr = kClub, .Keyword = "news", .Process = "自動応答", .Msg = "thanks.txt"}});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  RemoveFile("thanks.txt");
  AddMessage("m1.eml", Message{.subject = "news"});
  RunCycle();
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, kReplyToTaro);
  EXPECT_EQ(mail_.sent[0].body, "");
}

// ---------------------------------------------------------------------------
// Settling

TEST_F(DispatcherTest, ReadableFormListsRecipientSenderSubjectAndBody) {
  ReceivedMail m;
  m.ToName = "Club";
  m.ToAddress = "club@example.test";
  m.FromName = "Taro";
  m.FromAddress = "taro@example.test";
  m.Subject = "件名です";
  m.Body = "line 1\r\nline 2";
  EXPECT_EQ(Pop3Inbox::ReadableForm(m),
            "宛先：\"Club\" <club@example.test>\r\n差出人：\"Taro\" <taro@example.test>\r\n件名：件名です\r\n"
            "line 1\r\nline 2\r\n");
}

TEST_F(DispatcherTest, MessageNoRowTakesIsKeptWholeBesideItsReadableFormAndLogged) {
  AddMessage("m1.eml", Message{.subject = "件名です📷", .body = "line 1\r\nline 2", .attachments = {"m1-a.txt"}});
  Run({Forward("news")});
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_EQ(ReadBytes("log/receive/m1.eml"), "raw message m1.eml\r\n") << "the message as fetched";
  // The form ends in CR LF and the file ends the text with one more.
  EXPECT_EQ(ReadBytes("log/receive/m1.txt"),
            Utf8ToCp932("宛先：\"Club\" <club@example.test>\r\n差出人：\"Taro\" <taro@example.test>\r\n"
                        "件名：件名です📷\r\nline 1\r\nline 2\r\n\r\n"));
  EXPECT_FALSE(ReceiveFileExists("m1-a.txt"));
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml"}));
  EXPECT_EQ(mail_.settled_folders.at(0), dir_ + "/log/receive");
  // The log is a code page 932 file: the emoji is the one character it
  // cannot hold; the message itself keeps it.
  EXPECT_EQ(MainLog(), "どのルールにも該当しなかった受信メール：差出人<taro@example.test> 宛先<club@example.test> "
                       "件名「件名です?」。元のメールを" + ReceivePath("m1.eml") +
                       "に、読める形をm1.txtに残しました。 at " + std::string(kStamp) + "\r\n");
}

TEST_F(DispatcherTest, FailedSendSetsTheMessageAsideWithItsAttachments) {
  mail_.fail_always = true;
  AddMessage("m1.eml", Message{.subject = "news", .attachments = {"m1-a.txt"}});
  Run({Forward("news")});

  ASSERT_EQ(mail_.sent.size(), 2u) << "one retry in POP3 mode";
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_EQ(ReadReceiveFile("m1Error.txt"), "raw message m1.eml\r\n");
  EXPECT_TRUE(ReceiveFileExists("m1-a.txt"));
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml"}));
  EXPECT_EQ(MainLog(), "ＢＣＣでの転送エラー：550 5.1.1 recipient refused。Master.txtの1行目の処理 at " +
                           std::string(kStamp) + "\r\n");
}

TEST_F(DispatcherTest, EverySettledMessageIsReportedToTheComponent) {
  Rule drop{.ToAddr = "*", .Keyword = "spam", .Delete = "自動削除"};
  mail_.failing_calls = {1, 2};  // both tries for the third message
  AddMessage("m1.eml", Message{.subject = "spam"});
  AddMessage("m2.eml", Message{.subject = "news 2"});
  AddMessage("m3.eml", Message{.subject = "news 3"});
  AddMessage("m4.eml", Message{.subject = "other"});
  Run({drop, Forward("news")}, Ini{.log_received_mail = 1});
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml", "m2.eml", "m3.eml", "m4.eml"}));
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m2.eml"), "宛先："));
  EXPECT_TRUE(ReceiveFileExists("m3Error.txt"));
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m4.txt"), "宛先："));
}

// ---------------------------------------------------------------------------
// Stopping and unreadable messages

// A stop between rows ends the cycle. The message a row already acted on
// must not come back to act twice (the post would go out again with the
// next number): it is set aside. The message no row touched stays as it is
// for the next cycle.
TEST_F(DispatcherTest, StopAfterASendSetsThatMessageAsideAndLeavesTheRest) {
  WriteFile("thanks.txt", "Thank you.\r\n");
  Rule reply{.ToAddr = kClub, .Keyword = "news", .Process = "自動応答", .Msg = "thanks.txt"};
  AddMessage("m1.eml", Message{.subject = "news 1"});
  AddMessage("m2.eml", Message{.subject = "news 2"});
  WriteMaster({Forward("news"), reply});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  mail_.on_send = [this](const SentMail&) { program().RequestStop(); };
  RunCycle();

  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, kClubRecipients);
  EXPECT_EQ(mail_.acted, std::vector<std::string>{"m1.eml"});
  EXPECT_EQ(mail_.settled, std::vector<std::string>{"m1.eml"});
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_EQ(ReadReceiveFile("m1Error.txt"), "raw message m1.eml\r\n");
  EXPECT_EQ(ReadReceiveFile("m2.eml"), "raw message m2.eml\r\n");
  EXPECT_EQ(mail_.read_names, (std::vector<std::string>{"m1.eml"}));
  EXPECT_EQ(mail_.began, std::vector<std::string>{"m1.eml"}) << "m2 was never begun, so it is no attempt";
  EXPECT_EQ(MainLog(), "処理の途中で止まった受信メールを、二重に処理しないよう退避しました>m1Error.txt at " + std::string(kStamp) +
                           "\r\n");
}

// A stop before any row acted leaves the message exactly as it was, to be
// processed by the next cycle.
TEST_F(DispatcherTest, StopBeforeAnyRowActedLeavesTheMessageForTheNextCycle) {
  AddMessage("m1.eml", Message{.subject = "news 1"});
  WriteMaster({Forward("news")});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  front_.on_pump = [this] { program().RequestStop(); };
  RunCycle();
  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(mail_.acted.empty());
  EXPECT_TRUE(mail_.settled.empty());
  EXPECT_EQ(ReadReceiveFile("m1.eml"), "raw message m1.eml\r\n");
  EXPECT_EQ(MainLog(), "") << "a stop is not an error";
}

// A failed send keeps the message as a failure even when a later row
// succeeds and would delete it.
TEST_F(DispatcherTest, AFailedSendKeepsTheMessageWhateverLaterRowsDo) {
  WriteFile("thanks.txt", "Thank you.\r\n");
  Rule reply{.ToAddr = kClub, .Keyword = "news", .Delete = "削除", .Process = "自動応答", .Msg = "thanks.txt"};
  AddMessage("m1.eml", Message{.subject = "news 1", .attachments = {"photo.jpg"}});
  WriteMaster({Forward("news"), reply});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  mail_.failing_calls = {0, 1};  // the post and its one retry fail; the reply goes out
  RunCycle();
  ASSERT_EQ(mail_.sent.size(), 3u);
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_EQ(ReadReceiveFile("m1Error.txt"), "raw message m1.eml\r\n");
  EXPECT_TRUE(ReceiveFileExists("photo.jpg")) << "the attachment stays with the kept message";
}

// Rows that have nowhere to put what they would record end the message's
// rows and keep it; later rows must not forward or delete it.
TEST_F(DispatcherTest, SurveyAndSaveRowsWithoutAFileKeepTheMessage) {
  Rule survey{.ToAddr = kClub, .Keyword = "vote", .Process = "アンケート選択"};
  Rule save{.ToAddr = kClub, .SenderFilter = "taro@example.test", .Keyword = "keep", .Process = "自動保存"};
  Rule forward_all{.ToAddr = kClub, .Keyword = "news", .Destination = "members.txt", .Delete = "削除"};
  WriteMembers("members.txt", {"a@example.test"});
  AddMessage("m1.eml", Message{.subject = "vote news"});
  AddMessage("m2.eml", Message{.subject = "keep news"});
  WriteMaster({survey, save, forward_all});
  WriteIni(Ini{.log_received_mail = 1});
  ASSERT_TRUE(Start());
  RunCycle();
  EXPECT_TRUE(mail_.sent.empty()) << "the unrecorded answer went to the list";
  EXPECT_TRUE(ReceiveFileExists("m1.eml"));
  EXPECT_TRUE(ReceiveFileExists("m2.eml"));
  const std::string log = MainLog();
  EXPECT_NE(log.find("Master.txtの1行目のアンケート<アンケート選択>には保存用ファイルが指定されていないので回答を記録できません。"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Master.txtの2行目の自動保存には保存用ファイルが指定されていないので保存できません。"), std::string::npos)
      << log;
}

TEST_F(DispatcherTest, UnreadableMessageIsLoggedOnceSetAsideAndLeaksNoFields) {
  AddMessage("m1.eml", Message{.subject = "news one", .body = "body one"});
  AddUnreadableMessage("m2.eml", "読めません");
  AddMessage("m3.eml", Message{.from = "\"Jiro\" <jiro@example.test>", .subject = "news three", .body = "body three"});
  Run({Forward("news")}, Ini{.log_received_mail = 1});

  ASSERT_EQ(mail_.sent.size(), 2u) << "the unreadable message must not go out with another one's fields";
  EXPECT_EQ(mail_.sent[0].body, "body one");
  EXPECT_EQ(mail_.sent[1].subject, "Fw: three");
  EXPECT_EQ(mail_.sent[1].body, "body three");
  EXPECT_TRUE(Contains(ReadReceiveFile("m3.eml"), "差出人：\"Jiro\" <jiro@example.test>"));

  const std::vector<std::string> log = Lines(MainLog());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(Contains(log[0], "m2.eml")) << log[0];
  EXPECT_TRUE(Contains(log[0], "読めません")) << log[0];
  EXPECT_FALSE(ReceiveFileExists("m2.eml"));
  EXPECT_EQ(ReadReceiveFile("m2Error.txt"), "garbage\r\n") << "set aside untouched";
}

TEST_F(DispatcherTest, ErrorWhileReadingEndsTheCallWithOneLogLine) {
  mail_.on_read = [](const std::string& name) {
    if (name == "m2.eml") throw std::runtime_error("disk on fire");
  };
  AddMessage("m1.eml", Message{.subject = "news 1"});
  AddMessage("m2.eml", Message{.subject = "news 2"});
  AddMessage("m3.eml", Message{.subject = "news 3"});
  Run({Forward("news")}, Ini{.log_received_mail = 1});

  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 1"}));
  EXPECT_EQ(MainLog(), "受信メールのチェック処理で何らかの異常が発生：disk on fire(1) at " + std::string(kStamp) +
                           "\r\n");
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml"}));
  EXPECT_EQ(ReadReceiveFile("m2.eml"), "raw message m2.eml\r\n") << "unsettled messages stay as they are";
  EXPECT_EQ(ReadReceiveFile("m3.eml"), "raw message m3.eml\r\n");
}

TEST_F(DispatcherTest, GarbageInMessagesAndSenderFilesDoesNotStopTheCycle) {
  // A sender file of binary bytes, invalid code page 932 and LF-only lines
  // without a final line break.
  WriteBytes("senders.txt", std::string("\0\xff\xfe,\x81\n", 6) + "1,taro@example.test,x\n\x82");
  Rule r = Forward("news");
  r.SenderFilter = "senders.txt";
  const std::string long_line(100000, 'x');
  AddMessage("m1.eml", Message{.subject = "news \xff\xfe\x80 " + long_line, .body = long_line + "\r\n\xc3"});
  AddMessage("m2.eml", Message{.to = "\"\\\"\" <\xff@>", .from = "<<>@@>", .subject = std::string("\0news", 5), .body = ""});
  Run({r}, Ini{.log_received_mail = 1});

  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].body, long_line + "\r\n\xc3");
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m1.eml"), "宛先："));
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m2.txt"), "宛先："));
  EXPECT_EQ(mail_.settled.size(), 2u);
}

// ---------------------------------------------------------------------------
// Membership commands

class MembershipTest : public DispatcherTest {
 protected:
  static Rule Join() {
    return Rule{.ToAddr = "join@example.test", .SenderFilter = "members.txt", .Keyword = "join",
                .Process = "新規登録", .Msg = "welcome.txt", .File = "members.txt"};
  }
  static Rule Leave(const std::string& msg = "") {
    return Rule{.ToAddr = "leave@example.test", .Keyword = "leave", .Process = "アドレス削除", .Msg = msg,
                .File = "members.txt"};
  }
  void SetUp() override {
    DispatcherTest::SetUp();
    WriteFile("welcome.txt", "ようこそ！\r\n");
  }
  static Message To(const std::string& to, const std::string& from, const std::string& subject,
                    const std::string& body = "") {
    return Message{.to = "<" + to + ">", .from = from, .subject = subject, .body = body};
  }
};

TEST_F(MembershipTest, NewRegistrationAddsTheSenderAndTheNextForwardReachesIt) {
  AddMessage("m1.eml", To("join@example.test", "\"Taro\" <taro@example.test>", "join"));
  AddMessage("m2.eml", To("join@example.test", "\"A\" <a@example.test>", "join"));  // already listed
  AddMessage("m3.eml", To(kClub, "\"A\" <a@example.test>", "news"));
  Run({Join(), Forward("news")});

  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].recipients, kReplyToTaro);
  EXPECT_EQ(mail_.sent[0].body, "ようこそ！\r\n") << "the row's text replaces the built-in one";
  EXPECT_EQ(mail_.sent[1].recipients,
            "club@example.test\tbcc\ta@example.test\tb@example.test\ttaro@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
  EXPECT_TRUE(Contains(ReadFile("members.txt"), ",taro@example.test,join,"));
}

TEST_F(MembershipTest, RegistrationAnswersBuiltInTextsWithoutARowText) {
  WriteMaster({Join(), Forward("news")});
  WriteIni(Ini{});
  ASSERT_TRUE(Start());
  RemoveFile("welcome.txt");
  // Jiro is in the file but not in the loaded list: the row takes him, and
  // the file says he is there already.
  WriteMembers("members.txt", {"a@example.test", "b@example.test", "jiro@example.test"});
  AddMessage("m1.eml", To("join@example.test", "\"Taro\" <taro@example.test>", "join"));
  AddMessage("m2.eml", To("join@example.test", "\"Jiro\" <jiro@example.test>", "join"));
  RunCycle();

  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].body, "登録申請したアドレス<taro@example.test>は正常に登録が完了しました。");
  EXPECT_EQ(mail_.sent[1].body, "登録申請したアドレス<jiro@example.test>は既に登録されていました。");
  const MemberTable& table = program().members();
  ASSERT_EQ(table.lists.size(), 1u);
  EXPECT_EQ(table.lists[0].Slots(),
            (std::vector<std::string>{"a@example.test", "b@example.test", "taro@example.test"}));
}

TEST_F(MembershipTest, RegistrationIntoAFullListWidensEveryList) {
  WriteMembers("other.txt", {"x@example.test", "y@example.test"});
  Rule other{.ToAddr = "other@example.test", .Keyword = "news", .Destination = "other.txt"};
  AddMessage("m1.eml", To("join@example.test", "\"Taro\" <taro@example.test>", "join"));
  AddMessage("m2.eml", To("other@example.test", "\"A\" <a@example.test>", "news"));
  AddMessage("m3.eml", To(kClub, "\"A\" <a@example.test>", "news"));
  Run({Join(), Forward("news"), other});

  const MemberTable& table = program().members();
  EXPECT_EQ(table.slot_count, 3);
  ASSERT_EQ(table.lists.size(), 2u);
  EXPECT_EQ(table.lists[0].Slots().size(), 3u);
  EXPECT_EQ(table.lists[1].Slots().size(), 3u);
  ASSERT_EQ(mail_.sent.size(), 3u);
  EXPECT_EQ(mail_.sent[1].recipients,
            "other@example.test\tbcc\tx@example.test\ty@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <other.example.test>\t;List-Post: <mailto:other@example.test>\t;X-Loop: other@example.test\t;Precedence: list");
  EXPECT_EQ(mail_.sent[2].recipients,
            "club@example.test\tbcc\ta@example.test\tb@example.test\ttaro@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
}

TEST_F(MembershipTest, AddressDeletionNeedsTheRightPassword) {
  AddMessage("m1.eml", To("leave@example.test", "\"A\" <a@example.test>", "leave", "wrong\r\n"));
  AddMessage("m2.eml", To("leave@example.test", "\"A\" <a@example.test>", "leave", "secret\r\nbye"));
  AddMessage("m3.eml", To(kClub, "\"Taro\" <taro@example.test>", "news"));
  Run({Leave(), Forward("news")});

  ASSERT_EQ(mail_.sent.size(), 3u);
  EXPECT_EQ(mail_.sent[0].recipients, "a@example.test\t>Message-ID: Kelmora\t;Auto-Submitted: auto-replied");
  EXPECT_EQ(mail_.sent[0].body, "アドレス削除は、パスワードが違う為に削除されませんでした。");
  EXPECT_EQ(mail_.sent[1].body, "削除申請したアドレス<a@example.test>は正常に削除が完了しました。");
  EXPECT_EQ(mail_.sent[2].recipients, "club@example.test\tbcc\tb@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
  EXPECT_FALSE(Contains(ReadFile("members.txt"), "a@example.test"));
}

TEST_F(MembershipTest, RowTextReplacesOnlyTheSuccessText) {
  WriteFile("bye.txt", "さようなら\r\n");
  AddMessage("m1.eml", To("leave@example.test", "\"A\" <a@example.test>", "leave", "wrong"));
  AddMessage("m2.eml", To("leave@example.test", "\"A\" <a@example.test>", "leave", "secret"));
  AddMessage("m3.eml", To("leave@example.test", "\"A\" <a@example.test>", "leave", "secret"));
  Run({Leave("bye.txt")});
  ASSERT_EQ(mail_.sent.size(), 3u);
  EXPECT_EQ(mail_.sent[0].body, "アドレス削除は、パスワードが違う為に削除されませんでした。");
  EXPECT_EQ(mail_.sent[1].body, "さようなら\r\n");
  EXPECT_EQ(mail_.sent[2].body, "削除申請したアドレス<a@example.test>は登録されていませんでした。");
}

TEST_F(MembershipTest, PasswordInquiryAnswersMembersAndNonMembers) {
  Rule ask{.ToAddr = "ask@example.test", .Keyword = "password", .Process = "パスワード問い合わせ",
           .File = "members.txt"};
  AddMessage("m1.eml", To("ask@example.test", "\"Taro\" <taro@example.test>", "password?"));
  AddMessage("m2.eml", To("ask@example.test", "\"A\" <a@example.test>", "password?"));
  Run({ask});
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].recipients, kReplyToTaro);
  EXPECT_EQ(mail_.sent[0].body,
            "パスワードが設定されていません。アドレス<taro@example.test>が登録されていない可能性もあります。");
  EXPECT_EQ(mail_.sent[1].body, "secret");
}

TEST_F(MembershipTest, RemovalEmptiesEverySlotHoldingTheSender) {
  WriteMembers("members.txt", {"a@example.test", "b@example.test", "a@example.test"}, {"secret", "pw2", "secret"});
  Rule bye{.ToAddr = "bye@example.test", .SenderFilter = "members.txt", .Keyword = "bye", .Process = "既存削除",
           .Msg = "welcome.txt", .File = "members.txt"};
  AddMessage("m1.eml", To("bye@example.test", "\"A\" <a@example.test>", "subject", "BYE now"));
  AddMessage("m2.eml", To(kClub, "\"Taro\" <taro@example.test>", "news"));
  Run({bye, Forward("news")});
  ASSERT_EQ(mail_.sent.size(), 2u);
  EXPECT_EQ(mail_.sent[0].recipients, "a@example.test\t>Message-ID: Kelmora\t;Auto-Submitted: auto-replied");
  EXPECT_EQ(mail_.sent[1].recipients, "club@example.test\tbcc\tb@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;List-Unsubscribe: <mailto:bye@example.test?subject=bye>\t;X-Loop: club@example.test\t;Precedence: list");
  EXPECT_EQ(program().members().lists.at(0).Slots(), (std::vector<std::string>{"", "b@example.test", ""}));
}

TEST_F(MembershipTest, AddressRegistrationWithoutPasswordAndPasswordChangeAnswerTheirTexts) {
  Rule add{.ToAddr = "add@example.test", .Keyword = "add", .Process = "アドレス登録", .File = "members.txt"};
  Rule change{.ToAddr = "pw@example.test", .Keyword = "change", .Process = "パスワード変更", .File = "members.txt"};
  AddMessage("m1.eml", To("add@example.test", "\"Taro\" <taro@example.test>", "add", "\r\nlater line"));
  AddMessage("m2.eml", To("pw@example.test", "\"A\" <a@example.test>", "change", "wrong\r\nnew1"));
  AddMessage("m3.eml", To("pw@example.test", "\"A\" <a@example.test>", "change", "secret\r\nnew1"));
  AddMessage("m4.eml", To("pw@example.test", "\"Taro\" <taro@example.test>", "change", "x\r\ny"));
  Run({add, change});
  ASSERT_EQ(mail_.sent.size(), 4u);
  EXPECT_EQ(mail_.sent[0].body, "アドレス登録は、パスワードが設定されていない等の理由により正常に終了しませんでした。");
  EXPECT_EQ(mail_.sent[1].body, "パスワード変更は、古いパスワードが違う為に変更されませんでした。");
  EXPECT_EQ(mail_.sent[2].body, "パスワード変更は正常に完了しました。");
  EXPECT_EQ(mail_.sent[3].body, "パスワード変更申請したアドレス<taro@example.test>は登録されていませんでした。");
  EXPECT_TRUE(Contains(ReadFile("members.txt"), ",a@example.test,new1,"));
  EXPECT_FALSE(Contains(ReadFile("members.txt"), "taro@example.test"));
}

// ---------------------------------------------------------------------------
// Addresses as real mail writes them

// A reply to all names the list in Cc; mail programs and members write
// domains in any case.
TEST_F(DispatcherTest, ListAddressMatchesAnywhereInToOrCcWithTheDomainInAnyCase) {
  struct Case {
    const char* to;
    std::vector<Addressee> recipients;  // the To and Cc mailboxes
    bool forwarded;
  };
  const std::vector<Case> cases = {
      {"\"Friend\" <friend@other.test>", {{"friend@other.test", "Friend"}, {"club@example.test", "Club"}}, true},
      {"\"Club\" <club@Example.TEST>", {{"club@Example.TEST", "Club"}}, true},
      {"<friend@other.test>", {{"friend@other.test", ""}, {"a@x.test", ""}, {"club@EXAMPLE.test", ""}}, true},
      {"\"Club\" <Club@example.test>", {{"Club@example.test", "Club"}}, false},  // another local part
      {"<friend@other.test>", {{"friend@other.test", ""}, {"club@example.test.other", ""}}, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    Message m{.to = cases[i].to, .subject = "news " + std::to_string(i)};
    m.headers.Recipients = cases[i].recipients;
    AddMessage("m" + std::to_string(i) + ".eml", m);
  }
  Run({Forward("news")});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: 0", "Fw: 1", "Fw: 2"}));
  for (const SentMail& sent : mail_.sent) EXPECT_EQ(sent.recipients, kClubRecipients);
  const std::vector<std::string> log = Lines(MainLog());
  ASSERT_EQ(log.size(), 2u) << MainLog();
  EXPECT_TRUE(Contains(log[0], "宛先<Club@example.test> 件名「news 3」")) << log[0];
  EXPECT_TRUE(Contains(log[1], "宛先<friend@other.test>,<club@example.test.other> 件名「news 4」")) << log[1];
}

TEST_F(DispatcherTest, SendersAreRecognisedWithTheDomainInAnyCase) {
  WriteLinesFile("friends.txt", {"1,hanako@Example.test,pw"});  // no row forwards to it: read at every use
  Rule by_address = Forward("one");
  by_address.SenderFilter = "taro@example.test";
  Rule by_list = Forward("two");
  by_list.SenderFilter = "members.txt";
  Rule by_file = Forward("three");
  by_file.SenderFilter = "friends.txt";
  AddMessage("m1.eml", Message{.from = "<taro@EXAMPLE.test>", .subject = "one a"});
  AddMessage("m2.eml", Message{.from = "<Taro@example.test>", .subject = "one b"});
  AddMessage("m3.eml", Message{.from = "<a@example.TEST>", .subject = "two a"});
  AddMessage("m4.eml", Message{.from = "<A@example.test>", .subject = "two b"});
  AddMessage("m5.eml", Message{.from = "<hanako@example.TEST>", .subject = "three a"});
  AddMessage("m6.eml", Message{.from = "<Hanako@example.test>", .subject = "three b"});
  Run({by_address, by_list, by_file});
  EXPECT_EQ(Subjects(), (std::vector<std::string>{"Fw: a", "Fw: a", "Fw: a"}));
  EXPECT_EQ(CountOf(MainLog(), "どのルールにも該当しなかった"), 3);
}

// ---------------------------------------------------------------------------
// Bounces ("不配削除")

class BounceTest : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    WriteLinesFile("UnDelivery.txt", {"Delivery has failed", "<,>"});
    WriteMembers("members.txt", {"a@example.test", "gone@example.test", "b@example.test"});
  }
  static Rule Bounce(const std::string& rec_addr = "") {
    return Rule{.ToAddr = kClub, .SenderFilter = rec_addr, .SendFrom = "", .SendServer = "", .Process = "不配削除",
                .File = "members.txt"};
  }
  static Message BounceOf(const std::string& address, const std::string& from = "\"Mail Delivery System\" "
                                                                                "<mailer-daemon@example.test>") {
    return Message{.from = from,
                   .subject = "Undelivered Mail Returned to Sender",
                   .body = "Delivery has failed to these recipients:\r\n<" + address + ">\r\n"};
  }
};

TEST_F(BounceTest, BouncedAddressLeavesTheFileIsLoggedAndTheBounceIsDeleted) {
  AddMessage("m1.eml", BounceOf("gone@example.test"));
  Run({Bounce()});
  EXPECT_TRUE(mail_.sent.empty());
  const std::string members = ReadFile("members.txt");
  EXPECT_FALSE(Contains(members, "gone@example.test"));
  EXPECT_TRUE(Contains(members, "a@example.test"));
  EXPECT_TRUE(Contains(members, "b@example.test"));
  EXPECT_EQ(UnDeliveryLog(), "gone@example.test," + std::string(kStamp) + "、members.txtから削除しました。\r\n");
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
  EXPECT_EQ(mail_.settled, (std::vector<std::string>{"m1.eml"}));
}

TEST_F(BounceTest, BounceOfAnUnknownAddressIsLoggedAndKept) {
  const std::string before = ReadBytes("members.txt");
  AddMessage("m1.eml", BounceOf("stranger@example.test"));
  Run({Bounce()});
  EXPECT_EQ(ReadBytes("members.txt"), before);
  EXPECT_EQ(UnDeliveryLog(), "stranger@example.test," + std::string(kStamp) +
                                 "、members.txtからの削除に失敗しました。（登録されていない等）\r\n");
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m1.eml"), "宛先："));
}

TEST_F(BounceTest, BounceWithoutAnAddressIsLeftToLaterRows) {
  Rule admin{.ToAddr = kClub, .Keyword = "Undelivered", .Destination = "admin@example.test"};
  AddMessage("m1.eml", Message{.subject = "Undelivered Mail", .body = "Delivery has failed.\r\nno address here\r\n"});
  Run({Bounce(), admin});
  EXPECT_FALSE(Exists("log/UnDeliveryLog.txt"));
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].recipients, "club@example.test\tbcc\tadmin@example.test\t>Message-ID: Kelmora"
            "\t;List-Id: <club.example.test>\t;List-Post: <mailto:club@example.test>\t;X-Loop: club@example.test\t;Precedence: list");
}

TEST_F(BounceTest, SenderAddressRowAcceptsABounceWhoseSenderNameItContains) {
  const Rule row = Bounce("MAILER-DAEMON@example.test");
  AddMessage("m1.eml", BounceOf("gone@example.test", "\"MAILER-DAEMON\" <postmaster@relay.test>"));
  AddMessage("m2.eml", BounceOf("a@example.test", "\"Postmaster\" <postmaster@relay.test>"));
  AddMessage("m3.eml", BounceOf("b@example.test", "<postmaster@relay.test>"));  // no name: counts as contained
  Run({row});
  const std::string members = ReadFile("members.txt");
  EXPECT_FALSE(Contains(members, "gone@example.test"));
  EXPECT_TRUE(Contains(members, "a@example.test")) << "a sender outside SenderFilter is not taken";
  EXPECT_FALSE(Contains(members, "b@example.test"));
  EXPECT_EQ(Lines(UnDeliveryLog()).size(), 2u);
}

// A delivery status notification is read from its report: every failed
// recipient leaves, one only delayed stays.
TEST_F(BounceTest, ReportNamingTwoDeadAddressesRemovesBoth) {
  WriteMembers("members.txt", {"a@example.test", "gone@example.test", "b@example.test", "slow@example.test"});
  Message dsn = BounceOf("nobody@example.test");
  dsn.body = "The mail system\r\n\r\n<gone@example.test>: unknown user\r\n";
  dsn.headers.DeliveryStatus = {{"gone@EXAMPLE.test", "failed", "5.1.1"}, {"b@example.test", "failed", "5.1.1"},
                                {"slow@example.test", "delayed", "4.2.1"}};
  AddMessage("m1.eml", dsn);
  Run({Bounce()});
  const std::string members = ReadFile("members.txt");
  EXPECT_FALSE(Contains(members, "gone@example.test"));
  EXPECT_FALSE(Contains(members, "b@example.test"));
  EXPECT_TRUE(Contains(members, "a@example.test"));
  EXPECT_TRUE(Contains(members, "slow@example.test"));
  EXPECT_EQ(UnDeliveryLog(), "gone@EXAMPLE.test," + std::string(kStamp) + "、members.txtから削除しました。\r\n" +
                                 "b@example.test," + kStamp + "、members.txtから削除しました。\r\n");
  EXPECT_FALSE(ReceiveFileExists("m1.eml"));
}

// A delay warning carries the same wording as a bounce: it removes nobody,
// whether its report or only its subject says so.
TEST_F(BounceTest, DelayWarningsRemoveNobody) {
  const std::string before = ReadBytes("members.txt");
  Message reported = BounceOf("gone@example.test");
  reported.subject = "Undelivered Mail";
  reported.headers.DeliveryStatus = {{"gone@example.test", "delayed", "4.4.1"}};
  AddMessage("m1.eml", reported);
  for (const char* subject : {"Delayed Mail (still being retried)", "Warning: message 1x delayed 24 hours",
                              "Warning: could not send message for past 4 hours"}) {
    Message m = BounceOf("gone@example.test");
    m.subject = subject;
    AddMessage(std::string("m") + subject[0] + std::to_string(std::string(subject).size()) + ".eml", m);
  }
  Run({Bounce()});
  EXPECT_EQ(ReadBytes("members.txt"), before);
  EXPECT_FALSE(Exists("log/UnDeliveryLog.txt"));
  EXPECT_EQ(CountOf(MainLog(), "どのルールにも該当しなかった"), 4) << "kept, and the owner told";
}

TEST_F(BounceTest, BounceSenderMatchesInAnyLetterCase) {
  WriteLinesFile("daemons.txt", {"1,postmaster@example.test,Mail Delivery"});
  AddMessage("m1.eml", BounceOf("gone@example.test", "\"Mail Delivery System\" <MAILER-DAEMON@Example.test>"));
  // Named senders: a bounce without a name passes any sender address row.
  AddMessage("m2.eml", BounceOf("a@example.test", "\"Postmaster\" <POSTMASTER@example.test>"));
  AddMessage("m3.eml", BounceOf("b@example.test", "\"Someone\" <someone@example.test>"));
  Run({Bounce("mailer-daemon@example.test"), Bounce("daemons.txt")});
  const std::string members = ReadFile("members.txt");
  EXPECT_FALSE(Contains(members, "gone@example.test")) << "sender address row";
  EXPECT_FALSE(Contains(members, "a@example.test")) << "sender file row";
  EXPECT_TRUE(Contains(members, "b@example.test"));
}

// A server that refuses a dead address at once sends no bounce: the
// refusal removes the member through the bounce row of the list's file.
TEST_F(BounceTest, AddressRefusedAsUnknownLeavesTheListOfThePost) {
  WriteMembers("others.txt", {"gone@example.test"});
  mail_.on_send = [this](const SentMail& sent) {
    if (!Contains(sent.recipients, "gone@example.test")) return;
    mail_.unknown.push_back(UnknownRecipient{"gone@example.test", "550 5.1.1 <gone@example.test>: unknown", ""});
    mail_.unknown.push_back(UnknownRecipient{"stranger@example.test", "550 5.1.1 unknown", ""});
  };
  Rule other{.ToAddr = "other@example.test", .Keyword = "news", .Destination = "others.txt"};
  AddMessage("m1.eml", Message{.subject = "news 1"});
  AddMessage("m2.eml", Message{.subject = "news 2"});
  AddMessage("m3.eml", Message{.to = "<other@example.test>", .subject = "news 3"});
  Run({Bounce(), Forward("news"), other});
  ASSERT_EQ(mail_.sent.size(), 3u);
  EXPECT_TRUE(Contains(mail_.sent[0].recipients, "gone@example.test"));
  EXPECT_FALSE(Contains(mail_.sent[1].recipients, "gone@example.test")) << "gone before the second post";
  EXPECT_FALSE(Contains(ReadFile("members.txt"), "gone@example.test"));
  EXPECT_TRUE(Contains(ReadFile("others.txt"), "gone@example.test")) << "a list without a bounce row keeps it";
  EXPECT_EQ(UnDeliveryLog(), "gone@example.test," + std::string(kStamp) + "、members.txtから削除しました。\r\n")
      << "a refused address that is no member is left alone";
}

TEST_F(BounceTest, SenderFileRowAcceptsABounceWhoseSenderNameStandsInTheThirdField) {
  WriteLinesFile("daemons.txt", {"1,mailer-daemon@example.test,MAILER-DAEMON and friends"});
  AddMessage("m1.eml", BounceOf("gone@example.test", "\"MAILER-DAEMON\" <postmaster@relay.test>"));
  AddMessage("m2.eml", BounceOf("a@example.test", "\"Postmaster\" <postmaster@relay.test>"));
  AddMessage("m3.eml", BounceOf("b@example.test", "<mailer-daemon@example.test>"));
  Run({Bounce("daemons.txt")});
  const std::string members = ReadFile("members.txt");
  EXPECT_FALSE(Contains(members, "gone@example.test"));
  EXPECT_TRUE(Contains(members, "a@example.test"));
  EXPECT_FALSE(Contains(members, "b@example.test")) << "listed by address";
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

// A selection survey may be set up without a result file; its answers must
// then be kept (not marked for deletion) and the problem said once.
TEST_F(DispatcherTest, SurveyRowWithoutResultFileKeepsTheAnswerAndSaysWhy) {
  WriteMaster({Rule{.ToAddr = kClub, .Keyword = "vote", .Process = "アンケート選択"}});
  WriteIni(Ini{.delete_after_processing = 1});
  AddMessage("m1.eml", Message{.subject = "vote", .body = "A"});
  ASSERT_TRUE(Start());
  RunCycle();

  EXPECT_TRUE(mail_.sent.empty());
  EXPECT_TRUE(StartsWith(ReadReceiveFile("m1.txt"), "宛先：")) << "kept beside its readable form";
  EXPECT_EQ(CountOf(MainLog(), "\r\n"), 2) << "why, and that no row took it";
  EXPECT_TRUE(Contains(MainLog(), "Master.txtの1行目のアンケート<アンケート選択>には保存用ファイルが指定されていない"));
}

// A refused answer (a second vote) is the answer's fate and the message
// goes as the row says; an answer the file could not take is kept.
TEST_F(DispatcherTest, SurveyAnswerThatCannotBeWrittenIsKept) {
  WriteFile("votes.txt", "vote,1\r\nA＝1,jiro@example.test\r\n");
  WriteMaster({Rule{.ToAddr = kClub, .Keyword = "vote", .Delete = "削除", .Process = "アンケート", .File = "votes.txt"}});
  WriteIni(Ini{});
  AddMessage("m1.eml", Message{.subject = "vote", .body = "B"});
  ASSERT_TRUE(Start());
  disk_.InjectFault(FakeFileSystem::kWrite, "votes.txt");
  RunCycle();
  disk_.ClearFaults();
  EXPECT_EQ(ReadFile("votes.txt"), "vote,1\r\nA＝1,jiro@example.test\r\n");
  EXPECT_EQ(ReadReceiveFile("m1Error.txt"), "raw message m1.eml\r\n") << "set aside, not deleted";
  EXPECT_TRUE(StartsWith(MainLog(), "アンケートの回答を記録できません：")) << MainLog();

  AddMessage("m2.eml", Message{.subject = "vote", .body = "B"});
  RunCycle();
  EXPECT_EQ(ReadFile("votes.txt"), "vote,2\r\nA＝1,jiro@example.test\r\nB＝1,taro@example.test\r\n");
  EXPECT_FALSE(ReceiveFileExists("m2.eml"));
  AddMessage("m3.eml", Message{.subject = "vote", .body = "A"});
  RunCycle();
  EXPECT_FALSE(ReceiveFileExists("m3.eml")) << "a second vote is refused, and the row deletes it as told";
  EXPECT_FALSE(ReceiveFileExists("m3Error.txt"));
  EXPECT_EQ(CountOf(MainLog(), "\r\n"), 1);
}

}  // namespace
}  // namespace kelmora
