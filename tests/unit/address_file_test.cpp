// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/address_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "textio/codepage.h"
#include "textio/strings.h"
#include "textio/text_file.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"

namespace kelmora {
namespace {

// The result number as the files and replies have always shown it.
int Code(MemberResult r) { return static_cast<int>(r); }

// The program folder in memory.
struct ProgFolder {
  std::string path() const { return "/prog"; }
  std::string File(const std::string& name) const { return path() + "/" + name; }
};

// Tests that set up and read back files of the fake program folder `dir_`,
// the file system the code under test is handed; faults are injected there.
class OnFakeDisk : public ::testing::Test {
 protected:
  OnFakeDisk() { fs_.AddDir(dir_.path()); }

  void WriteBytes(const std::string& path, const std::string& bytes) { fs_.AddFile(path, bytes); }
  // Writes UTF-8 test text as the code page 932 bytes a data file holds.
  void WriteCp932(const std::string& path, const std::string& text) { WriteBytes(path, Utf8ToCp932(text)); }
  std::string ReadBytes(const std::string& path) const { return fs_.Bytes(path); }
  std::string ReadCp932(const std::string& path) const { return Cp932ToUtf8(ReadBytes(path)); }
  // Every write of the code under test fails (an atomic rewrite or an append).
  void FailWrites() { fs_.InjectFault(FakeFileSystem::kWrite | FakeFileSystem::kAppend); }

  ProgFolder dir_;
  FakeFileSystem fs_;
};

MasterTable RulesNaming(const std::vector<std::string>& addr_files) {
  MasterTable rules;
  for (const std::string& f : addr_files) {
    MasterRule r;
    r.Destination = f;
    rules.push_back(r);
  }
  return rules;
}

const LocalTime kWhen{2003, 3, 5, 14, 7, 33};
constexpr char kStamp[] = "2003/03/05-14:07";

// ---------------------------------------------------------------- loading

class ReadAddressTest : public OnFakeDisk {
 protected:
  // Loads with one rule naming `file` holding `content`; returns the message.
  std::string FailureFor(const std::string& content, const std::string& name = "m.txt") {
    WriteCp932(dir_.File(name), content);
    MemberTable table;
    Status s = ReadAddress(fs_, dir_.path(), RulesNaming({name}), &table);
    EXPECT_FALSE(s.ok());
    EXPECT_TRUE(table.lists.empty());
    return s.message();
  }
};

// The loader parses each file where it lies; what it gives must be what
// reading the file's lines one by one gives: the same addresses, or the
// same message for the first bad line.
Status LoadLineByLine(const FileSystem& fs, const std::string& path, const std::string& name,
                      std::vector<std::string>* addresses) {
  std::vector<std::string> raw;
  if (!ReadRawLines(fs, path, &raw).ok()) return Status::Error("ReadAddress:不正な処理がありました。");
  int k = 0;
  for (const std::string& stored : raw) {
    if (stored.empty() || stored[0] == ';') continue;
    ++k;
    const std::string where = name + "の" + std::to_string(k) + "行目";
    if (stored.find(',') == std::string::npos) return Status::Error(where + "<" + stored + ">のデータのカンマが不足です。");
    std::string address = Trim(Split(stored, ",")[1]);
    if (address.empty()) return Status::Error(where + "<" + stored + ">にカラデータが有ります。");
    if (!IsMailAddress(address)) return Status::Error(where + "のＥメールアドレス<" + address + ">が不正です。");
    addresses->push_back(std::move(address));
  }
  if (addresses->empty()) return Status::Error("ファイル<" + name + ">の中がカラです。");
  return Status::OK();
}

TEST_F(ReadAddressTest, ParsingInPlaceMatchesReadingLineByLine) {
  const std::vector<std::string> pieces = {
      "1", ",", ",", "a@x.jp", "b@y.jp", " ", "\t", ";", "\r\n", "\n", "\r", "@", "pw", "名前@例.jp", "ｶﾅ",
      "\xEF\xBB\xBF", "x@", "@y", "\x81", "2003/01/01-00:00"};
  std::mt19937 rng(2026);
  for (int i = 0; i < 3000; ++i) {
    std::string content;
    const int n = std::uniform_int_distribution<int>(0, 25)(rng);
    for (int k = 0; k < n; ++k) content += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    fs_.AddFile(dir_.File("m.txt"), content);
    MemberTable table;
    const Status got = ReadAddress(fs_, dir_.path(), RulesNaming({"m.txt"}), &table);
    std::vector<std::string> want;
    const Status expected = LoadLineByLine(fs_, dir_.File("m.txt"), "m.txt", &want);
    ASSERT_EQ(got.ok(), expected.ok()) << "content: " << content << " / " << got.message() << " / "
                                       << expected.message();
    if (got.ok()) {
      ASSERT_EQ(table.lists.size(), 1u);
      EXPECT_EQ(table.lists[0].Slots(), want) << "content: " << content;
      for (const std::string& a : want) EXPECT_TRUE(table.HasMember(0, a)) << a;
    } else {
      EXPECT_EQ(got.message(), expected.message()) << "content: " << content;
    }
  }
}

TEST_F(ReadAddressTest, ListsArePaddedSharedAndAddressSourcesReadNoFile) {
  WriteCp932(dir_.File("a.txt"), "; members\r\n1,one@x.jp,p1\r\n\r\n2, two@x.jp ,p2,2003/01/01-00:00\r\n3,three@x.jp\r\n");
  WriteCp932(dir_.File("b.txt"), "1,solo@x.jp,pw\r\n");
  MemberTable table;
  // Rules 1 and 3 name the same file; rule 4 names no destination; rule 5 an address.
  Status s = ReadAddress(fs_, dir_.path(), RulesNaming({"a.txt", "b.txt", "a.txt", "", "boss@x.jp"}), &table);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(fs_.calls(FakeFileSystem::kRead), 2);  // a.txt once, b.txt once, nothing for the address
  ASSERT_EQ(table.lists.size(), 3u);
  EXPECT_EQ(table.slot_count, 3);
  EXPECT_EQ(table.lists[0].Source, "a.txt");
  EXPECT_EQ(table.lists[0].Slots(), (std::vector<std::string>{"one@x.jp", "two@x.jp", "three@x.jp"}));
  EXPECT_EQ(table.lists[1].Slots(), (std::vector<std::string>{"solo@x.jp", "", ""}));
  EXPECT_EQ(table.lists[2].Source, "boss@x.jp");
  EXPECT_EQ(table.lists[2].Slots(), (std::vector<std::string>{"boss@x.jp", "", ""}));
  EXPECT_EQ(table.FindList("a.txt"), 0);
  EXPECT_EQ(table.FindList("boss@x.jp"), 2);

  // A registration through the file reaches every rule that names it.
  table.AddLoadedMember(table.FindList("a.txt"), "four@x.jp");
  EXPECT_EQ(table.slot_count, 4);
  EXPECT_EQ(table.lists[0].Slots().back(), "four@x.jp");
}

TEST_F(ReadAddressTest, NoDestinationGivesNoSlots) {
  MemberTable table;
  table.slot_count = 7;  // left over from an earlier load
  table.lists.push_back(MemberList{"old.txt", {"x@y"}});
  ASSERT_TRUE(ReadAddress(fs_, dir_.path(), RulesNaming({"", ""}), &table).ok());
  EXPECT_TRUE(table.lists.empty());
  EXPECT_EQ(table.slot_count, 0);
}

TEST_F(ReadAddressTest, MissingFileNamesTheValueAsWritten) {
  MemberTable table;
  Status s = ReadAddress(fs_, dir_.path(), RulesNaming({"nofile.txt"}), &table);
  EXPECT_EQ(s.message(), "ファイル<nofile.txt>がみつかりません。");
  // A folder is not an address file.
  fs_.AddDir(dir_.File("sub"));
  s = ReadAddress(fs_, dir_.path(), RulesNaming({"sub"}), &table);
  EXPECT_EQ(s.message(), "ファイル<sub>がみつかりません。");
}

TEST_F(ReadAddressTest, BackslashNameIsFoundAndQuotedAsWritten) {
  WriteCp932(dir_.File("lists/m.txt"), "1,a@x.jp\r\n2 no comma\r\n");
  MemberTable table;
  Status s = ReadAddress(fs_, dir_.path(), RulesNaming({"lists\\m.txt"}), &table);
  EXPECT_EQ(s.message(), "lists\\m.txtの2行目<2 no comma>のデータのカンマが不足です。");
}

TEST_F(ReadAddressTest, FaultMessagesCountDataLinesOnly) {
  EXPECT_EQ(FailureFor(";c\r\n\r\n1,a@x.jp\r\n;c2\r\nbob.example.jp\r\n"),
            "m.txtの2行目<bob.example.jp>のデータのカンマが不足です。");
  EXPECT_EQ(FailureFor("1,a@x.jp\r\n2,  ,pw\r\n"), "m.txtの2行目<2,  ,pw>にカラデータが有ります。");
  EXPECT_EQ(FailureFor("1,\r\n"), "m.txtの1行目<1,>にカラデータが有ります。");
  EXPECT_EQ(FailureFor("1, @x.jp ,pw\r\n"), "m.txtの1行目のＥメールアドレス<@x.jp>が不正です。");
  EXPECT_EQ(FailureFor("1,name,pw\r\n"), "m.txtの1行目のＥメールアドレス<name>が不正です。");
  EXPECT_EQ(FailureFor("; only\r\n;comments\r\n\r\n"), "ファイル<m.txt>の中がカラです。");
  EXPECT_EQ(FailureFor(""), "ファイル<m.txt>の中がカラです。");
}

TEST_F(ReadAddressTest, CommentTestLooksAtTheLineAsStored) {
  // A blank before ";" makes the line data, not a comment.
  EXPECT_EQ(FailureFor("1,a@x.jp\r\n ;note\r\n"), "m.txtの2行目< ;note>のデータのカンマが不足です。");
  // The comment mark must come first; a later ";" is part of the data.
  WriteCp932(dir_.File("ok.txt"), ";1,skip@x.jp\r\n1,a;b@x.jp\r\n");
  MemberTable table;
  ASSERT_TRUE(ReadAddress(fs_, dir_.path(), RulesNaming({"ok.txt"}), &table).ok());
  EXPECT_EQ(table.lists[0].Slots(), (std::vector<std::string>{"a;b@x.jp"}));
}

TEST_F(ReadAddressTest, UnreadableFileIsAnIrregularOperation) {
  WriteCp932(dir_.File("m.txt"), "1,a@x.jp\r\n");
  fs_.set_fail_reads(true);
  MemberTable table;
  Status s = ReadAddress(fs_, dir_.path(), RulesNaming({"m.txt"}), &table);
  EXPECT_EQ(s.message(), "ReadAddress:不正な処理がありました。");
}

TEST_F(ReadAddressTest, BadBytesGiveMessagesAndLeaveTheFileAlone) {
  // Binary garbage: no crash, a message, and the file untouched.
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
  WriteBytes(dir_.File("bin.txt"), garbage);
  MemberTable table;
  Status s = ReadAddress(fs_, dir_.path(), RulesNaming({"bin.txt"}), &table);
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(s.message().rfind("bin.txtの", 0) == 0 || s.message() == "ファイル<bin.txt>の中がカラです。")
      << s.message();
  EXPECT_EQ(ReadBytes(dir_.File("bin.txt")), garbage);

  // Invalid code page 932 in the address: replaced, not fatal to the reader.
  WriteBytes(dir_.File("bad.txt"), "1,a\x81\x7F@x.jp,pw\r\n");
  s = ReadAddress(fs_, dir_.path(), RulesNaming({"bad.txt"}), &table);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(table.lists[0].Slots()[0].find('\x81'), std::string::npos);

  // LF-only lines, no final line break, a 100,000-character address.
  const std::string long_local(100000, 'a');
  WriteBytes(dir_.File("lf.txt"), "1,p@x.jp\n;c\n2," + long_local + "@x.jp,pw\n3,q@x.jp");
  s = ReadAddress(fs_, dir_.path(), RulesNaming({"lf.txt"}), &table);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(table.lists[0].Slots(),
            (std::vector<std::string>{"p@x.jp", long_local + "@x.jp", "q@x.jp"}));
}

// ------------------------------------------------------------ loaded lists

TEST(MemberTableTest, FindListComparesExactly) {
  MemberTable t;
  t.lists = {MemberList{"a.txt", {"x@y"}}, MemberList{"A.txt", {"z@y"}}};
  t.slot_count = 1;
  EXPECT_EQ(t.FindList("a.txt"), 0);
  EXPECT_EQ(t.FindList("A.txt"), 1);
  EXPECT_EQ(t.FindList("a.txt "), -1);
  EXPECT_EQ(t.FindList(""), -1);
}

TEST(MemberTableTest, AddFillsFirstEmptySlotElseWidensEveryList) {
  MemberTable t;
  t.lists = {MemberList{"a", {"1@x", "", "3@x"}}, MemberList{"b", {"b@x", "", ""}}};
  t.slot_count = 3;
  t.AddLoadedMember(0, "2@x");
  EXPECT_EQ(t.lists[0].Slots(), (std::vector<std::string>{"1@x", "2@x", "3@x"}));
  EXPECT_EQ(t.slot_count, 3);

  t.AddLoadedMember(0, "4@x");  // list a is full
  EXPECT_EQ(t.slot_count, 4);
  EXPECT_EQ(t.lists[0].Slots(), (std::vector<std::string>{"1@x", "2@x", "3@x", "4@x"}));
  EXPECT_EQ(t.lists[1].Slots(), (std::vector<std::string>{"b@x", "", "", ""}));

  t.AddLoadedMember(1, "c@x");  // list b still has room: nothing widens
  EXPECT_EQ(t.slot_count, 4);
  EXPECT_EQ(t.lists[1].Slots(), (std::vector<std::string>{"b@x", "c@x", "", ""}));

  // Indexes that name no list change nothing.
  t.AddLoadedMember(-1, "z@x");
  t.AddLoadedMember(2, "z@x");
  EXPECT_EQ(t.slot_count, 4);
  EXPECT_EQ(t.lists.size(), 2u);
}

TEST(MemberTableTest, RemoveEmptiesEverySlotThatMatchesExactly) {
  MemberTable t;
  t.lists = {MemberList{"a", {"d@x", "k@x", "D@x", "d@x"}}, MemberList{"b", {"d@x", "", "", ""}}};
  t.slot_count = 4;
  t.RemoveLoadedMember(0, "d@x");
  EXPECT_EQ(t.lists[0].Slots(), (std::vector<std::string>{"", "k@x", "D@x", ""}));
  EXPECT_EQ(t.lists[1].Slots()[0], "d@x");  // other lists keep their members
  t.RemoveLoadedMember(5, "k@x");
  EXPECT_EQ(t.lists[0].Slots()[1], "k@x");
  // The freed slot is reused before anything widens.
  t.AddLoadedMember(0, "n@x");
  EXPECT_EQ(t.lists[0].Slots()[0], "n@x");
  EXPECT_EQ(t.slot_count, 4);
}

// -------------------------------------------------------- member file ops

class MemberFileTest : public OnFakeDisk {
 protected:
  std::string Path() const { return dir_.File("members.txt"); }
  void Store(const std::string& text) { WriteCp932(Path(), text); }
  std::string Stored() const { return ReadCp932(Path()); }

  FixedClock clock_{kWhen};
};

TEST(IsMemberTest, MatchesTrimmedSecondFieldExactly) {
  std::vector<std::string> lines = {"1, a@x.jp ,pw", "junk", "b@x.jp", "3,C@x.jp"};
  EXPECT_EQ(IsMember(lines, "a@x.jp"), 1);
  EXPECT_EQ(IsMember(lines, "b@x.jp"), 0);  // a line of one field holds no member
  EXPECT_EQ(IsMember(lines, "c@x.jp"), 0);
  EXPECT_EQ(IsMember({""}, "a@x.jp"), 0);
}

// A member writes the domain of the address in any case; the part before
// the "@" belongs to the member's server and is compared exactly.
TEST_F(MemberFileTest, EveryMemberLookUpIgnoresTheCaseOfTheDomain) {
  const std::string file = "1,taro@Example.JP,pw1\r\n2,hanako@example.jp,pw2\r\n";
  Store(file);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "taro@example.jp", "x")), 2);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "hanako@EXAMPLE.jp", "x")), 2);
  EXPECT_EQ(Stored(), file);
  EXPECT_EQ(GetPassword(fs_, Path(), "TARO@example.jp"), "") << "local part exact";
  EXPECT_EQ(GetPassword(fs_, Path(), "taro@example.JP"), "pw1");
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "hanako@Example.jp", "pw2\r\nnew2")), 0);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "taro@EXAMPLE.JP", "pw1")), 0);
  EXPECT_EQ(Stored(), std::string("2,hanako@example.jp,new2,") + kStamp + "\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "Hanako@example.jp", "new2")), 2);

  MemberTable t;
  t.lists = {MemberList{"a", {"taro@Example.JP", "Taro@example.jp", "jiro@example.jp"}}};
  t.slot_count = 3;
  EXPECT_TRUE(t.HasMember(0, "taro@example.jp"));
  EXPECT_FALSE(t.HasMember(0, "TARO@example.jp"));
  t.RemoveLoadedMember(0, "taro@EXAMPLE.jp");
  EXPECT_EQ(t.lists[0].Slots(), (std::vector<std::string>{"", "Taro@example.jp", "jiro@example.jp"}));
}

using AddMemberTest = MemberFileTest;

TEST_F(AddMemberTest, CommentsOnlyFileGetsLineNumberOne) {
  Store("; registration list\r\n;\r\n\r\n");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "  new@x.jp ", "secret\r\nthanks")), 0);
  EXPECT_EQ(Stored(), std::string("1,new@x.jp,secret,") + kStamp + "\r\n");
}

TEST_F(AddMemberTest, NumbersByLineCountAndDropsCommentsAndBlanks) {
  Store(";head\r\n7,a@x.jp,p\r\n\r\n   9,b@x.jp,q  \r\n;mid\r\n12,c@x.jp\r\n");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "d@x.jp", "  pw  \r\n")), 0);
  EXPECT_EQ(Stored(), std::string("7,a@x.jp,p\r\n9,b@x.jp,q\r\n12,c@x.jp\r\n4,d@x.jp,pw,") + kStamp + "\r\n");
}

TEST_F(AddMemberTest, ExistingMemberIsRefusedButCaseMatters) {
  const std::string before = ";c\r\n1, a@x.jp ,p\r\n";
  Store(before);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "a@x.jp", "pw")), 2);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "A@x.jp", "pw")), 0);
  EXPECT_EQ(Stored(), std::string("1, a@x.jp ,p\r\n2,A@x.jp,pw,") + kStamp + "\r\n");
}

TEST_F(AddMemberTest, IncompleteRequestsWriteNothing) {
  const std::string before = "1,a@x.jp,p\r\n";
  Store(before);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "\r\nsecret")), -3);  // password not on the first line
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "   ")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "", "pw")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "bx.jp", "pw")), -3);
  // Lines the loader would refuse at the next start, or whose fields
  // would shift, are not written.
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@", "pw")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "@x.jp", "pw")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b,c@x.jp", "pw")), -3);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "p,w")), -3);
  EXPECT_EQ(Stored(), before);
}

TEST_F(AddMemberTest, PasswordIsTheFirstLineOnlyAlsoWithBareLineFeeds) {
  Store("");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "pw1\nsecond line\n")), 0);
  EXPECT_EQ(GetPassword(fs_, Path(), "b@x.jp"), "pw1");
}

TEST_F(AddMemberTest, MissingOrUnreadableFileGivesOne) {
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "pw")), 1);
  EXPECT_FALSE(fs_.Exists(Path()));  // nothing is created
  Store("1,a@x.jp,p\r\n");
  fs_.set_fail_reads(true);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "pw")), 1);
}

TEST_F(AddMemberTest, FailedRewriteLeavesTheFileWholeAndGivesMinusOne) {
  const std::string before = ";keep me\r\n1,a@x.jp,p\r\n2,b@x.jp,q\r\n";
  Store(before);
  FailWrites();
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "c@x.jp", "pw")), -1);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "p")), -1);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "b@x.jp", "q\r\nnew")), -1);
  EXPECT_EQ(Stored(), before);
}

TEST_F(AddMemberTest, Utf8FileWithMarkStaysSo) {
  WriteBytes(Path(), "\xEF\xBB\xBF" "1,山田@x.jp,p\r\n");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "鈴木@x.jp", "合言葉")), 0);
  EXPECT_EQ(ReadBytes(Path()), std::string("\xEF\xBB\xBF" "1,山田@x.jp,p\r\n2,鈴木@x.jp,合言葉,") + kStamp + "\r\n");
}

TEST_F(AddMemberTest, Cp932FileStaysCp932) {
  Store("1,山田@x.jp,p\r\n");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "b@x.jp", "合言葉")), 0);
  EXPECT_EQ(ReadBytes(Path()), Utf8ToCp932(std::string("1,山田@x.jp,p\r\n2,b@x.jp,合言葉,") + kStamp + "\r\n"));
}

TEST_F(AddMemberTest, LongLinesAndGarbageDoNotCrash) {
  const std::string long_line = "1," + std::string(100000, 'z') + "@x.jp,p";
  WriteBytes(Path(), long_line + "\n2,b@x.jp,q");
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "c@x.jp", "pw")), 0);
  EXPECT_EQ(Stored(), long_line + "\r\n2,b@x.jp,q\r\n3,c@x.jp,pw," + kStamp + "\r\n");

  std::string garbage;
  for (int i = 0; i < 2000; ++i) garbage += static_cast<char>((i * 37 + 11) % 256);
  WriteBytes(Path(), garbage);
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "c@x.jp", "pw")), 0);
  EXPECT_NE(Stored().find("c@x.jp"), std::string::npos);
}

using DeleteMemberTest = MemberFileTest;

TEST_F(DeleteMemberTest, RightPasswordRemovesTheMemberAndJunkLines) {
  Store(";list\r\n1,a@x.jp,pa,s\r\njunk\r\n  2,b@x.jp,pb,s  \r\n3,c@x.jp,pc,s\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), " b@x.jp ", "pb\r\nbye")), 0);
  EXPECT_EQ(Stored(), "1,a@x.jp,pa,s\r\n3,c@x.jp,pc,s\r\n");
}

TEST_F(DeleteMemberTest, WrongPasswordWritesNothing) {
  const std::string before = ";c\r\n1,a@x.jp,pa\r\n2,b@x.jp, pb \r\n";
  Store(before);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "PA")), 3);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "b@x.jp", "pb")), 3);  // stored passwords are not trimmed
  EXPECT_EQ(Stored(), before);
}

TEST_F(DeleteMemberTest, LineWithoutPasswordFieldGoesWithAnyPassword) {
  Store("1,a@x.jp\r\n2,b@x.jp,pb\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "anything")), 0);
  EXPECT_EQ(Stored(), "2,b@x.jp,pb\r\n");
}

TEST_F(DeleteMemberTest, EmptyPasswordFieldNeedsTheListsOwnRemoval) {
  Store("1,a@x.jp,,s\r\n2,b@x.jp,,s\r\n3,c@x.jp,pc\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "guess")), 3);
  // A sender who writes the rule table's removal word as its password gets
  // no say over a stored password: only the list's own removal skips it.
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "既存削除")), 3);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "c@x.jp", "不配削除")), 3);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "", PasswordCheck::kNone)), 0);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "b@x.jp", "anything", PasswordCheck::kNone)), 0);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "c@x.jp", "", PasswordCheck::kNone)), 0);  // any stored password
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "c@x.jp", "", PasswordCheck::kNone)), 2);
  EXPECT_EQ(Stored(), "\r\n");  // nothing left: one empty line
}

TEST_F(DeleteMemberTest, EveryLineOfTheAddressGoesOrNone) {
  const std::string before = "1,a@x.jp,p\r\n2,b@x.jp,q\r\n3,a@x.jp,p\r\n4,A@x.jp,p\r\n";
  Store("1,a@x.jp,p\r\n2,b@x.jp,q\r\n3,a@x.jp,other\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "p")), 3);
  EXPECT_EQ(Stored(), "1,a@x.jp,p\r\n2,b@x.jp,q\r\n3,a@x.jp,other\r\n");
  Store(before);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "p")), 0);
  EXPECT_EQ(Stored(), "2,b@x.jp,q\r\n4,A@x.jp,p\r\n");
  // Numbers are positions at the time of adding, so they may repeat.
  EXPECT_EQ(Code(AddMember(fs_, clock_, Path(), "e@x.jp", "p")), 0);
  EXPECT_EQ(Stored(), std::string("2,b@x.jp,q\r\n4,A@x.jp,p\r\n3,e@x.jp,p,") + kStamp + "\r\n");
}

TEST_F(DeleteMemberTest, NonMembersAndIncompleteRequests) {
  const std::string before = "1,a@x.jp,p\r\n";
  Store(before);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "z@x.jp", "p")), 2);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "\r\np")), -3);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "")), -3);
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "ax.jp", "p")), -3);
  EXPECT_EQ(Stored(), before);
  Store(";only comments\r\n");
  EXPECT_EQ(Code(DeleteMember(fs_, Path(), "a@x.jp", "p")), 2);
  EXPECT_EQ(Code(DeleteMember(fs_, dir_.File("absent.txt"), "a@x.jp", "p")), 1);
  EXPECT_FALSE(fs_.Exists(dir_.File("absent.txt")));
}

using ChangePasswordTest = MemberFileTest;

TEST_F(ChangePasswordTest, RewritesTheFirstMatchingLineWithStamp) {
  Store(";c\r\n5, a@x.jp ,old,2001/01/01-00:00\r\n6,b@x.jp,q\r\n7,a@x.jp,old\r\n");
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", " old \r\n new \r\nthanks")), 0);
  EXPECT_EQ(Stored(), std::string("5, a@x.jp ,new,") + kStamp + "\r\n6,b@x.jp,q\r\n7,a@x.jp,old\r\n");
  EXPECT_EQ(GetPassword(fs_, Path(), "a@x.jp"), "new");
}

TEST_F(ChangePasswordTest, WrongOldPasswordWritesNothing) {
  const std::string before = "1,a@x.jp,old\r\n2,b@x.jp, sp \r\n";
  Store(before);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "Old\r\nnew")), 3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "\r\nnew")), 3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "b@x.jp", "sp\r\nnew")), 3);  // compared as stored
  EXPECT_EQ(Stored(), before);
}

TEST_F(ChangePasswordTest, MemberWithoutPasswordTakesAnyOldPassword) {
  Store("1,a@x.jp\r\n2,b@x.jp,  ,s\r\n");
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "whatever\r\nn1")), 0);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "b@x.jp", "\r\nn2")), 0);
  EXPECT_EQ(Stored(), std::string("1,a@x.jp,n1,") + kStamp + "\r\n2,b@x.jp,n2," + kStamp + "\r\n");
}

TEST_F(ChangePasswordTest, IncompleteRequestsAndMissingMembers) {
  const std::string before = "1,a@x.jp,old\r\n";
  Store(before);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "old")), -3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "old\r\n  \r\nx")), -3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "old\r\nn,ew")), -3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "ax.jp", "old\r\nnew")), -3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "", "old\r\nnew")), -3);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "z@x.jp", "old\r\nnew")), 2);
  EXPECT_EQ(Stored(), before);
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, dir_.File("absent.txt"), "a@x.jp", "old\r\nnew")), -1);
  // Bare line feeds separate the two passwords as well.
  EXPECT_EQ(Code(ChangePassword(fs_, clock_, Path(), "a@x.jp", "old\nnew")), 0);
  EXPECT_EQ(GetPassword(fs_, Path(), "a@x.jp"), "new");
}

using GetPasswordTest = OnFakeDisk;

TEST_F(GetPasswordTest, ReturnsTheStoredFieldAndNeverWrites) {
  FakeFileSystem& fs = fs_;
  const std::string path = dir_.File("m.txt");
  const std::string before = ";c\r\n1,a@x.jp\r\n2,a@x.jp, pw ,s\r\n3,b@x.jp,,s\r\n4,c@x.jp,pc\r\n";
  WriteCp932(path, before);
  EXPECT_EQ(GetPassword(fs, path, " a@x.jp "), " pw ");  // the first line with three fields
  EXPECT_EQ(GetPassword(fs, path, "b@x.jp"), "");
  EXPECT_EQ(GetPassword(fs, path, "C@x.jp"), "");
  EXPECT_EQ(GetPassword(fs, path, "c@x.jp"), "pc");
  EXPECT_EQ(GetPassword(fs, path, "cx.jp"), "");
  EXPECT_EQ(GetPassword(fs, dir_.File("absent.txt"), "c@x.jp"), "");
  EXPECT_EQ(ReadCp932(path), before);
  EXPECT_EQ(fs.calls(FakeFileSystem::kWrite) + fs.calls(FakeFileSystem::kAppend), 0);

  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 53 + 1) % 256);
  WriteBytes(path, garbage);
  EXPECT_EQ(GetPassword(fs, path, "c@x.jp"), "");
  EXPECT_EQ(ReadBytes(path), garbage);
  EXPECT_EQ(fs.calls(FakeFileSystem::kWrite) + fs.calls(FakeFileSystem::kAppend), 0);
}

}  // namespace
}  // namespace kelmora
