// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/master_table.h"

#include <exception>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "config/process_types.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

namespace w = words;

const char* const kIrregular = "ReadMaster:不正な処理がありました。";

struct ActionWord {
  const char* word;
  RuleAction action;
};

// The process types; anything else in the Process column is rejected.
const ActionWord kActionWords[] = {
    {w::kBodyReply, RuleAction::kBodyReply},
    {w::kAutoReply, RuleAction::kAutoReply},
    {w::kAutoSave, RuleAction::kAutoSave},
    {w::kNewForward, RuleAction::kNewForward},
    {w::kExistingDelete, RuleAction::kExistingDelete},
    {w::kNewRegistration, RuleAction::kNewRegistration},
    {w::kUndeliveredDelete, RuleAction::kUndeliveredDelete},
    {w::kToForward, RuleAction::kToForward},
    {w::kCommand, RuleAction::kCommand},
    {w::kCommandX, RuleAction::kCommandX},
    {w::kSurvey, RuleAction::kSurvey},
    {w::kSurveySelect, RuleAction::kSurveySelect},
    {w::kSurveyOneLine, RuleAction::kSurveyOneLine},
    {w::kSurveySelectOneLine, RuleAction::kSurveySelectOneLine},
    {w::kSurveyResults, RuleAction::kSurveyResults},
    {w::kSurveyResultsRestricted, RuleAction::kSurveyResultsRestricted},
    {w::kSurveyAddresses, RuleAction::kSurveyAddresses},
    {w::kSurveyClear, RuleAction::kSurveyClear},
    {w::kAddressRegistration, RuleAction::kAddressRegistration},
    {w::kAddressDeletion, RuleAction::kAddressDeletion},
    {w::kPasswordInquiry, RuleAction::kPasswordInquiry},
    {w::kPasswordChange, RuleAction::kPasswordChange},
};

std::optional<DeleteInstruction> ParseDeletion(std::string_view text) {
  if (text.empty()) return DeleteInstruction::kNone;
  if (text == w::kDelete) return DeleteInstruction::kDelete;
  if (text == w::kAutoDelete) return DeleteInstruction::kAutoDelete;
  if (text == w::kVirusAutoDelete) return DeleteInstruction::kVirusAutoDelete;
  return std::nullopt;
}

std::optional<AttachmentHandling> ParseAttachments(std::string_view text) {
  if (text.empty()) return AttachmentHandling::kIgnore;
  if (text == w::kProcessAttachments) return AttachmentHandling::kProcess;
  return std::nullopt;
}

// Process types whose rows name the sender list; on these RecAddr may not
// be left empty even when the row is long enough to carry a Process field.
bool NeedsSenderFilter(RuleAction a) {
  return a == RuleAction::kNewRegistration || a == RuleAction::kExistingDelete || a == RuleAction::kNewForward ||
         a == RuleAction::kAutoSave || a == RuleAction::kSurveyAddresses || a == RuleAction::kSurveyClear;
}

// Process types that send a prepared body text.
bool NeedsBodyFile(RuleAction a) {
  return a == RuleAction::kBodyReply || a == RuleAction::kAutoReply || a == RuleAction::kExistingDelete ||
         a == RuleAction::kNewRegistration;
}

// Process types that work on a file of their own (members, survey, log).
bool NeedsDataFile(RuleAction a) {
  switch (a) {
    case RuleAction::kExistingDelete:
    case RuleAction::kNewRegistration:
    case RuleAction::kUndeliveredDelete:
    case RuleAction::kSurvey:
    case RuleAction::kSurveyResults:
    case RuleAction::kSurveyResultsRestricted:
    case RuleAction::kSurveyAddresses:
    case RuleAction::kSurveyClear:
    case RuleAction::kAddressRegistration:
    case RuleAction::kAddressDeletion:
    case RuleAction::kPasswordInquiry:
    case RuleAction::kPasswordChange: return true;
    default: return false;
  }
}

// Data files name other files relative to the program folder. A name that
// holds a NUL byte (binary garbage in the table) would be cut short by the
// operating system and could find some other file, so it never exists.
std::string InFolder(const std::string& folder, const std::string& name) {
  if (name.find('\0') != std::string::npos) return "";
  return JoinPath(folder, name);
}

bool FileExists(const FileSystem& fs, const std::string& folder, const std::string& name) {
  std::string path = InFolder(folder, name);
  return !path.empty() && !FindFile(fs, path).empty();
}

std::string FileContent(const FileSystem& fs, const std::string& folder, const std::string& name) {
  std::string path = InFolder(folder, name);
  return path.empty() ? "" : ReadWholeFile(fs, path);
}

// AddTop / AddBottom: the trimmed field names a file in the program folder
// whose content is used; any other text is used exactly as written.
std::string AddedText(const FileSystem& fs, const std::string& folder, const std::string& field) {
  std::string name = Trim(field);
  if (name.empty()) return "";
  if (FileExists(fs, folder, name)) return FileContent(fs, folder, name);
  return field;
}

// The checks of one stored row that do not depend on its Process column.
// `p` is the row prefix with a blank before "の", `q` the one without (used
// by the duplicate-ID message only).
Status CheckColumns(const FileSystem& fs, const std::string& folder, const MasterRule& r,
                    std::optional<DeleteInstruction> deletion, const std::string& p, const std::string& q,
                    const std::unordered_set<std::string>& earlier_ids) {
  const bool ml_keyword = IsMLIDKeyword(r.Keyword);
  const bool deletes_by_keyword =
      deletion == DeleteInstruction::kAutoDelete || deletion == DeleteInstruction::kVirusAutoDelete;

  if (!r.Destination.empty() && !IsMailAddress(r.Destination) && !FileExists(fs, folder, r.Destination)) {
    return Status::Error(p + "行目の転送アドレスファイル<" + r.Destination + ">が存在しません。");
  }
  if (!IsMailAddress(r.ToAddress) && !(r.ToAddress == "*" && deletes_by_keyword)) {
    return Status::Error(p + "行目の受信メールの宛先アドレス<" + r.ToAddress + ">が不正です。");
  }
  if (!r.SenderFilter.empty() && !IsMailAddress(r.SenderFilter) && !FileExists(fs, folder, r.SenderFilter)) {
    return Status::Error(p + "行目の受信メールの差出人アドレスの入ったファイル名<" + r.SenderFilter +
                         ">が存在しません。");
  }
  // An empty keyword stands in every non-empty subject.
  if (!ml_keyword && !r.ForwardSubject.empty() && r.ForwardSubject.find(r.Keyword) != std::string::npos) {
    return Status::Error(p + "行目に設定されているキーワード<" + r.Keyword + ">が転送時の件名に入っています。");
  }
  if (!r.SendFrom.empty() && !IsMailAddress(r.SendFrom)) {
    return Status::Error(p + "行目の転送メールの差出人アドレス<" + r.SendFrom + ">が不正です。");
  }
  if (!r.SendFrom.empty() && r.SendServer.empty()) {
    return Status::Error(p + "行目の転送メール用のサーバー名<" + r.SendServer + ">が不正です。");
  }
  if (ml_keyword && earlier_ids.count(r.Keyword) != 0) {
    return Status::Error(q + "行目に設定されているメーリングリストＩＤのキーワード<" + r.Keyword +
                         ">がダブっています。");
  }
  if (!deletion) return Status::Error(p + "行目の削除指示<" + r.DeleteText + ">が正しくありません。");
  if (!r.BodyFile.empty() && FileContent(fs, folder, r.BodyFile).empty()) {
    return Status::Error(p + "行目の本文用ファイル<" + r.BodyFile + ">の中がカラです。");
  }
  if (!r.DataFile.empty() && !FileExists(fs, folder, r.DataFile)) {
    return Status::Error(p + "行目の保存用ファイル<" + r.DataFile + ">がありません。");
  }
  if (!r.DataFile.empty() && !r.BodyFile.empty() && r.DataFile == r.BodyFile) {
    return Status::Error(p + "行目の保存用ファイル名<" + r.DataFile + ">が本文用ファイル名と同じです。");
  }
  return Status::OK();
}

// The checks of a row whose Process column is not empty.
Status CheckAction(const FileSystem& fs, const std::string& folder, const MasterRule& r,
                   std::optional<RuleAction> action, const std::string& p) {
  if (!action) return Status::Error(p + "行目の処理区分<" + r.ActionText + ">が正しくありません。");
  const RuleAction a = *action;
  if (NeedsBodyFile(a) && r.BodyFile.empty()) {
    return Status::Error(p + "行目に本文用ファイル<" + r.BodyFile + ">が指定してありせん。");
  }
  if (NeedsDataFile(a) && r.DataFile.empty()) {
    return Status::Error(p + "行目に保存用ファイル<" + r.DataFile + ">が指定してありせん。");
  }
  if ((a == RuleAction::kExistingDelete || a == RuleAction::kNewRegistration) && r.DataFile != r.SenderFilter) {
    return Status::Error(p + "行目の受信メール差出人アドレスファイル名<" + r.SenderFilter + ">と保存用ファイル<" +
                         r.DataFile + ">は同じものを指定して下さい。");
  }
  if (!IsForwarding(a) && !r.Destination.empty()) {
    return Status::Error(p + "行目の転送アドレスファイル名<" + r.Destination + ">を指定してはいけません。");
  }
  if (IsForwarding(a) && r.Destination.empty()) {
    return Status::Error("新規転送またはＴＯ転送なので、" + p + "行目の転送アドレスファイル名を指定して下さい。");
  }
  if (a == RuleAction::kToForward && r.SendFrom.empty()) {
    return Status::Error("ＴＯ転送なので、" + p + "行目の転送メールの指出人アドレスを指定して下さい。");
  }
  if (a == RuleAction::kUndeliveredDelete && !FileExists(fs, folder, "UnDelivery.txt")) {
    return Status::Error("不配削除ですが、「UnDelivery.txt」が有りません。");
  }
  if (a != RuleAction::kToForward && IsMLIDKeyword(r.Keyword)) {
    return Status::Error(p + "行目のキーワードにML-ID<" + r.Keyword + ">を指定してはいけません。");
  }
  return Status::OK();
}

// Checks one stored row in the order of its messages and, when it is
// valid, sets its enums from the column texts.
Status CheckRow(const FileSystem& fs, const std::string& folder, MasterRule* r, const std::string& p,
                const std::string& q, const std::unordered_set<std::string>& earlier_ids) {
  const std::optional<DeleteInstruction> deletion = ParseDeletion(r->DeleteText);
  Status columns = CheckColumns(fs, folder, *r, deletion, p, q, earlier_ids);
  if (!columns.ok()) return columns;
  const std::optional<RuleAction> action = RuleActionOf(r->ActionText);
  if (!r->ActionText.empty()) {
    Status checked = CheckAction(fs, folder, *r, action, p);
    if (!checked.ok()) return checked;
  }
  const std::optional<AttachmentHandling> attachments = ParseAttachments(r->AttachmentsText);
  if (!attachments) {
    return Status::Error(p + "行目の添付ファイル処理の指示<" + r->AttachmentsText + ">が正しくありません。");
  }
  r->Deletion = *deletion;
  r->Action = *action;
  r->Attachments = *attachments;
  return Status::OK();
}

const std::string& Column(const std::vector<std::string>& f, size_t i) {
  static const std::string kEmpty;
  return i < f.size() ? f[i] : kEmpty;
}

// Whether a row fills the columns its kind needs. The exceptions look at
// the Delete and Process fields as written: a Process word with blanks
// around it names no action here.
bool HasRequiredColumns(const std::vector<std::string>& f, int commas) {
  const std::string& raw_delete = Column(f, 11);
  const std::string& raw_process = Column(f, 12);
  const std::optional<RuleAction> raw_action = RuleActionOf(raw_process);
  const bool long_row = commas >= 12;
  const bool rec_addr_optional = long_row && !(raw_action && NeedsSenderFilter(*raw_action));
  const bool keyword_optional = long_row && raw_action == RuleAction::kUndeliveredDelete;
  const bool addr_file_optional = !raw_delete.empty() || !raw_process.empty();
  return !Trim(Column(f, 1)).empty() && (!Trim(Column(f, 2)).empty() || rec_addr_optional) &&
         (!Trim(Column(f, 3)).empty() || keyword_optional) && (!Trim(Column(f, 4)).empty() || addr_file_optional);
}

MasterRule RuleOf(const FileSystem& fs, const std::string& program_folder, const std::vector<std::string>& f) {
  MasterRule r;
  r.ToAddress = Trim(Column(f, 1));
  r.SenderFilter = Trim(Column(f, 2));
  r.Keyword = Trim(Column(f, 3));
  r.Destination = Trim(Column(f, 4));
  r.SendFrom = Trim(Column(f, 5));
  r.SendServer = Trim(Column(f, 6));
  r.ToName = Trim(Column(f, 7));
  r.ForwardSubject = Column(f, 8);
  r.TextBefore = AddedText(fs, program_folder, Column(f, 9));
  r.TextAfter = AddedText(fs, program_folder, Column(f, 10));
  r.DeleteText = Trim(Column(f, 11));
  r.ActionText = Trim(Column(f, 12));
  r.BodyFile = Trim(Column(f, 13));
  r.DataFile = Trim(Column(f, 14));
  r.AttachmentsText = Trim(Column(f, 15));
  return r;
}

// One data row of the file at `path`; `n` is its number among the data
// rows, as the messages count them.
Status ReadRow(const FileSystem& fs, const std::string& program_folder, const std::string& path,
               const std::string& line, int n, const std::unordered_set<std::string>& earlier_ids, MasterRule* r) {
  const std::string p = path + " の" + std::to_string(n);
  const std::string q = path + "の" + std::to_string(n);
  const int commas = CountOf(line, ",");
  if (commas < 4) return Status::Error(p + "行目<" + line + ">のデータのカンマが不足です。");
  const std::vector<std::string> f = Split(line, ",");
  if (!HasRequiredColumns(f, commas)) {
    return Status::Error(p + "行目<" + line +
                         ">の「受信メール差出人アドレス」か「キーワード」か「転送先アドレスファイル名」がカラです。");
  }
  *r = RuleOf(fs, program_folder, f);
  return CheckRow(fs, program_folder, r, p, q, earlier_ids);
}

Status ReadMasterUnguarded(const FileSystem& fs, const std::string& program_folder, std::string path,
                           MasterTable* table) {
  if (FindFile(fs, path).empty()) {
    path = StripExtension(path) + ".csv";
    if (FindFile(fs, path).empty()) return Status::Error("ファイル<" + path + ">がみつかりません。");
  }
  std::vector<std::string> lines;
  if (!ReadRawLines(fs, path, &lines).ok()) return Status::Error(kIrregular);

  MasterTable rows;
  std::unordered_set<std::string> ml_ids;
  for (const std::string& line : lines) {
    // Comments and empty lines are judged on the line as read: a blank
    // before ";" or a line of blanks makes a data row.
    if (line.empty() || line[0] == ';') continue;
    MasterRule r;
    Status read = ReadRow(fs, program_folder, path, line, static_cast<int>(rows.size()) + 1, ml_ids, &r);
    if (!read.ok()) return read;
    if (IsMLIDKeyword(r.Keyword)) ml_ids.insert(r.Keyword);
    rows.push_back(std::move(r));
  }
  if (rows.empty()) return Status::Error("ファイル<" + path + ">の中がカラです。");
  *table = std::move(rows);
  return Status::OK();
}

}  // namespace

std::optional<RuleAction> RuleActionOf(std::string_view text) {
  if (text.empty()) return RuleAction::kNone;
  for (const ActionWord& a : kActionWords) {
    if (text == a.word) return a.action;
  }
  return std::nullopt;
}

Status ReadMaster(const FileSystem& fs, const std::string& program_folder, const std::string& path,
                  MasterTable* table) {
  table->clear();
  try {
    return ReadMasterUnguarded(fs, program_folder, path, table);
  } catch (const std::exception&) {
    // Out of memory on a huge file and the like: the table stays empty and
    // start-up ends with the reader's general message.
    table->clear();
    return Status::Error(kIrregular);
  }
}

}  // namespace kelmora
