// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/master_table.h"

#include <exception>
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

// The process types; anything else in the Process column is rejected.
const char* const kProcessTypes[] = {
    w::kBodyReply,       w::kAutoReply,          w::kAutoSave,
    w::kNewForward,      w::kExistingDelete,     w::kNewRegistration,
    w::kUndeliveredDelete, w::kToForward,        w::kCommand,
    w::kCommandX,        w::kSurvey,             w::kSurveySelect,
    w::kSurveyOneLine,   w::kSurveySelectOneLine, w::kSurveyResults,
    w::kSurveyResultsRestricted, w::kSurveyAddresses, w::kSurveyClear,
    w::kAddressRegistration, w::kAddressDeletion, w::kPasswordInquiry,
    w::kPasswordChange,
};

// Process types whose rows name the sender list; on these RecAddr may not
// be left empty even when the row is long enough to carry a Process field.
const char* const kNeedRecAddr[] = {
    w::kNewRegistration, w::kExistingDelete, w::kNewForward,
    w::kAutoSave,        w::kSurveyAddresses, w::kSurveyClear,
};

// Process types that send a prepared body text.
const char* const kNeedMsg[] = {
    w::kBodyReply, w::kAutoReply, w::kExistingDelete, w::kNewRegistration,
};

// Process types that work on a file of their own (members, survey, log).
const char* const kNeedFile[] = {
    w::kExistingDelete,  w::kNewRegistration,   w::kUndeliveredDelete,
    w::kSurvey,          w::kSurveyResults,     w::kSurveyResultsRestricted,
    w::kSurveyAddresses, w::kSurveyClear,       w::kAddressRegistration,
    w::kAddressDeletion, w::kPasswordInquiry,   w::kPasswordChange,
};

template <size_t N>
bool OneOf(std::string_view value, const char* const (&set)[N]) {
  for (const char* word : set) {
    if (value == word) return true;
  }
  return false;
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

// Checks one stored row. `p` is the row prefix with a blank before "の",
// `q` the one without (used by the duplicate-ID message only). Returns ""
// when the row is valid, else the message of the first rule it breaks.
std::string CheckRow(const FileSystem& fs, const std::string& folder, const MasterRule& r,
                     const std::string& p, const std::string& q,
                     const std::unordered_set<std::string>& earlier_ids) {
  const bool has_process = !r.Process.empty();
  const bool ml_keyword = IsMLIDKeyword(r.Keyword);

  if (!r.AddrFile.empty() && !IsMailAddress(r.AddrFile) && !FileExists(fs, folder, r.AddrFile)) {
    return p + "行目の転送アドレスファイル<" + r.AddrFile + ">が存在しません。";
  }
  if (!IsMailAddress(r.ToAddr) &&
      !(r.ToAddr == "*" && (r.Delete == w::kAutoDelete || r.Delete == w::kVirusAutoDelete))) {
    return p + "行目の受信メールの宛先アドレス<" + r.ToAddr + ">が不正です。";
  }
  if (!r.RecAddr.empty() && !IsMailAddress(r.RecAddr) && !FileExists(fs, folder, r.RecAddr)) {
    return p + "行目の受信メールの差出人アドレスの入ったファイル名<" + r.RecAddr + ">が存在しません。";
  }
  // An empty keyword stands in every non-empty subject.
  if (!ml_keyword && !r.Tittle.empty() && r.Tittle.find(r.Keyword) != std::string::npos) {
    return p + "行目に設定されているキーワード<" + r.Keyword + ">が転送時の件名に入っています。";
  }
  if (!r.OrigAddr.empty() && !IsMailAddress(r.OrigAddr)) {
    return p + "行目の転送メールの差出人アドレス<" + r.OrigAddr + ">が不正です。";
  }
  if (!r.OrigAddr.empty() && r.ServerName.empty()) {
    return p + "行目の転送メール用のサーバー名<" + r.ServerName + ">が不正です。";
  }
  if (ml_keyword && earlier_ids.count(r.Keyword) != 0) {
    return q + "行目に設定されているメーリングリストＩＤのキーワード<" + r.Keyword + ">がダブっています。";
  }
  if (!r.Delete.empty() && r.Delete != w::kVirusAutoDelete && r.Delete != w::kAutoDelete &&
      r.Delete != w::kDelete) {
    return p + "行目の削除指示<" + r.Delete + ">が正しくありません。";
  }
  if (!r.Msg.empty() && FileContent(fs, folder, r.Msg).empty()) {
    return p + "行目の本文用ファイル<" + r.Msg + ">の中がカラです。";
  }
  if (!r.File.empty() && !FileExists(fs, folder, r.File)) {
    return p + "行目の保存用ファイル<" + r.File + ">がありません。";
  }
  if (!r.File.empty() && !r.Msg.empty() && r.File == r.Msg) {
    return p + "行目の保存用ファイル名<" + r.File + ">が本文用ファイル名と同じです。";
  }

  if (has_process) {
    const bool forwards = r.Process == w::kToForward || r.Process == w::kNewForward;
    if (!OneOf(r.Process, kProcessTypes)) {
      return p + "行目の処理区分<" + r.Process + ">が正しくありません。";
    }
    if (OneOf(r.Process, kNeedMsg) && r.Msg.empty()) {
      return p + "行目に本文用ファイル<" + r.Msg + ">が指定してありせん。";
    }
    if (OneOf(r.Process, kNeedFile) && r.File.empty()) {
      return p + "行目に保存用ファイル<" + r.File + ">が指定してありせん。";
    }
    if ((r.Process == w::kExistingDelete || r.Process == w::kNewRegistration) && r.File != r.RecAddr) {
      return p + "行目の受信メール差出人アドレスファイル名<" + r.RecAddr + ">と保存用ファイル<" + r.File +
             ">は同じものを指定して下さい。";
    }
    if (!forwards && !r.AddrFile.empty()) {
      return p + "行目の転送アドレスファイル名<" + r.AddrFile + ">を指定してはいけません。";
    }
    if (forwards && r.AddrFile.empty()) {
      return "新規転送またはＴＯ転送なので、" + p + "行目の転送アドレスファイル名を指定して下さい。";
    }
    if (r.Process == w::kToForward && r.OrigAddr.empty()) {
      return "ＴＯ転送なので、" + p + "行目の転送メールの指出人アドレスを指定して下さい。";
    }
    if (r.Process == w::kUndeliveredDelete && !FileExists(fs, folder, "UnDelivery.txt")) {
      return "不配削除ですが、「UnDelivery.txt」が有りません。";
    }
    if (r.Process != w::kToForward && ml_keyword) {
      return p + "行目のキーワードにML-ID<" + r.Keyword + ">を指定してはいけません。";
    }
  }

  if (!r.Attatch.empty() && r.Attatch != w::kProcessAttachments) {
    return p + "行目の添付ファイル処理の指示<" + r.Attatch + ">が正しくありません。";
  }
  return "";
}

Status ReadMasterUnguarded(const FileSystem& fs, const std::string& program_folder, std::string path,
                           MasterTable* table) {
  if (FindFile(fs, path).empty()) {
    path = StripExtension(path) + ".csv";
    if (FindFile(fs, path).empty()) return Status::Error("ファイル<" + path + ">がみつかりません。");
  }

  std::vector<std::string> lines;
  if (!ReadRawLines(fs, path, &lines)) return Status::Error(kIrregular);

  MasterTable rows;
  std::unordered_set<std::string> ml_ids;
  for (const std::string& line : lines) {
    // Comments and empty lines are judged on the line as read: a blank
    // before ";" or a line of blanks makes a data row.
    if (line.empty() || line[0] == ';') continue;

    const int n = static_cast<int>(rows.size()) + 1;
    const std::string p = path + " の" + std::to_string(n);
    const std::string q = path + "の" + std::to_string(n);

    const int commas = CountOf(line, ",");
    if (commas < 4) return Status::Error(p + "行目<" + line + ">のデータのカンマが不足です。");

    const std::vector<std::string> f = Split(line, ",");
    auto field = [&f](size_t i) -> const std::string& {
      static const std::string kEmpty;
      return i < f.size() ? f[i] : kEmpty;
    };

    MasterRule r;
    r.ToAddr = Trim(field(1));
    r.RecAddr = Trim(field(2));
    r.Keyword = Trim(field(3));
    r.AddrFile = Trim(field(4));

    // The exceptions look at the Delete and Process fields as written.
    const std::string& raw_delete = field(11);
    const std::string& raw_process = field(12);
    const bool long_row = commas >= 12;
    const bool rec_addr_optional = long_row && !OneOf(raw_process, kNeedRecAddr);
    const bool keyword_optional = long_row && raw_process == w::kUndeliveredDelete;
    const bool addr_file_optional = !raw_delete.empty() || !raw_process.empty();
    if (r.ToAddr.empty() || (r.RecAddr.empty() && !rec_addr_optional) ||
        (r.Keyword.empty() && !keyword_optional) || (r.AddrFile.empty() && !addr_file_optional)) {
      return Status::Error(p + "行目<" + line +
                           ">の「受信メール差出人アドレス」か「キーワード」か「転送先アドレスファイル名」がカラです。");
    }

    r.OrigAddr = Trim(field(5));
    r.ServerName = Trim(field(6));
    r.ToName = Trim(field(7));
    r.Tittle = field(8);
    r.AddTop = AddedText(fs, program_folder, field(9));
    r.AddBottom = AddedText(fs, program_folder, field(10));
    r.Delete = Trim(field(11));
    r.Process = Trim(field(12));
    r.Msg = Trim(field(13));
    r.File = Trim(field(14));
    r.Attatch = Trim(field(15));

    std::string fault = CheckRow(fs, program_folder, r, p, q, ml_ids);
    if (!fault.empty()) return Status::Error(std::move(fault));

    if (IsMLIDKeyword(r.Keyword)) ml_ids.insert(r.Keyword);
    rows.push_back(std::move(r));
  }

  if (rows.empty()) return Status::Error("ファイル<" + path + ">の中がカラです。");
  *table = std::move(rows);
  return Status::OK();
}

}  // namespace

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
