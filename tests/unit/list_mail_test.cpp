// SPDX-License-Identifier: GPL-3.0-or-later
// Mail that behaves well on lists: which received mail the rows leave alone
// (machines, loops, a second request within the day), and the headers the
// send methods put on posts and replies.
#include <gtest/gtest.h>

#include "mime/mail_reader.h"
#include "process/list_guard.h"
#include "process/mail_classifier.h"
#include "process/reply_limiter.h"
#include "send/list_headers.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/dispatch_fixture.h"
#include "tests/unit/fake_file_system.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

using fixture::Ini;
using fixture::Message;
using fixture::Rule;

// ---------------------------------------------------------------------------
// Reading the headers that tell machines and loops apart

TEST(ControlHeadersTest, ReaderFillsThemAndTheNextReadLeavesNoneBehind) {
  FakeFileSystem fs;
  fs.AddFile("/r/m1.eml",
             "Return-Path: <>\r\nFrom: <a@example.test>\r\nTo: <club@example.test>\r\nSubject: s\r\n"
             "Auto-Submitted: auto-replied\r\nX-Loop: one@example.test\r\nx-loop: two@example.test\r\n"
             "List-Id: =?UTF-8?B?44Kv44Op44OW?=\r\n <club.example.test>\r\nMessage-ID: <m1@example.test>\r\n"
             "Precedence:  bulk \r\nPrecedence: list\r\nIn-Reply-To: <r1@example.test>\r\n"
             "References: <r0@example.test>\r\n\t<r1@example.test>\r\n\r\nbody\r\n");
  fs.AddFile("/r/m2.eml", "From: <a@example.test>\r\nTo: <club@example.test>\r\nSubject: s\r\n\r\nbody\r\n");

  ReceivedMail mail;
  ASSERT_TRUE(ReadMailFile(fs, "m1.eml", "/r", &mail).ok());
  EXPECT_EQ(mail.AutoSubmitted, "auto-replied");
  EXPECT_EQ(mail.Precedence, "bulk") << "the first header counts, trimmed";
  EXPECT_TRUE(mail.HasReturnPath);
  EXPECT_EQ(mail.ReturnPath, "<>");
  EXPECT_EQ(mail.XLoop, "one@example.test\ttwo@example.test");
  EXPECT_EQ(mail.ListId, "クラブ <club.example.test>");
  EXPECT_EQ(mail.MessageId, "<m1@example.test>");
  EXPECT_EQ(mail.InReplyTo, "<r1@example.test>");
  EXPECT_EQ(mail.References, "<r0@example.test> <r1@example.test>");
  EXPECT_EQ(mail.Body, "body\r\n");
  // Reading the next message into the same record leaves none of it behind.
  ASSERT_TRUE(ReadMailFile(fs, "m2.eml", "/r", &mail).ok());
  EXPECT_FALSE(mail.HasReturnPath);
  EXPECT_EQ(mail.AutoSubmitted + mail.Precedence + mail.ListId + mail.ReturnPath + mail.XLoop + mail.MessageId +
                mail.References + mail.InReplyTo,
            "");
}

// ---------------------------------------------------------------------------
// Classification

TEST(MailClassifierTest, MachinesListsAndPeople) {
  struct Case {
    const char* what;
    ReceivedMail mail;
    bool machine, automatic;
    const char* reason;
  };
  auto with = [](auto set) {
    ReceivedMail m;
    set(m);
    return m;
  };
  const Case cases[] = {
      {"plain person", ReceivedMail{}, false, false, ""},
      {"Auto-Submitted: no is a person", with([](ReceivedMail& m) { m.AutoSubmitted = "No"; }), false, false, ""},
      {"vacation reply", with([](ReceivedMail& m) { m.AutoSubmitted = "auto-replied"; }), true, true,
       "Auto-Submitted: auto-replied"},
      {"parameters and case", with([](ReceivedMail& m) { m.AutoSubmitted = "Auto-Generated; owner-email=x@y"; }),
       true, true, "Auto-Submitted: Auto-Generated; owner-email=x@y"},
      {"bulk", with([](ReceivedMail& m) { m.Precedence = "BULK"; }), true, true, "Precedence: BULK"},
      {"junk", with([](ReceivedMail& m) { m.Precedence = " junk "; }), true, true, "Precedence: junk"},
      {"Precedence list: not answered, still forwarded", with([](ReceivedMail& m) { m.Precedence = "list"; }), true,
       false, "Precedence: list"},
      {"other Precedence is a person", with([](ReceivedMail& m) { m.Precedence = "first-class"; }), false, false, ""},
      {"List-Id", with([](ReceivedMail& m) { m.ListId = "Other <other.example.test>"; }), true, false,
       "List-Id: Other <other.example.test>"},
      {"bounce", with([](ReceivedMail& m) {
         m.HasReturnPath = true;
         m.ReturnPath = "<>";
       }),
       true, false, "Return-Path: <>"},
      {"empty Return-Path", with([](ReceivedMail& m) { m.HasReturnPath = true; }), true, false, "Return-Path: <>"},
      {"MAILER-DAEMON", with([](ReceivedMail& m) {
         m.HasReturnPath = true;
         m.ReturnPath = "<MAILER-DAEMON@mx.example.test>";
       }),
       true, false, "Return-Path: <MAILER-DAEMON@mx.example.test>"},
      {"postmaster", with([](ReceivedMail& m) {
         m.HasReturnPath = true;
         m.ReturnPath = "<Postmaster@example.test>";
       }),
       true, false, "Return-Path: <Postmaster@example.test>"},
      {"a person's Return-Path", with([](ReceivedMail& m) {
         m.HasReturnPath = true;
         m.ReturnPath = "<postmaster.fan@example.test>";
       }),
       false, false, ""},
  };
  for (const Case& c : cases) {
    MailClass k = ClassifyMail(c.mail);
    EXPECT_EQ(k.machine, c.machine) << c.what;
    EXPECT_EQ(k.automatic, c.automatic) << c.what;
    EXPECT_EQ(k.reason, c.reason) << c.what;
  }
}

TEST(MailClassifierTest, LoopsThroughTheSameListOnly) {
  ReceivedMail m;
  EXPECT_EQ(LoopReason(m, "club@example.test", "club.example.test"), "");
  m.XLoop = "other@example.test\tClub@Example.test";
  EXPECT_EQ(LoopReason(m, "club@example.test", "club.example.test"), "X-Loop: Club@Example.test");
  EXPECT_EQ(LoopReason(m, "third@example.test", "third.example.test"), "") << "lists can be chained";
  m.XLoop.clear();
  m.ListId = "\"Club\" <Club.Example.test>";
  EXPECT_EQ(LoopReason(m, "club@example.test", "club.example.test"), "List-Id: \"Club\" <Club.Example.test>");
  EXPECT_EQ(LoopReason(m, "club@example.test", "other.example.test"), "");
}

// ---------------------------------------------------------------------------
// The daily reply limit

TEST(ReplyLimiterTest, OneReplyPerSenderAndRowADay) {
  FakeFileSystem fs;
  fs.AddDir("/prog");
  FixedClock clock{LocalTime{}};
  const std::int64_t start = 1'800'000'000'000'000;
  clock.SetEpochMicros(start);
  ReplyLimiter limiter(fs, clock, "/prog/kelmora-replies.txt");

  EXPECT_FALSE(limiter.RepliedRecently("row A", "taro@example.test")) << "no record yet";
  ASSERT_TRUE(limiter.RecordReply("row A", "Taro@Example.test").ok());
  EXPECT_TRUE(limiter.RepliedRecently("row A", "taro@example.test")) << "addresses compare without case";
  EXPECT_FALSE(limiter.RepliedRecently("row B", "taro@example.test")) << "another row answers on its own";
  EXPECT_FALSE(limiter.RepliedRecently("row A", "jiro@example.test"));

  // A new limiter (the next start of the program) reads the same record.
  ReplyLimiter later(fs, clock, "/prog/kelmora-replies.txt");
  clock.SetEpochMicros(start + ReplyLimiter::kWindowMicros - 1000);
  EXPECT_TRUE(later.RepliedRecently("row A", "taro@example.test"));
  clock.SetEpochMicros(start + ReplyLimiter::kWindowMicros + 10);
  EXPECT_FALSE(later.RepliedRecently("row A", "taro@example.test")) << "a day later";

  // Recording prunes what has aged, and lines that cannot be read.
  std::string bytes;
  ASSERT_TRUE(fs.ReadFile("/prog/kelmora-replies.txt", &bytes).ok());
  fs.AddFile("/prog/kelmora-replies.txt", bytes + "garbage line\r\n12x\trow\tx@y\r\n");
  ASSERT_TRUE(later.RecordReply("row B", "jiro@example.test").ok());
  ASSERT_TRUE(fs.ReadFile("/prog/kelmora-replies.txt", &bytes).ok());
  EXPECT_EQ(bytes, std::to_string(clock.EpochMicros() - 1) + "\trow B\tjiro@example.test\r\n");
}

TEST(ReplyLimiterTest, ClockSetBackAndFailuresDoNotBlockForever) {
  FakeFileSystem fs;
  fs.AddDir("/prog");
  FixedClock clock{LocalTime{}};
  clock.SetEpochMicros(2'000'000'000'000'000);
  ReplyLimiter limiter(fs, clock, "/prog/kelmora-replies.txt");
  ASSERT_TRUE(limiter.RecordReply("row", "a@example.test").ok());
  clock.SetEpochMicros(1'000'000'000'000'000);  // set back by years
  EXPECT_FALSE(limiter.RepliedRecently("row", "a@example.test"));

  ReplyLimiter nowhere(fs, clock, "/missing/folder/kelmora-replies.txt");
  EXPECT_FALSE(nowhere.RecordReply("row", "a@example.test").ok());
  EXPECT_FALSE(nowhere.RepliedRecently("row", "a@example.test"));
}

// ---------------------------------------------------------------------------
// Headers of posts and replies

TEST(ListHeadersTest, ListIdFromTheTagOrTheLocalPart) {
  auto id = [](const std::string& to, const std::string& keyword) {
    return ListIdentifier(MasterRule{.ToAddress = to, .Keyword = keyword});
  };
  EXPECT_EQ(id("club@example.test", "[club]"), "club.example.test");
  EXPECT_EQ(id("club@Example.TEST", "[Photo Club_2024!]"), "photo-club-2024-.example.test");
  EXPECT_EQ(id("club@example.test", "[さくら]"), "---.example.test") << "one '-' per character, not per byte";
  EXPECT_EQ(id("Photo.Club@example.test", "news"), "photo.club.example.test") << "no tag: the local part";
  EXPECT_EQ(id("club@example.test", "[]"), "club.example.test") << "nothing inside the tag";
}

TEST(ListHeadersTest, PostsNameTheListAndTheFirstRemovalRowOfTheirFile) {
  MasterTable master = {
      MasterRule{.ToAddress = "club@example.test", .Keyword = "[club]", .Destination = "members.txt"},
      MasterRule{.ToAddress = "other@example.test", .Keyword = "bye", .Action = RuleAction::kExistingDelete, .DataFile = "others.txt"},
      MasterRule{.ToAddress = "leave@example.test", .Keyword = "退会 する", .Action = RuleAction::kExistingDelete, .DataFile = "members.txt"},
      MasterRule{.ToAddress = "later@example.test", .Keyword = "x", .Action = RuleAction::kExistingDelete, .DataFile = "members.txt"},
  };
  ProgramHeaders h = PostHeaders(master, 0);
  EXPECT_EQ(h.list_id, "<club.example.test>");
  EXPECT_EQ(h.list_post, "<mailto:club@example.test>");
  // Lower-case hex: upper-case "%BC" reads to spam filters as an unfilled template.
  EXPECT_EQ(h.list_unsubscribe, "<mailto:leave@example.test?subject=%e9%80%80%e4%bc%9a%20%e3%81%99%e3%82%8b>");
  EXPECT_EQ(h.x_loop, "club@example.test");
  EXPECT_EQ(h.precedence, "list");
  EXPECT_EQ(h.auto_submitted, "");
  master[2].DataFile = "Members.txt";
  master[3].DataFile = "Members.txt";
  EXPECT_EQ(PostHeaders(master, 0).list_unsubscribe, "") << "no removal row for this file";

  OutgoingMail reply;
  reply.RequestMessageId = "<req@example.test>";
  reply.RequestReferences = "<a@example.test>";
  h = ReplyHeaders(reply);
  EXPECT_EQ(h.auto_submitted, "auto-replied");
  EXPECT_EQ(h.in_reply_to, "<req@example.test>");
  EXPECT_EQ(h.references, "<a@example.test> <req@example.test>");
  EXPECT_EQ(h.list_id, "");
  EXPECT_EQ(ReplyHeaders(OutgoingMail{}).in_reply_to, "") << "a request without Message-ID";
}

// The tag number changes the subject: a post threads by the headers of the
// message it forwards.
TEST(ListHeadersTest, PostsCarryTheThreadOfTheMessageTheyForward) {
  const MasterTable master = {MasterRule{.ToAddress = "club@example.test", .Keyword = "[club]"}};
  struct Case {
    const char* in_reply_to;
    const char* references;
    const char* want_in_reply_to;
    const char* want_references;
  };
  for (const Case& c : {
           Case{"<p1@example.test>", "<p0@example.test> <p1@example.test>", "<p1@example.test>",
                "<p0@example.test> <p1@example.test>"},
           Case{"<p1@example.test>", "<p0@example.test>", "<p1@example.test>", "<p0@example.test> <p1@example.test>"},
           Case{"<p1@example.test>", "", "<p1@example.test>", "<p1@example.test>"},
           Case{"", "<p0@example.test>", "", "<p0@example.test>"},
           Case{"", "", "", ""},
       }) {
    OutgoingMail post;
    post.ListTag = kTitleIsListTag;
    post.ReceivedInReplyTo = c.in_reply_to;
    post.ReceivedReferences = c.references;
    const ProgramHeaders h = MailHeaders(master, post);
    EXPECT_EQ(h.in_reply_to, c.want_in_reply_to) << c.in_reply_to << " | " << c.references;
    EXPECT_EQ(h.references, c.want_references) << c.in_reply_to << " | " << c.references;
    EXPECT_EQ(h.list_id, "<club.example.test>");
  }
}

// ---------------------------------------------------------------------------
// The rows on machine mail, loops and repeated requests

constexpr const char* kClub = "club@example.test";

class ListGuardTest : public fixture::DispatchFixture {
 protected:
  void SetUp() override {
    DispatchFixture::SetUp();
    WriteMembers("members.txt", {"a@example.test", "b@example.test"});
    WriteFile("reply.txt", "ただいま不在です。");
  }
  static Rule Forward() { return Rule{.ToAddr = kClub, .Keyword = "[club]", .Destination = "members.txt"}; }
  static Rule AutoReply() {
    return Rule{.ToAddr = "info@example.test", .Keyword = "info", .SendFrom = "info@example.test",
                .Process = "自動応答", .Msg = "reply.txt"};
  }
  static Message To(const std::string& to, const std::string& subject, ReceivedMail headers = {},
                    const std::string& from = "\"Taro\" <taro@example.test>") {
    return Message{.to = "<" + to + ">", .from = from, .subject = subject, .headers = std::move(headers)};
  }
  void Run(const std::vector<Rule>& rules) {
    WriteMaster(rules);
    WriteIni(Ini{});
    ASSERT_TRUE(Start());
    RunCycle();
  }
};

TEST_F(ListGuardTest, MachineMailGetsNoReplyAndChangesNoMembershipButIsKept) {
  Rule join{.ToAddr = "join@example.test", .SenderFilter = "members.txt", .Keyword = "join", .Process = "新規登録",
            .Msg = "reply.txt", .File = "members.txt"};
  AddMessage("m1.eml", To("info@example.test", "info", {.AutoSubmitted = "auto-replied"}));
  AddMessage("m2.eml", To("join@example.test", "join", {.HasReturnPath = true, .ReturnPath = "<>"},
                          "<MAILER-DAEMON@mx.example.test>"));
  AddMessage("m3.eml", To("info@example.test", "info", {.Precedence = "list", .ListId = "<x.example.test>"}));
  AddMessage("m4.eml", To("info@example.test", "info", {.AutoSubmitted = "no", .MessageId = "<q1@example.test>"}));
  Run({AutoReply(), join});

  ASSERT_EQ(mail_.sent.size(), 1u) << "only the person gets an answer";
  EXPECT_EQ(mail_.sent[0].recipients,
            "taro@example.test\t>Message-ID: Kelmora\t;Auto-Submitted: auto-replied"
            "\t;In-Reply-To: <q1@example.test>\t;References: <q1@example.test>");
  EXPECT_FALSE(Contains(ReadFile("members.txt"), "MAILER-DAEMON"));
  const std::vector<std::string> log = Lines(MainLog());
  ASSERT_EQ(log.size(), 3u) << MainLog();
  EXPECT_TRUE(StartsWith(log[0], "自動送信メールには応答しません<taro@example.test>:Auto-Submitted: auto-replied"
                                 "（Master.txtの1行目）"))
      << log[0];
  EXPECT_TRUE(Contains(log[1], "<MAILER-DAEMON@mx.example.test>:Return-Path: <>（Master.txtの2行目）")) << log[1];
  EXPECT_TRUE(Contains(log[2], ":Precedence: list")) << log[2];
  // Held-back messages are settled as unprocessed: kept, readable.
  for (const char* name : {"m1.eml", "m2.eml", "m3.eml"}) EXPECT_TRUE(ReceiveFileExists(name)) << name;
}

TEST_F(ListGuardTest, AutomaticMailAndOwnLoopsAreNotForwardedButOtherListsAre) {
  AddMessage("m1.eml", To(kClub, "[club] 不在", {.AutoSubmitted = "auto-replied"}));
  AddMessage("m2.eml", To(kClub, "[club] again", {.XLoop = "club@example.test"}));
  AddMessage("m3.eml", To(kClub, "[club] own id", {.ListId = "Club <club.example.test>"}));
  AddMessage("m4.eml", To(kClub, "[club] chained", {.Precedence = "list", .ListId = "<other.example.test>",
                                                    .XLoop = "other@example.test"}));
  Run({Forward()});

  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_EQ(mail_.sent[0].subject, "[club:0001(2)]  chained");
  const std::vector<std::string> log = Lines(MainLog());
  ASSERT_EQ(log.size(), 3u) << MainLog();
  EXPECT_TRUE(StartsWith(log[0], "自動送信メールは転送しません<taro@example.test>:Auto-Submitted: auto-replied"))
      << log[0];
  EXPECT_TRUE(StartsWith(log[1], "このリストを通ったメールは再び転送しません<taro@example.test>:X-Loop: "
                                 "club@example.test"))
      << log[1];
  EXPECT_TRUE(Contains(log[2], ":List-Id: Club <club.example.test>")) << log[2];
  for (const char* name : {"m1.eml", "m2.eml", "m3.eml"}) EXPECT_TRUE(ReceiveFileExists(name)) << name;
}

TEST_F(ListGuardTest, HeldBackByOneRowStillServedByAnother) {
  // A vacation reply to a post is not forwarded, but the bounce row and a
  // save row still see it; a forward row later in the table still forwards
  // list mail that an auto-reply row refused to answer.
  Rule copy{.ToAddr = kClub, .Keyword = "list", .Destination = "admin@example.test"};
  Rule reply_row{.ToAddr = kClub, .Keyword = "list", .SendFrom = kClub, .Process = "自動応答", .Msg = "reply.txt"};
  AddMessage("m1.eml", To(kClub, "[club] from a list", {.ListId = "<other.example.test>"}));
  Run({reply_row, copy});
  ASSERT_EQ(mail_.sent.size(), 1u);
  EXPECT_TRUE(StartsWith(mail_.sent[0].recipients, "club@example.test\tbcc\tadmin@example.test"));
  EXPECT_EQ(Lines(MainLog()).size(), 1u);
}

TEST_F(ListGuardTest, SecondRequestWithinADayGetsNothing) {
  Rule body_reply{.ToAddr = "help@example.test", .Keyword = "help", .SendFrom = "help@example.test",
                  .Process = "本文応答", .Msg = "reply.txt"};
  AddMessage("m1.eml", To("info@example.test", "info"));
  AddMessage("m2.eml", To("info@example.test", "info again"));
  AddMessage("m3.eml", To("help@example.test", "help"));
  AddMessage("m4.eml", To("info@example.test", "info", {}, "\"Jiro\" <jiro@example.test>"));
  Run({AutoReply(), body_reply});

  ASSERT_EQ(mail_.sent.size(), 3u) << "Taro once per row, Jiro once";
  EXPECT_TRUE(StartsWith(mail_.sent[0].recipients, "taro@example.test\t"));
  EXPECT_TRUE(StartsWith(mail_.sent[1].recipients, "taro@example.test\t"));
  EXPECT_TRUE(StartsWith(mail_.sent[2].recipients, "jiro@example.test\t"));
  EXPECT_EQ(MainLog(), "同じ差出人には24時間に1回しか応答しません<taro@example.test>:前回の応答から24時間たっていません"
                       "（Master.txtの1行目） at " + std::string(kStamp) + "\r\n");
  EXPECT_TRUE(ReceiveFileExists("m2.eml")) << "kept as unprocessed";
  EXPECT_TRUE(Exists(ReplyLimiter::kFileName));

  // A day later the same request is answered again.
  clock_.SetEpochMicros(clock_.EpochMicros() + ReplyLimiter::kWindowMicros);
  AddMessage("m5.eml", To("info@example.test", "info"));
  RunCycle();
  ASSERT_EQ(mail_.sent.size(), 4u);
  EXPECT_TRUE(StartsWith(mail_.sent[3].recipients, "taro@example.test\t"));
}

TEST_F(ListGuardTest, BouncesAreHandledAsBefore) {
  WriteFile("UnDelivery.txt", "Delivery has failed\r\n<,>\r\n");
  Rule bounce{.ToAddr = kClub, .SenderFilter = "", .Keyword = "Undelivered", .Process = "不配削除", .File = "members.txt"};
  AddMessage("m1.eml",
             Message{.to = "<club@example.test>", .from = "<MAILER-DAEMON@mx.example.test>",
                     .subject = "Undelivered Mail", .body = "Delivery has failed to:\r\n<a@example.test>\r\n",
                     .headers = {.AutoSubmitted = "auto-replied", .HasReturnPath = true, .ReturnPath = "<>"}});
  Run({bounce});
  EXPECT_FALSE(Contains(ReadFile("members.txt"), "a@example.test"));
  EXPECT_TRUE(Contains(UnDeliveryLog(), "a@example.test")) << UnDeliveryLog();
  EXPECT_EQ(MainLog(), "");
}

}  // namespace
}  // namespace kelmora
