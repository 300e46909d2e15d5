// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/store_profile.h"

#include <vector>

#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

Status ReadStoreProfile(const FileSystem& fs, const std::string& path, StoreProfile* profile) {
  *profile = StoreProfile();
  if (!fs.Exists(path)) return Status::OK();
  std::vector<std::string> lines;
  if (!ReadRawLines(fs, path, &lines).ok()) return Status::IOError(path + "を読めません。");
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    const size_t eq = line.find('=');
    const std::string where = path + "の" + std::to_string(i + 1) + "行目";
    if (eq == std::string::npos) return Status::Corrupt(where + "に「=」がありません。");
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "password") {
      profile->has_password = true;
      profile->password = value;
    } else if (key == "address") {
      profile->address = value;
    } else if (key == "name") {
      profile->name = value;
    } else if (key == "sendmail") {
      profile->has_sendmail = true;
      profile->sendmail = value;
    } else if (key == "smtp") {
      profile->smtp = value;
    } else if (key == "fetch") {
      profile->fetch = value;
    } else {
      return Status::Corrupt(where + "の「" + key + "」は使えない項目です。");
    }
  }
  return Status::OK();
}

}  // namespace kelmora
