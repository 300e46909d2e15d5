// SPDX-License-Identifier: GPL-3.0-or-later
// Settings: the values of Kelmora.ini. Two lines in code page 932:
//   line 1: user,password,interval,5 options,9,10[,A/B/Password ...]
//   line 2: the mailing-list sequence number of every rule row
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

inline constexpr const char* kDefaultMapiUserName = "メイン ユーザー";

// One account of line 1, written "A/B/Password" there.
struct Pop3Account {
  std::string Server;    // A: host[:port], or a pop3:// or pop3s:// URL
  std::string User;      // B: user name
  std::string Password;  // never shown
};

struct Settings {
  std::string MapiUserName = kDefaultMapiUserName;
  std::string MapiPassword;
  std::int32_t CheckIntervalMinutes = 20;
  int DownloadFromServer = 0;
  int DeleteAfterProcessing = 0;
  int HideBusyWindow = 0;
  int LogSentMail = 0;
  int LogReceivedMail = 0;
  std::vector<Pop3Account> Pop3Accounts;
  std::vector<std::int32_t> MlSequenceNumbers;  // one per rule row
};

// Reads the settings file at `path` for a table of `rule_count` rows. A
// missing or unreadable file gives the defaults; *unreadable (when given)
// tells whether the file was there but could not be read. The one fatal finding (an
// empty user name together with an empty eleventh field) returns an error
// whose message is the text to show before the program ends.
Status LoadSettings(const FileSystem& fs, const std::string& path, int rule_count, Settings* settings,
                    bool* unreadable = nullptr);

// The two lines of the file, without line ends.
std::vector<std::string> FormatSettings(const Settings& settings);

// Replaces the settings file atomically with the two lines.
Status SaveSettings(FileSystem& fs, const std::string& path, const Settings& settings);

// The settings file of a program folder: loads it once and saves it as
// often as the sequence numbers move. A file that exists but cannot be read
// gives the defaults, and then is never saved over: the defaults would
// replace the user's accounts and list numbers.
class SettingsFile {
 public:
  SettingsFile(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  Status Load(int rule_count, Settings* settings);
  // Refused (nothing written) after a Load that could not read the file.
  Status Save(const Settings& settings) const;

  bool unreadable() const { return unreadable_; }
  const std::string& path() const { return path_; }

 private:
  FileSystem& fs_;
  std::string path_;
  bool unreadable_ = false;
};

// One account of line 1, "A/B/Password". A may be a pop3:// or pop3s:// URL,
// whose "//" is no separator. False when the field is no account.
bool ParsePop3Account(const std::string& field, Pop3Account* account);

}  // namespace kelmora
