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

struct Pop3Account {
  std::string A;         // server
  std::string B;         // user name
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
// missing or unreadable file gives the defaults. The one fatal finding (an
// empty user name together with an empty eleventh field) returns an error
// whose message is the text to show before the program ends.
Status LoadSettings(const FileSystem& fs, const std::string& path, int rule_count, Settings* settings);

// The two lines of the file, without line ends.
std::vector<std::string> FormatSettings(const Settings& settings);

// Replaces the settings file atomically with the two lines.
Status SaveSettings(FileSystem& fs, const std::string& path, const Settings& settings);

}  // namespace kelmora
