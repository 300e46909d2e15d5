// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/settings.h"

#include "textio/codepage.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

// A 0/1 option: taken (rounded) when 0 <= value <= 1, else it keeps 0.
int ReadOption(const std::string& field) {
  double v = ReadNumber(field);
  if (v >= 0 && v <= 1) return RoundHalfEven(v);
  return 0;
}

void ApplyDefaults(int rule_count, Settings* s) {
  *s = Settings();
  s->MlSequenceNumbers.assign(static_cast<size_t>(rule_count > 0 ? rule_count : 0), 0);
}

}  // namespace

bool ParsePop3Account(const std::string& field, Pop3Account* account) {
  // A URL's scheme and its "//" belong to A.
  std::string scheme;
  for (const char* s : {"pop3://", "pop3s://"}) {
    if (StartsWith(field, s)) scheme = s;
  }
  std::vector<std::string> parts = Split(std::string_view(field).substr(scheme.size()), "/");
  if (parts.size() != 3) return false;
  *account = Pop3Account{scheme + parts[0], parts[1], parts[2]};
  return true;
}

Status SettingsFile::Load(int rule_count, Settings* settings) {
  return LoadSettings(fs_, path_, rule_count, settings, &unreadable_);
}

Status SettingsFile::Save(const Settings& settings) const {
  if (unreadable_) {
    return Status::Refused("Kelmora.iniを読み込めなかったため、設定を保存しません。");
  }
  return SaveSettings(fs_, path_, settings);
}

Status LoadSettings(const FileSystem& fs, const std::string& path, int rule_count, Settings* s, bool* unreadable) {
  ApplyDefaults(rule_count, s);
  std::vector<std::string> lines;
  // A missing or unreadable file gives the defaults; only the caller that
  // would save them over the file needs to know which it was.
  Status read = ReadLinesFromOne(fs, path, &lines);
  if (unreadable != nullptr) *unreadable = !read.ok() && !read.IsNotFound();
  if (!read.ok() || lines.size() < 2) return Status::OK();

  const std::vector<std::string> f = Split(lines[1], ",");
  // User name: an empty field means "no MAPI" only when a POP3 account
  // stands at index 10; without any, the default user keeps MAPI on.
  if (!f[0].empty()) {
    s->MapiUserName = Trim(f[0]);
  } else if (f.size() <= 10) {
    s->MapiUserName = kDefaultMapiUserName;
  } else if (f[10].empty()) {
    return Status::Error("Kelmora.ini の１行目：１個目のユーザー名と１１個目のアカウントの両方がカラです。");
  } else {
    s->MapiUserName = "";
  }
  if (f.size() > 1) s->MapiPassword = Trim(f[1]);
  if (f.size() > 2) {
    double v = ReadNumber(f[2]);
    s->CheckIntervalMinutes = (v > 0 && v <= 60) ? RoundHalfEven(v) : 20;
    // 0.4 rounds to 0, which no interval list can show: keep the default.
    if (s->CheckIntervalMinutes < 1) s->CheckIntervalMinutes = 20;
  }
  if (f.size() > 3) s->DownloadFromServer = ReadOption(f[3]);
  if (f.size() > 4) s->DeleteAfterProcessing = ReadOption(f[4]);
  if (f.size() > 5) s->HideBusyWindow = ReadOption(f[5]);
  if (f.size() > 6) s->LogSentMail = ReadOption(f[6]);
  if (f.size() > 7) s->LogReceivedMail = ReadOption(f[7]);
  for (size_t i = 10; i < f.size(); ++i) {
    Pop3Account account;
    if (ParsePop3Account(f[i], &account)) s->Pop3Accounts.push_back(std::move(account));
  }

  if (lines.size() >= 3) {
    const std::vector<std::string> seq = Split(lines[2], ",");
    for (size_t i = 0; i < s->MlSequenceNumbers.size() && i < seq.size(); ++i) {
      s->MlSequenceNumbers[i] = ReadRoundedInt(seq[i]);
    }
  } else {
    // The older one-line form kept the numbers of the first three rows at
    // indexes 7, 8 and 9 of line 1.
    for (size_t i = 0; i < 3 && i < s->MlSequenceNumbers.size(); ++i) {
      if (7 + i < f.size()) s->MlSequenceNumbers[i] = ReadRoundedInt(f[7 + i]);
    }
  }
  return Status::OK();
}

std::vector<std::string> FormatSettings(const Settings& s) {
  std::string line1 = s.MapiUserName + "," + s.MapiPassword + "," + std::to_string(s.CheckIntervalMinutes) + "," +
                      std::to_string(s.DownloadFromServer) + "," + std::to_string(s.DeleteAfterProcessing) + "," +
                      std::to_string(s.HideBusyWindow) + "," + std::to_string(s.LogSentMail) + "," +
                      std::to_string(s.LogReceivedMail) + ",9,10";
  for (const Pop3Account& a : s.Pop3Accounts) line1 += "," + a.Server + "/" + a.User + "/" + a.Password;
  std::string line2;
  for (size_t i = 0; i < s.MlSequenceNumbers.size(); ++i) {
    if (i) line2 += ",";
    line2 += std::to_string(s.MlSequenceNumbers[i]);
  }
  return {line1, line2};
}

Status SaveSettings(FileSystem& fs, const std::string& path, const Settings& s) {
  std::vector<std::string> lines = FormatSettings(s);
  FileEncoding enc = fs.IsFile(path) ? EncodingOf(fs, path) : FileEncoding::kCp932;
  return fs.WriteFileAtomic(path, EncodeFileText(lines[0] + "\r\n" + lines[1] + "\r\n", enc));
}

}  // namespace kelmora
