// SPDX-License-Identifier: GPL-3.0-or-later
// Surveys by mail: recording answers in the result file, the tally reply,
// the voter list and the small text helpers they share.
#include "process/survey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

const char* const kPath = "prog/survey.txt";

class SurveyTest : public ::testing::Test {
 protected:
  void Put(const std::string& utf8) { fs_.AddFile(kPath, Utf8ToCp932(utf8)); }
  std::string Content() const { return Cp932ToUtf8(fs_.Bytes(kPath)); }
  std::string Vote(const std::string& body, const std::string& voter, int kind = 0,
                   const std::string& keyword = "Lunch") {
    return Outcome(RecordSurveyAnswer(fs_, kPath, keyword, body, voter, kind));
  }
  // The outcome in a word, so that the refusals are told apart.
  static std::string Outcome(const Status& s) {
    switch (s.code()) {
      case Status::Code::kOk: return "recorded";
      case Status::Code::kNotFound: return "no file";
      case Status::Code::kRefused: return "voted before";
      case Status::Code::kCorrupt: return "other survey";
      case Status::Code::kInvalidArgument: return "invalid";
      default: return "failed";
    }
  }

  FakeFileSystem fs_;
};

TEST_F(SurveyTest, FirstVoteWritesHeaderAndOneLinePerDistinctAnswer) {
  // Whatever the file held before the first vote is replaced, comment and
  // all; a repeated line counts once and an empty line leaves nothing.
  Put("; prepared by hand\r\nsomething else,7\r\n");
  EXPECT_EQ(Vote("A\r\n\r\nB\r\n A \r\n", " v@example.test ", 0, " Lun,ch \r\nsecond line"), "recorded");
  EXPECT_EQ(Content(), "Lunch,1\r\nA＝1,v@example.test\r\nB＝1,v@example.test\r\n");
}

TEST_F(SurveyTest, FirstVoteOfOneLineKindTakesOnlyTheFirstLine) {
  Put("");
  EXPECT_EQ(Vote("A\r\nB", "v@x", 2), "recorded");
  EXPECT_EQ(Content(), "Lunch,1\r\nA＝1,v@x\r\n");
  // The selecting kinds cannot add choices, but the very first vote builds
  // the file all the same.
  Put("");
  EXPECT_EQ(Vote("Z\r\nY", "v@x", 1), "recorded");
  EXPECT_EQ(Content(), "Lunch,1\r\nZ＝1,v@x\r\nY＝1,v@x\r\n");
}

TEST_F(SurveyTest, LaterVotesCountExistingChoicesAndAddNewOnes) {
  Put("Lunch,1\r\nA＝1,a@x\r\nB＝1,a@x\r\n");
  EXPECT_EQ(Vote("B\r\nC\r\nC", "b@x"), "recorded");
  EXPECT_EQ(Content(), "Lunch,2\r\nA＝1,a@x\r\nB＝2,a@x,b@x\r\nC＝1,b@x\r\n");
  // New choices go to the end in answer order, after the existing ones.
  EXPECT_EQ(Vote("D\r\nC", "c@x"), "recorded");
  EXPECT_EQ(Content(), "Lunch,3\r\nA＝1,a@x\r\nB＝2,a@x,b@x\r\nC＝2,b@x,c@x\r\nD＝1,c@x\r\n");
}

TEST_F(SurveyTest, SecondVoteOfTheSameVoterChangesNothing) {
  Put("Lunch,1\r\nA＝1,a@x\r\n");
  const int before = fs_.Version(kPath);
  EXPECT_EQ(Vote("A", "a@x"), "voted before");
  EXPECT_EQ(Vote("B", " a@x "), "voted before");  // the voter is trimmed
  EXPECT_EQ(fs_.Version(kPath), before);
  EXPECT_EQ(Vote("A", "A@x"), "recorded");  // addresses compare with case
}

TEST_F(SurveyTest, SelectingKindsIgnoreUnknownAnswersButCountTheVoter) {
  Put("Lunch,1\r\nA＝1,a@x\r\n");
  EXPECT_EQ(Vote("Z", "b@x", 1), "recorded");
  EXPECT_EQ(Content(), "Lunch,2\r\nA＝1,a@x\r\n");
  // Kind 3 looks at the first line only: "A" on the second line is not an
  // answer.
  EXPECT_EQ(Vote("Z\r\nA", "c@x", 3), "recorded");
  EXPECT_EQ(Content(), "Lunch,3\r\nA＝1,a@x\r\n");
  EXPECT_EQ(Vote("Z\r\nA", "d@x", 2), "recorded");
  EXPECT_EQ(Content(), "Lunch,4\r\nA＝1,a@x\r\nZ＝1,d@x\r\n");
}

TEST_F(SurveyTest, PreparedChoicesWithoutCommaGetOneWhenLookedAt) {
  Put("Lunch,0\r\nA＝0\r\nB＝0\r\nC＝0\r\n");
  EXPECT_EQ(Vote("A", "v@x", 1), "recorded");
  // Only the lines looked at (down to the match) get their comma.
  EXPECT_EQ(Content(), "Lunch,1\r\nA＝1,v@x\r\nB＝0\r\nC＝0\r\n");
  EXPECT_EQ(Vote("C", "w@x", 1), "recorded");
  EXPECT_EQ(Content(), "Lunch,2\r\nA＝1,v@x\r\nB＝0,\r\nC＝1,w@x\r\n");
  // The empty voter field of the untouched choice B is nobody: w, whose
  // vote comes after it, is still recognised as having voted.
  EXPECT_EQ(Vote("B", "w@x", 1), "voted before");
  EXPECT_EQ(SurveyVoters(fs_, kPath), "v@x, w@x");
}

TEST_F(SurveyTest, AnswerHoldingACommaIsWrittenButIsNoChoiceLine) {
  Put("");
  EXPECT_EQ(Vote("A,B", "v@x"), "recorded");
  EXPECT_EQ(Content(), "Lunch,1\r\nA,B＝1,v@x\r\n");
  EXPECT_EQ(SurveyResults(fs_, kPath, ""), "Lunchに関する1名の方の集計結果です。");
  EXPECT_EQ(SurveyVoters(fs_, kPath), "まだ何にも集計されていません。");
  EXPECT_EQ(Vote("A,B", "w@x"), "recorded");
  EXPECT_EQ(Content(), "Lunch,2\r\nA,B＝1,v@x\r\nA,B＝1,w@x\r\n");
}

TEST_F(SurveyTest, RefusalsLeaveTheFileAlone) {
  Put("Lunch,1\r\nA＝1,a@x\r\n");
  const int before = fs_.Version(kPath);
  EXPECT_EQ(Vote("A", "v@x", 0, " , \r\n"), "invalid");  // no title
  EXPECT_EQ(Vote("A", "  ", 0), "invalid");               // no voter
  EXPECT_EQ(Vote(" \r\nA", "v@x", 0), "invalid");          // empty first line
  EXPECT_EQ(Vote("", "v@x", 0), "invalid");
  EXPECT_EQ(Vote("A", "v@x", 0, "Dinner"), "other survey");   // another survey's file
  EXPECT_EQ(Vote("A", "v@x", 7), "invalid");             // no such kind
  EXPECT_EQ(fs_.Version(kPath), before);
  EXPECT_EQ(Outcome(RecordSurveyAnswer(fs_, "prog/none.txt", "Lunch", "A", "v@x", 0)), "no file");
  EXPECT_FALSE(fs_.HasFile("prog/none.txt"));
}

TEST_F(SurveyTest, FailedWriteReportsFailureAndKeepsTheOldContent) {
  Put("Lunch,1\r\nA＝1,a@x\r\n");
  fs_.set_fail_writes(true);
  EXPECT_EQ(Vote("A", "v@x"), "failed");
  EXPECT_EQ(Content(), "Lunch,1\r\nA＝1,a@x\r\n");
  fs_.set_fail_writes(false);
  fs_.set_fail_reads(true);
  EXPECT_EQ(Vote("A", "v@x"), "failed");  // unreadable is no absent file
}

TEST_F(SurveyTest, BareLineFeedsAndUtf8FilesWork) {
  fs_.AddFile(kPath, "\xEF\xBB\xBFLunch,1\r\nA＝1,a@x\r\n");
  EXPECT_EQ(Vote("A\nB\n", "v@x"), "recorded");
  EXPECT_EQ(fs_.Bytes(kPath), "\xEF\xBB\xBFLunch,2\r\nA＝2,a@x,v@x\r\nB＝1,v@x\r\n");
}

TEST_F(SurveyTest, LongBodyIsTalliedInOnePass) {
  Put("Lunch,1\r\nA＝1,a@x\r\n");
  std::string body;
  for (int i = 0; i < 40000; ++i) body += "answer " + std::to_string(i) + "\r\n";
  body += "A\r\n";
  EXPECT_EQ(Vote(body, "v@x"), "recorded");
  std::vector<std::string> lines;
  ASSERT_TRUE(ReadLines(fs_, kPath, &lines).ok());
  ASSERT_EQ(lines.size(), 40002u);
  EXPECT_EQ(lines[0], "Lunch,2");
  EXPECT_EQ(lines[1], "A＝2,a@x,v@x");
  EXPECT_EQ(lines[40001], "answer 39999＝1,v@x");
}

TEST_F(SurveyTest, ResultsListEveryChoiceWithItsCount) {
  Put("Lunch,3\r\nA＝1,a@x\r\nnote without equals\r\nB＝2,b@x,c@x\r\n");
  EXPECT_EQ(SurveyResults(fs_, kPath, ""), "Lunchに関する3名の方の集計結果です。\r\nA＝1\r\nB＝2");
  // Restricted to those who took part: the sender is compared trimmed.
  EXPECT_EQ(SurveyResults(fs_, kPath, " c@x "), "Lunchに関する3名の方の集計結果です。\r\nA＝1\r\nB＝2");
  EXPECT_EQ(SurveyResults(fs_, kPath, "z@x"), "集計に参加された方だけが結果を見られます。");
}

TEST_F(SurveyTest, ResultsAndVotersOfEmptyOrMissingFiles) {
  EXPECT_EQ(SurveyResults(fs_, "prog/none.txt", ""), "何んらかのエラーが有りました。");
  EXPECT_EQ(SurveyVoters(fs_, "prog/none.txt"), "何んらかのエラーが有りました。");
  Put(" \r\n");  // what emptying a survey leaves behind
  EXPECT_EQ(SurveyResults(fs_, kPath, ""), "まだ何にも集計されていません。");
  EXPECT_EQ(SurveyResults(fs_, kPath, "a@x"), "まだ何にも集計されていません。");
  EXPECT_EQ(SurveyVoters(fs_, kPath), "まだ何にも集計されていません。");
  Put("Lunch,0\r\nA＝0\r\n");
  EXPECT_EQ(SurveyVoters(fs_, kPath), "まだ何にも集計されていません。");
}

TEST_F(SurveyTest, VotersAppearOnceInOrderOfFirstVote) {
  Put("Lunch,3\r\nA＝2,b@x,a@x\r\nB＝2,a@x,c@x\r\n");
  EXPECT_EQ(SurveyVoters(fs_, kPath), "b@x, a@x, c@x");
}

TEST_F(SurveyTest, GarbageFilesNeverCrash) {
  std::string garbage("\x81\xff\x00,\xfe\r\n\x82\xa0", 9);
  garbage += std::string(100000, '\x82');
  fs_.AddFile(kPath, garbage);
  SurveyResults(fs_, kPath, "a@x");
  SurveyVoters(fs_, kPath);
  EXPECT_EQ(Vote("A", "v@x"), "other survey");  // the header is not this survey's
}

TEST(SurveyHelpersTest, KindOfProcess) {
  EXPECT_EQ(SurveyKindOf(RuleAction::kSurvey), 0);
  EXPECT_EQ(SurveyKindOf(RuleAction::kSurveySelect), 1);
  EXPECT_EQ(SurveyKindOf(RuleAction::kSurveyOneLine), 2);
  EXPECT_EQ(SurveyKindOf(RuleAction::kSurveySelectOneLine), 3);
  EXPECT_EQ(SurveyKindOf(RuleAction::kSurveyResults), -1);
  EXPECT_EQ(SurveyKindOf(RuleAction::kNone), -1);
}

TEST(SurveyHelpersTest, IndexInListSkipsBlanksAndTrims) {
  EXPECT_EQ(IndexInList({"", " a ", "b", "a"}, "a"), 2);
  EXPECT_EQ(IndexInList({" ", "b"}, " "), 0);  // a blank is never found
  EXPECT_EQ(IndexInList({}, "a"), 0);
  EXPECT_EQ(IndexInList({"A"}, "a"), 0);
}

TEST(SurveyHelpersTest, DistinctLinesKeepsTheFirstAndDropsTrimmedRepeats) {
  EXPECT_EQ(DistinctLines({"", "A", " ", "A ", "B", ""}), (std::vector<std::string>{"", "A", "B"}));
  EXPECT_EQ(DistinctLines({" A", "A", "B"}), (std::vector<std::string>{" A", "B"}));
  EXPECT_TRUE(DistinctLines({}).empty());
}

TEST(SurveyHelpersTest, TextCutters) {
  EXPECT_EQ(BeforeFirst("a,b,c", ","), "a");
  EXPECT_EQ(BeforeFirst("abc", ","), "abc");
  EXPECT_EQ(BeforeFirst("abc", ""), "abc");
  EXPECT_EQ(AfterFirst("a,b,c", ","), "b,c");
  EXPECT_EQ(AfterFirst("abc", ","), "abc");
  EXPECT_EQ(AfterLast("a,b,c", ","), "c");
  EXPECT_EQ(AfterLast("abc", ","), "");
  EXPECT_EQ(AfterLast("a＝1", "＝"), "1");
}

}  // namespace
}  // namespace kelmora
