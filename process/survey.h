// SPDX-License-Identifier: GPL-3.0-or-later
// Surveys by mail. A result file (the row's File) holds a header line
// "title,count" and one choice line per answer: "answer＝votes,voter,...".
// The operations never create the file.
#pragma once

#include <string>
#include <vector>

#include "config/process_types.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// The survey kind of a row's action: 0 survey, 1 select, 2 one line,
// 3 select one line; -1 for any other action.
int SurveyKindOf(RuleAction action);

// Records the answers in `body` from `voter`. Fails without writing with
// the read's failure (NotFound: no such file), Refused (voted before),
// InvalidArgument (empty first answer; empty title or voter; a bad kind) or
// Corrupt (the file holds another survey's title); a failed write leaves
// the file as it was.
Status RecordSurveyAnswer(FileSystem& fs, const std::string& path, const std::string& keyword,
                       const std::string& body, const std::string& voter, int kind);

// The reply text with the tally; `asking_sender` non-empty restricts it to
// those who took part.
std::string SurveyResults(const FileSystem& fs, const std::string& path, const std::string& asking_sender);

// The voters as one text ("a, b, c"), each once in order of first
// appearance, or a message text. An empty voter field is nobody.
std::string SurveyVoters(const FileSystem& fs, const std::string& path);

// 1 + the index of the first element that is not blank and equals `text`
// (both trimmed); 0 when none.
int IndexInList(const std::vector<std::string>& list, const std::string& text);

// The first line, then every later line whose trimmed text equals no
// earlier line's trimmed text.
std::vector<std::string> DistinctLines(const std::vector<std::string>& lines);

std::string BeforeFirst(const std::string& text, const std::string& sep);
std::string AfterFirst(const std::string& text, const std::string& sep);
std::string AfterLast(const std::string& text, const std::string& sep);

}  // namespace kelmora
