// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/master_table.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/fake_file_system.h"
#include "tests/unit/temp_folder.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {

using namespace std::string_literals;

// One row of the table as fields 1 to 15; field 0 is always "0". The
// defaults make a valid plain forwarding rule.
struct Row {
  std::string ToAddr = "list@example.com";
  std::string SenderFilter;
  std::string Keyword = "kw";
  std::string Destination = "dest@example.com";
  std::string SendFrom, SendServer, ToName, ForwardSubject, TextBefore, TextAfter, Delete, Process, Msg, File, Attatch;

  std::string Line() const {
    return "0," + ToAddr + "," + SenderFilter + "," + Keyword + "," + Destination + "," + SendFrom + "," + SendServer +
           "," + ToName + "," + ForwardSubject + "," + TextBefore + "," + TextAfter + "," + Delete + "," + Process + "," + Msg +
           "," + File + "," + Attatch;
  }
};

// The program folder "/prog" on the fake file system, with the files the
// rows name: members.txt (and Members.txt) as sender/destination lists,
// reply.txt with a body, empty.txt of 0 bytes, save.txt, and UnDelivery.txt.
// Files are set up through the FileSystem interface, so the same fixture
// also runs on a real folder (MasterTableDiskTest).
class MasterTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.AddDir("/prog");
    UseFolder("/prog", &fake_);
  }

  void UseFolder(const std::string& dir, FileSystem* fs) {
    dir_ = dir;
    fs_ = fs;
    master_ = dir_ + "/Master.txt";
    Put("members.txt", "1,a@example.com,pw,0\r\n");
    Put("Members.txt", "1,b@example.com,pw,0\r\n");
    Put("reply.txt", "ご登録ありがとうございます。\r\n");
    PutBytes("empty.txt", "");
    Put("save.txt", "x\r\n");
    Put("UnDelivery.txt", "marker,<,>\r\n");
  }

  void PutBytes(const std::string& name, const std::string& bytes) {
    Status s = fs_->WriteFileAtomic(dir_ + "/" + name, bytes);
    ASSERT_TRUE(s.ok()) << s.message();
  }
  void MakeDir(const std::string& name) {
    Status s = fs_->CreateDir(dir_ + "/" + name);
    ASSERT_TRUE(s.ok()) << s.message();
  }
  void Remove(const std::string& name) {
    Status s = fs_->RemoveFile(dir_ + "/" + name);
    ASSERT_TRUE(s.ok()) << s.message();
  }
  // Data files are code page 932 on disk.
  void Put(const std::string& name, const std::string& utf8) { PutBytes(name, Utf8ToCp932(utf8)); }

  Status ReadLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    Put("Master.txt", text);
    return Read();
  }
  Status Read() { return ReadMaster(*fs_, dir_, master_, &table_); }

  // The row prefix of most messages.
  std::string P(int row) const { return master_ + " の" + std::to_string(row); }

  FakeFileSystem fake_;
  FileSystem* fs_ = nullptr;
  std::string dir_;
  std::string master_;
  MasterTable table_;
};

// ---------------------------------------------------------------------------
// Finding the file.

TEST_F(MasterTableTest, MissingTableNamesTheCsvPath) {
  Status s = Read();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "ファイル<" + dir_ + "/Master.csv>がみつかりません。");
}

TEST_F(MasterTableTest, TxtIsPreferredOverCsvAndCsvIsTheFallback) {
  Put("Master.csv", "0,csv@example.com,s@example.com,kw,dest@example.com\r\n");
  Put("Master.txt", "0,txt@example.com,s@example.com,kw,dest@example.com\r\n");
  ASSERT_TRUE(Read().ok());
  ASSERT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_[0].ToAddress, "txt@example.com");

  Remove("Master.txt");
  ASSERT_TRUE(Read().ok());
  ASSERT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_[0].ToAddress, "csv@example.com");

  // Messages then name the file actually read.
  Put("Master.csv", "; nothing but a comment\r\n");
  Status s = Read();
  EXPECT_EQ(s.message(), "ファイル<" + dir_ + "/Master.csv>の中がカラです。");

  // A folder called Master.txt is not the table.
  MakeDir("Master.txt");
  Put("Master.csv", "0,csv@example.com,s@example.com,kw,dest@example.com\r\n");
  ASSERT_TRUE(Read().ok());
  EXPECT_EQ(table_[0].ToAddress, "csv@example.com");
}

TEST_F(MasterTableTest, EmptyOrCommentOnlyFileIsEmptyTable) {
  const std::string m4 = "ファイル<" + master_ + ">の中がカラです。";
  PutBytes("Master.txt", "");
  EXPECT_EQ(Read().message(), m4);
  EXPECT_EQ(ReadLines({";a", "", ";b,c,d,e,f"}).message(), m4);
  EXPECT_TRUE(table_.empty());
}

// A file that exists but cannot be read ends in the reader's general message.
TEST_F(MasterTableTest, UnreadableFileIsIrregular) {
  Put("Master.txt", Row().Line() + "\r\n");
  fake_.set_fail_reads(true);
  Status s = Read();
  EXPECT_EQ(s.message(), "ReadMaster:不正な処理がありました。");
  EXPECT_TRUE(table_.empty());
}

// ---------------------------------------------------------------------------
// Lines, row numbers, comma counts.

TEST_F(MasterTableTest, RowNumbersCountDataRowsOnly) {
  Row bad;
  bad.Delete = "消去";
  Status s = ReadLines({";header", "", Row().Line(), ";x", "", "", Row().Line(), "", ";y", bad.Line()});
  EXPECT_EQ(s.message(), P(3) + "行目の削除指示<消去>が正しくありません。");
  // A failed read leaves no partial table behind.
  EXPECT_TRUE(table_.empty());
}

TEST_F(MasterTableTest, BlankLinesAndIndentedCommentsAreDataRows) {
  EXPECT_EQ(ReadLines({Row().Line(), "   "}).message(), P(2) + "行目<   >のデータのカンマが不足です。");
  EXPECT_EQ(ReadLines({" ;comment,a,b"}).message(), P(1) + "行目< ;comment,a,b>のデータのカンマが不足です。");
  // A tab alone is not an empty line either.
  EXPECT_FALSE(ReadLines({Row().Line(), "\t"}).ok());
}

TEST_F(MasterTableTest, LineEndingsOfEveryKindAreAccepted) {
  // LF only, no final line break, mixed.
  PutBytes("Master.txt", "0,a@example.com,s@example.com,kw,d@example.com\n;c\n0,b@example.com,s@example.com,kw,d@example.com\r\n"
                         "0,c@example.com,s@example.com,kw,d@example.com");
  ASSERT_TRUE(Read().ok());
  ASSERT_EQ(table_.size(), 3u);
  EXPECT_EQ(table_[0].ToAddress, "a@example.com");
  EXPECT_EQ(table_[2].ToAddress, "c@example.com");
  EXPECT_EQ(table_[2].AttachmentsText, "");
  EXPECT_EQ(table_[2].Attachments, AttachmentHandling::kIgnore);
}

TEST_F(MasterTableTest, FourCommasAreEnoughAndMissingFieldsAreEmpty) {
  EXPECT_EQ(ReadLines({"0,a@example.com,,kw"}).message(),
            P(1) + "行目<0,a@example.com,,kw>のデータのカンマが不足です。");

  ASSERT_TRUE(ReadLines({"anything at all, a@example.com , s@example.com ,kw,dest@example.com"}).ok());
  ASSERT_EQ(table_.size(), 1u);
  const MasterRule& r = table_[0];
  EXPECT_EQ(r.ToAddress, "a@example.com");
  EXPECT_EQ(r.SenderFilter, "s@example.com");
  EXPECT_EQ(r.Destination, "dest@example.com");
  EXPECT_EQ(r.SendFrom + r.SendServer + r.ToName + r.ForwardSubject + r.TextBefore + r.TextAfter + r.DeleteText + r.ActionText +
                r.BodyFile + r.DataFile + r.AttachmentsText,
            "");
  EXPECT_EQ(r.Deletion, DeleteInstruction::kNone);
  EXPECT_EQ(r.Action, RuleAction::kNone);
}

TEST_F(MasterTableTest, FieldsAreStoredInOrderAndExtraFieldsIgnored) {
  Row r;
  r.SendFrom = " from@example.com ";
  r.SendServer = " smtp.example.com ";
  r.ToName = " 会員各位 ";
  r.ForwardSubject = "  [ML] お知らせ  ";
  r.Delete = " 削除 ";
  r.Attatch = "  処理する  ";
  Status s = ReadLines({r.Line() + ",extra,fields"});
  ASSERT_TRUE(s.ok()) << s.message();
  const MasterRule& m = table_[0];
  EXPECT_EQ(m.SendFrom, "from@example.com");
  EXPECT_EQ(m.SendServer, "smtp.example.com");
  EXPECT_EQ(m.ToName, "会員各位");
  EXPECT_EQ(m.ForwardSubject, "  [ML] お知らせ  ");  // the subject keeps its blanks
  EXPECT_EQ(m.DeleteText, "削除");
  EXPECT_EQ(m.Deletion, DeleteInstruction::kDelete);
  EXPECT_EQ(m.AttachmentsText, "処理する");
  EXPECT_EQ(m.Attachments, AttachmentHandling::kProcess);
}

TEST_F(MasterTableTest, AddTopAndAddBottomTakeFileContentOrLiteralText) {
  Put("top.txt", "先頭の文\r\n二行目\r\n");
  MakeDir("folder");
  Row r;
  r.TextBefore = "  top.txt ";
  r.TextAfter = "  以上 ";
  Row literal_named_folder;
  literal_named_folder.TextBefore = "folder";
  literal_named_folder.TextAfter = "   ";
  ASSERT_TRUE(ReadLines({r.Line(), literal_named_folder.Line()}).ok());
  EXPECT_EQ(table_[0].TextBefore, "先頭の文\r\n二行目\r\n");
  EXPECT_EQ(table_[0].TextAfter, "  以上 ");
  EXPECT_EQ(table_[1].TextBefore, "folder");
  EXPECT_EQ(table_[1].TextAfter, "");
}

// ---------------------------------------------------------------------------
// Required fields (M3) and their exceptions.

TEST_F(MasterTableTest, EmptyRequiredFields) {
  auto m3 = [&](const std::string& line) {
    return P(1) + "行目<" + line +
           ">の「受信メール差出人アドレス」か「キーワード」か「転送先アドレスファイル名」がカラです。";
  };
  // SenderFilter empty on a row too short to carry Process, even with Delete.
  const std::string eleven = "0,a@example.com,,kw,,,,,,,,削除";
  EXPECT_EQ(ReadLines({eleven}).message(), m3(eleven));
  // Twelve commas and an empty Process: accepted.
  ASSERT_TRUE(ReadLines({eleven + ","}).ok());
  EXPECT_EQ(table_[0].DeleteText, "削除");
  // Processes that work on the sender list need it.
  Row reg;
  reg.Destination = "";
  reg.Process = "新規登録";
  reg.Msg = "reply.txt";
  reg.File = "members.txt";
  EXPECT_EQ(ReadLines({reg.Line()}).message(), m3(reg.Line()));
  // ToAddr is never optional.
  Row no_to;
  no_to.ToAddr = "  ";
  no_to.Delete = "自動削除";
  EXPECT_EQ(ReadLines({no_to.Line()}).message(), m3(no_to.Line()));
  // Keyword may be missing only for undelivered-mail rows.
  Row no_kw;
  no_kw.Keyword = "";
  EXPECT_EQ(ReadLines({no_kw.Line()}).message(), m3(no_kw.Line()));
  // Destination is optional once a delete instruction or process is written.
  Row deleting;
  deleting.Destination = "";
  deleting.Delete = "削除";
  EXPECT_TRUE(ReadLines({deleting.Line()}).ok());
  Row plain;
  plain.Destination = "";
  EXPECT_EQ(ReadLines({plain.Line()}).message(), m3(plain.Line()));
  // The exceptions judge Delete and Process as written, blanks included.
  Row blank_delete = plain;
  blank_delete.Delete = " ";
  EXPECT_TRUE(ReadLines({blank_delete.Line()}).ok());
  Row padded_undelivered;
  padded_undelivered.Keyword = "";
  padded_undelivered.Destination = "";
  padded_undelivered.Process = " 不配削除";
  padded_undelivered.File = "save.txt";
  EXPECT_EQ(ReadLines({padded_undelivered.Line()}).message(), m3(padded_undelivered.Line()));
}

TEST_F(MasterTableTest, UndeliveredDeleteMayOmitKeywordButNotATitle) {
  Row r;
  r.Keyword = "";
  r.Destination = "";
  r.Process = "不配削除";
  r.File = "save.txt";
  ASSERT_TRUE(ReadLines({r.Line()}).ok());
  EXPECT_EQ(table_[0].Keyword, "");
  // An empty keyword stands in any non-empty subject.
  r.ForwardSubject = "x";
  EXPECT_EQ(ReadLines({r.Line()}).message(), P(1) + "行目に設定されているキーワード<>が転送時の件名に入っています。");
}

// ---------------------------------------------------------------------------
// Row rules: one failing row per message, checked for the exact text.

struct RuleCase {
  const char* name;
  std::function<void(Row*)> edit;
  std::function<std::string(const std::string& p)> message;
};

TEST_F(MasterTableTest, EachRowRuleHasItsMessage) {
  const std::vector<RuleCase> cases = {
      {"V1 destination file missing", [](Row* r) { r->Destination = "nolist.txt"; },
       [](const std::string& p) { return p + "行目の転送アドレスファイル<nolist.txt>が存在しません。"; }},
      {"V2 any address needs an automatic delete", [](Row* r) { r->ToAddr = "*"; },
       [](const std::string& p) { return p + "行目の受信メールの宛先アドレス<*>が不正です。"; }},
      {"V2 any address with plain delete",
       [](Row* r) {
         r->ToAddr = "*";
         r->Delete = "削除";
       },
       [](const std::string& p) { return p + "行目の受信メールの宛先アドレス<*>が不正です。"; }},
      {"V2 at sign first", [](Row* r) { r->ToAddr = "@example.com"; },
       [](const std::string& p) { return p + "行目の受信メールの宛先アドレス<@example.com>が不正です。"; }},
      {"V3 sender file missing", [](Row* r) { r->SenderFilter = "senders.txt"; },
       [](const std::string& p) { return p + "行目の受信メールの差出人アドレスの入ったファイル名<senders.txt>が存在しません。"; }},
      {"V4 keyword inside subject",
       [](Row* r) {
         r->Keyword = "News";
         r->ForwardSubject = "Daily News";
       },
       [](const std::string& p) { return p + "行目に設定されているキーワード<News>が転送時の件名に入っています。"; }},
      {"V5 sender of sent mail invalid", [](Row* r) { r->SendFrom = "nobody"; },
       [](const std::string& p) { return p + "行目の転送メールの差出人アドレス<nobody>が不正です。"; }},
      {"V6 server missing", [](Row* r) { r->SendFrom = "from@example.com"; },
       [](const std::string& p) { return p + "行目の転送メール用のサーバー名<>が不正です。"; }},
      {"V8 delete word unknown", [](Row* r) { r->Delete = "自動"; },
       [](const std::string& p) { return p + "行目の削除指示<自動>が正しくありません。"; }},
      {"V9 body file of zero bytes", [](Row* r) { r->Msg = "empty.txt"; },
       [](const std::string& p) { return p + "行目の本文用ファイル<empty.txt>の中がカラです。"; }},
      {"V9 body file missing", [](Row* r) { r->Msg = "gone.txt"; },
       [](const std::string& p) { return p + "行目の本文用ファイル<gone.txt>の中がカラです。"; }},
      {"V10 save file missing", [](Row* r) { r->File = "nosave.txt"; },
       [](const std::string& p) { return p + "行目の保存用ファイル<nosave.txt>がありません。"; }},
      {"V11 save file is the body file",
       [](Row* r) {
         r->Msg = "reply.txt";
         r->File = "reply.txt";
       },
       [](const std::string& p) { return p + "行目の保存用ファイル名<reply.txt>が本文用ファイル名と同じです。"; }},
      {"V12 process unknown (case matters)",
       [](Row* r) {
         r->Destination = "";
         r->Process = "command";
       },
       [](const std::string& p) { return p + "行目の処理区分<command>が正しくありません。"; }},
      {"V13 reply without body",
       [](Row* r) {
         r->Destination = "";
         r->Process = "本文応答";
       },
       [](const std::string& p) { return p + "行目に本文用ファイル<>が指定してありせん。"; }},
      {"V14 survey without file",
       [](Row* r) {
         r->Destination = "";
         r->Process = "アンケート";
       },
       [](const std::string& p) { return p + "行目に保存用ファイル<>が指定してありせん。"; }},
      {"V15 member file differs in letter case",
       [](Row* r) {
         r->Destination = "";
         r->SenderFilter = "members.txt";
         r->Process = "新規登録";
         r->Msg = "reply.txt";
         r->File = "Members.txt";
       },
       [](const std::string& p) {
         return p + "行目の受信メール差出人アドレスファイル名<members.txt>と保存用ファイル<Members.txt>は同じものを指定して下さい。";
       }},
      {"V16 command with destination", [](Row* r) { r->Process = "COMMAND"; },
       [](const std::string& p) { return p + "行目の転送アドレスファイル名<dest@example.com>を指定してはいけません。"; }},
      {"V17 new forward without destination",
       [](Row* r) {
         r->Destination = "";
         r->SenderFilter = "members.txt";
         r->Process = "新規転送";
       },
       [](const std::string& p) { return "新規転送またはＴＯ転送なので、" + p + "行目の転送アドレスファイル名を指定して下さい。"; }},
      {"V18 TO forward without sender", [](Row* r) { r->Process = "ＴＯ転送"; },
       [](const std::string& p) { return "ＴＯ転送なので、" + p + "行目の転送メールの指出人アドレスを指定して下さい。"; }},
      {"V20 ML-ID keyword on a command",
       [](Row* r) {
         r->Destination = "";
         r->Keyword = "[ML]";
         r->Process = "COMMANDx";
       },
       [](const std::string& p) { return p + "行目のキーワードにML-ID<[ML]>を指定してはいけません。"; }},
      {"V21 attachment word unknown (an ML-ID on a plain rule passes)",
       [](Row* r) {
         r->Keyword = "[ML]";
         r->Attatch = "しない";
       },
       [](const std::string& p) { return p + "行目の添付ファイル処理の指示<しない>が正しくありません。"; }},
  };
  for (const RuleCase& c : cases) {
    Row r;
    c.edit(&r);
    Status s = ReadLines({Row().Line(), r.Line()});
    EXPECT_EQ(s.message(), c.message(P(2))) << c.name;
  }
}

TEST_F(MasterTableTest, ValidCombinationsAreAccepted) {
  Row any_virus;
  any_virus.ToAddr = "*";
  any_virus.Delete = "ウイルスメール自動削除";
  Row any_auto;
  any_auto.ToAddr = "*";
  any_auto.Delete = "自動削除";
  Row case_differs;  // the keyword search is case-sensitive
  case_differs.Keyword = "News";
  case_differs.ForwardSubject = "daily news";
  Row reg;
  reg.Destination = "";
  reg.SenderFilter = "members.txt";
  reg.Process = "新規登録";
  reg.Msg = "reply.txt";
  reg.File = "members.txt";
  Row to_forward;  // the one type that may use an ML-ID keyword
  to_forward.Keyword = "[ML]";
  to_forward.ForwardSubject = "[ML]";
  to_forward.Process = "ＴＯ転送";
  to_forward.Destination = "members.txt";
  to_forward.SendFrom = "from@example.com";
  to_forward.SendServer = "127.0.0.1";
  Row windows_name;  // a name written with "\" is read with "/"
  MakeDir("lists");
  Put("lists/staff.txt", "1,s@example.com,pw,0\r\n");
  windows_name.Destination = "lists\\staff.txt";
  Row survey_select;
  survey_select.Destination = "";
  survey_select.Process = "アンケート選択";
  Status s = ReadLines({any_virus.Line(), any_auto.Line(), case_differs.Line(), reg.Line(), to_forward.Line(),
                        windows_name.Line(), survey_select.Line()});
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(table_.size(), 7u);
  EXPECT_EQ(table_[4].Keyword, "[ML]");
  EXPECT_EQ(table_[5].Destination, "lists\\staff.txt");  // stored as written
}

TEST_F(MasterTableTest, DuplicateMailingListIdFailsAtTheSecondRow) {
  Row ml;
  ml.Keyword = "[ML]";
  ml.Process = "ＴＯ転送";
  ml.SendFrom = "from@example.com";
  ml.SendServer = "127.0.0.1";
  Row other_ml = ml;
  other_ml.Keyword = "[ml]";
  // Same plain keyword twice is fine; the ML-ID rows differ only in case.
  ASSERT_TRUE(ReadLines({Row().Line(), Row().Line(), ml.Line(), other_ml.Line()}).ok());
  // The duplicate message has no blank before "の".
  EXPECT_EQ(ReadLines({";", ml.Line(), "", ml.Line()}).message(),
            master_ + "の2行目に設定されているメーリングリストＩＤのキーワード<[ML]>がダブっています。");
}

TEST_F(MasterTableTest, UndeliveredDeleteNeedsThePatternFile) {
  Remove("UnDelivery.txt");
  MakeDir("UnDelivery.txt");  // a folder does not count
  Row r;
  r.Destination = "";
  r.Process = "不配削除";
  r.File = "save.txt";
  EXPECT_EQ(ReadLines({r.Line()}).message(), "不配削除ですが、「UnDelivery.txt」が有りません。");
}

TEST_F(MasterTableTest, AttachmentInstruction) {
  Row ok;
  ok.Attatch = " 処理する ";
  Row bad;
  bad.Attatch = "処理";
  ASSERT_TRUE(ReadLines({ok.Line()}).ok());
  EXPECT_EQ(table_[0].AttachmentsText, "処理する");
  EXPECT_EQ(table_[0].Attachments, AttachmentHandling::kProcess);
  EXPECT_EQ(ReadLines({bad.Line()}).message(), P(1) + "行目の添付ファイル処理の指示<処理>が正しくありません。");
}

// Each word of the Process column names its own action, exactly as written.
TEST(RuleActionWordsTest, EveryWordNamesItsOwnAction) {
  const std::pair<const char*, RuleAction> kWords[] = {
      {"", RuleAction::kNone},
      {"本文応答", RuleAction::kBodyReply},
      {"自動応答", RuleAction::kAutoReply},
      {"自動保存", RuleAction::kAutoSave},
      {"新規転送", RuleAction::kNewForward},
      {"既存削除", RuleAction::kExistingDelete},
      {"新規登録", RuleAction::kNewRegistration},
      {"不配削除", RuleAction::kUndeliveredDelete},
      {"ＴＯ転送", RuleAction::kToForward},
      {"COMMAND", RuleAction::kCommand},
      {"COMMANDx", RuleAction::kCommandX},
      {"アンケート", RuleAction::kSurvey},
      {"アンケート選択", RuleAction::kSurveySelect},
      {"アンケート１行", RuleAction::kSurveyOneLine},
      {"アンケート選択１行", RuleAction::kSurveySelectOneLine},
      {"アンケート＋結果転送", RuleAction::kSurveyResults},
      {"アンケート＋結果転送＋限定", RuleAction::kSurveyResultsRestricted},
      {"アンケート＋アドレス転送", RuleAction::kSurveyAddresses},
      {"アンケート＋削除", RuleAction::kSurveyClear},
      {"アドレス登録", RuleAction::kAddressRegistration},
      {"アドレス削除", RuleAction::kAddressDeletion},
      {"パスワード問い合わせ", RuleAction::kPasswordInquiry},
      {"パスワード変更", RuleAction::kPasswordChange},
  };
  for (const auto& [word, action] : kWords) EXPECT_EQ(RuleActionOf(word), action) << word;
  for (const char* other : {"command", "TO転送", " 自動応答", "アンケート ", "削除"}) {
    EXPECT_EQ(RuleActionOf(other), std::nullopt) << other;
  }
}

// ---------------------------------------------------------------------------
// Encodings and bad input.

TEST_F(MasterTableTest, Cp932AndUtf8WithMarkAreRead) {
  Row r;
  r.ToAddr = "*";
  r.Delete = "自動削除";
  r.ForwardSubject = "①お知らせ～";
  const std::string text = ";規則表\r\n" + r.Line() + "\r\n";
  PutBytes("Master.txt", Utf8ToCp932(text));
  ASSERT_TRUE(Read().ok());
  EXPECT_EQ(table_[0].ForwardSubject, "①お知らせ～");
  EXPECT_EQ(table_[0].Deletion, DeleteInstruction::kAutoDelete);

  PutBytes("Master.txt", "\xEF\xBB\xBF" + text);
  ASSERT_TRUE(Read().ok());
  EXPECT_EQ(table_[0].ForwardSubject, "①お知らせ～");
}

TEST_F(MasterTableTest, GarbageNeverCrashes) {
  // Invalid CP932 (a lead byte before a blank, a byte that is never valid),
  // NUL bytes inside names.
  PutBytes("Master.txt", "0,a@example.com,s@example.com,kw\x81 ,\xFF\xFE,x\r\n");
  Status s = Read();
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("が存在しません。"), std::string::npos) << s.message();

  // 100,000 characters without and with commas.
  std::string long_line(100000, 'x');
  EXPECT_EQ(ReadLines({long_line}).message(), P(1) + "行目<" + long_line + ">のデータのカンマが不足です。");
  std::string commas(100000, ',');
  s = ReadLines({"0,a@example.com,,kw,dest@example.com" + commas});
  EXPECT_TRUE(s.ok()) << s.message();
  s = ReadLines({Row().Line() + std::string(100000, 'a')});
  EXPECT_FALSE(s.ok());

  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(4096, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
    PutBytes("Master.txt", bytes);
    s = Read();
    EXPECT_TRUE(s.ok() || !s.message().empty()) << round;
  }
}

// The real disk's system calls see a file name only up to a NUL byte; the
// fake has no such limit, so this runs on a real folder.
class MasterTableDiskTest : public MasterTableTest {
 protected:
  void SetUp() override { UseFolder(tmp_.path(), &real_); }

  TempFolder tmp_;
  RealFileSystem real_;
};

TEST_F(MasterTableDiskTest, NulInAFileNameDoesNotFindTheFileTheNameIsCutTo) {
  PutBytes("Master.txt", "0,a@example.com,s@example.com,kw,members.txt\0junk\r\n"s);
  Status s = Read();
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("が存在しません。"), std::string::npos);
}

}  // namespace
}  // namespace kelmora
