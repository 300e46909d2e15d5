// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/survey.h"

#include <cstdint>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "config/process_types.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

const char* const kEquals = "＝";  // U+FF1D, between an answer and its count
const char* const kSomeError = "何んらかのエラーが有りました。";
const char* const kNoTitleOrVoter = "a survey answer needs a title and a voter";
const char* const kEmptyAnswer = "the first answer is empty";
const char* const kNothingYet = "まだ何にも集計されていません。";
const char* const kVotersOnly = "集計に参加された方だけが結果を見られます。";

// A body's lines. Mail bodies arrive with CR LF; a bare LF also ends a
// line, so that a body that lost its CRs still gives one answer per line.
std::vector<std::string> BodyLines(const std::string& body) {
  std::vector<std::string> lines = Split(body, "\n");
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

std::string WithoutLineBreaks(const std::string& text) { return ReplaceAll(ReplaceAll(text, "\r", ""), "\n", ""); }

// The survey title of a rule keyword: its first line, trimmed, without any
// CR, LF or ",".
std::string SurveyTitle(const std::string& keyword) {
  std::string first = BodyLines(keyword).front();
  return ReplaceAll(WithoutLineBreaks(Trim(first)), ",", "");
}

// A choice line holds "＝" and "," with the first "＝" before the first ",".
bool IsChoiceLine(const std::string& line) {
  size_t eq = line.find(kEquals);
  size_t comma = line.find(',');
  return eq != std::string::npos && comma != std::string::npos && eq < comma;
}

// A count as stored in the file; anything unreadable counts as 0.
std::int64_t StoredCount(const std::string& text) { return ReadRoundedInt(text); }

// The voters of the lines of a result file (line 0 is the header), each
// once, in the order they first appear. Empty voter fields (a prepared
// choice "A＝0,") are nobody: counting them would end the repeat-vote check
// early and let a voter answer twice.
std::vector<std::string> VotersOf(const std::vector<std::string>& lines) {
  std::vector<std::string> found;
  std::unordered_set<std::string> seen;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!IsChoiceLine(lines[i])) continue;
    for (const std::string& field : Split(AfterFirst(lines[i], ","), ",")) {
      std::string voter = Trim(field);
      if (!voter.empty() && seen.insert(voter).second) found.push_back(std::move(voter));
    }
  }
  return found;
}

// The choice lines of a result file during a later vote. Looking at a line
// gives it a "," when it has none; the lines are looked at from the top
// until the first match, so every line above the last one looked at has its
// comma. A line's answer text never changes once it is a choice line, so the
// first line of each answer is kept in an index instead of searching the
// whole file for every answer of a long body.
class ChoiceLines {
 public:
  explicit ChoiceLines(std::vector<std::string>* lines) : lines_(*lines) {
    for (size_t i = 1; i < lines_.size(); ++i) Index(i);
  }

  // Counts one answer of `voter`; a new answer becomes a choice line only
  // when `add_new`.
  void Answer(const std::string& answer, const std::string& voter, bool add_new) {
    auto it = first_.find(answer);
    if (it == first_.end()) {
      LookAtLinesThrough(lines_.size() - 1);
      if (answer.empty() || !add_new) return;
      lines_.push_back(answer + kEquals + "1," + voter);
      looked_through_ = lines_.size() - 1;
      Index(lines_.size() - 1);
      return;
    }
    const size_t i = it->second;
    LookAtLinesThrough(i);
    std::string& line = lines_[i];
    const std::int64_t count = StoredCount(BeforeFirst(AfterFirst(line, kEquals), ",")) + 1;
    const std::string rest = Trim(line.substr(line.find(',')));
    line = answer + kEquals + std::to_string(count) + (rest == "," ? "" : rest) + "," + voter;
  }

 private:
  // Whether line i is a choice line once it has been looked at, and so has
  // a comma.
  bool ChoiceWhenLookedAt(size_t i) const {
    const std::string& line = lines_[i];
    if (line.find(',') == std::string::npos) return line.find(kEquals) != std::string::npos;
    return IsChoiceLine(line);
  }

  void Index(size_t i) {
    if (ChoiceWhenLookedAt(i)) first_.emplace(BeforeFirst(lines_[i], kEquals), i);
  }

  void LookAtLinesThrough(size_t last) {
    for (size_t i = looked_through_ + 1; i <= last && i < lines_.size(); ++i) {
      if (lines_[i].find(',') == std::string::npos) lines_[i] += ",";
    }
    if (last > looked_through_) looked_through_ = last;
  }

  std::vector<std::string>& lines_;
  std::unordered_map<std::string, size_t> first_;  // answer text -> first line
  size_t looked_through_ = 0;                     // line 0 is the header
};

Status RecordUnguarded(FileSystem& fs, const std::string& path, const std::string& keyword, const std::string& body,
                       const std::string& raw_voter, int kind) {
  if (kind < 0 || kind > 3) return Status::InvalidArgument("not a survey kind");
  std::vector<std::string> answers = DistinctLines(BodyLines(body));
  if (kind >= 2) answers.resize(1);
  for (std::string& answer : answers) answer = WithoutLineBreaks(Trim(answer));

  const std::string voter = Trim(raw_voter);
  const std::string title = SurveyTitle(keyword);
  if (title.empty() || voter.empty()) return Status::InvalidArgument(kNoTitleOrVoter);
  if (answers.front().empty()) return Status::InvalidArgument(kEmptyAnswer);

  std::vector<std::string> lines;
  Status read = ReadLines(fs, path, &lines);
  if (!read.ok()) return read;

  for (const std::string& earlier : VotersOf(lines)) {
    if (earlier == voter) return Status::Refused(voter + " answered before");
  }

  if (lines.size() <= 1) {
    // The first vote: whatever the file held is replaced.
    std::vector<std::string> fresh{title + ",1"};
    for (const std::string& answer : answers) {
      if (!answer.empty()) fresh.push_back(answer + kEquals + "1," + voter);
    }
    return WriteLines(fs, path, fresh);
  }

  if (Trim(BeforeFirst(lines[0], ",")) != title) return Status::Corrupt(path + " holds another survey");
  const std::int64_t voted = StoredCount(AfterLast(lines[0], ","));
  ChoiceLines choices(&lines);
  for (const std::string& answer : answers) choices.Answer(answer, voter, kind == 0 || kind == 2);
  lines[0] = title + "," + std::to_string(voted + 1);
  return WriteLines(fs, path, lines);
}

}  // namespace

int SurveyKindOf(RuleAction action) {
  switch (action) {
    case RuleAction::kSurvey: return 0;
    case RuleAction::kSurveySelect: return 1;
    case RuleAction::kSurveyOneLine: return 2;
    case RuleAction::kSurveySelectOneLine: return 3;
    default: return -1;
  }
}

Status RecordSurveyAnswer(FileSystem& fs, const std::string& path, const std::string& keyword, const std::string& body,
                          const std::string& voter, int kind) {
  try {
    return RecordUnguarded(fs, path, keyword, body, voter, kind);
  } catch (const std::exception& e) {
    // Nothing was written: the file is only ever replaced whole, at the end.
    return Status::Error(e.what());
  }
}

std::string SurveyResults(const FileSystem& fs, const std::string& path, const std::string& asking_sender) {
  std::string reply;
  try {
    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return kSomeError;
    if (lines.size() <= 1) return kNothingYet;
    if (!asking_sender.empty() && IndexInList(VotersOf(lines), asking_sender) == 0) return kVotersOnly;
    reply = BeforeFirst(lines[0], ",") + "に関する" + AfterLast(lines[0], ",") + "名の方の集計結果です。";
    for (size_t i = 1; i < lines.size(); ++i) {
      if (IsChoiceLine(lines[i])) reply += "\r\n" + BeforeFirst(lines[i], ",");
    }
  } catch (const std::exception&) {
  }
  return reply;
}

std::string SurveyVoters(const FileSystem& fs, const std::string& path) {
  std::string reply;
  try {
    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return kSomeError;
    std::vector<std::string> voters = VotersOf(lines);
    if (voters.empty()) return kNothingYet;
    reply = Join(voters, ", ");
  } catch (const std::exception&) {
  }
  return reply;
}

int IndexInList(const std::vector<std::string>& list, const std::string& text) {
  const std::string wanted = Trim(text);
  for (size_t i = 0; i < list.size(); ++i) {
    std::string element = Trim(list[i]);
    if (!element.empty() && element == wanted) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::vector<std::string> DistinctLines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  // A left-out line equals a kept one, so the kept lines are all that
  // needs remembering.
  std::unordered_set<std::string> kept;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!kept.insert(Trim(lines[i])).second && i > 0) continue;
    out.push_back(lines[i]);
  }
  return out;
}

std::string BeforeFirst(const std::string& text, const std::string& sep) {
  if (sep.empty()) return text;
  size_t pos = text.find(sep);
  return pos == std::string::npos ? text : text.substr(0, pos);
}

std::string AfterFirst(const std::string& text, const std::string& sep) {
  size_t pos = text.find(sep);
  return pos == std::string::npos ? text : text.substr(pos + sep.size());
}

std::string AfterLast(const std::string& text, const std::string& sep) {
  if (sep.empty()) return "";
  size_t pos = text.rfind(sep);
  return pos == std::string::npos ? "" : text.substr(pos + sep.size());
}

}  // namespace kelmora
