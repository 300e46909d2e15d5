// SPDX-License-Identifier: GPL-3.0-or-later
#include "mail/received_mail.h"

#include <algorithm>
#include <exception>

#include "log/error_entry.h"
#include "net/server_string.h"
#include "textio/strings.h"

namespace kelmora {

int FetchAccountMail(MailComponent& mail, Logger& log, const std::string& a, const std::string& b,
                     const std::string& password, const std::string& receive_folder,
                     std::vector<std::string>* stored_names) {
  try {
    std::vector<std::string> names;
    Status fetched = mail.Fetch(a, b, password, receive_folder, &names);
    stored_names->assign(1, "");
    if (fetched.ok()) {
      for (std::string& name : names) stored_names->push_back(std::move(name));
      return static_cast<int>(stored_names->size()) - 1;
    }
    // A failure without words says nothing the owner could act on.
    if (!Trim(fetched.message()).empty()) {
      log.WriteLog("RcvMailの戻り値異常<" + MaskPassword(a) + ">:" + fetched.message());
    }
    return 0;
  } catch (const std::exception& e) {
    stored_names->assign(1, "");
    log.WriteLog(ErrorEntry("GetMailでエラー発生>", e));
    return 0;
  } catch (...) {
    stored_names->assign(1, "");
    log.WriteLog(ErrorEntry("GetMailでエラー発生>", "unknown error", 1));
    return 0;
  }
}

void AppendStoredNames(std::vector<std::string>* cycle_names, const std::vector<std::string>& account_names) {
  if (cycle_names->empty()) cycle_names->push_back("");  // keep element 0 in place
  for (size_t i = 1; i < account_names.size(); ++i) cycle_names->push_back(account_names[i]);
}

std::string JoinAttachmentPaths(int n, const std::vector<std::string>& files) {
  std::string joined;
  const int last = std::min<int>(n, static_cast<int>(files.size()) - 1);
  for (int i = 1; i <= last; ++i) {
    if (i > 1) joined += '\t';
    joined += files[static_cast<size_t>(i)];
  }
  return joined;
}

bool DeleteFileForced(FileSystem& fs, const std::string& path) {
  // Removal ignores the file's own write bit here, so a read-only file
  // needs no attribute reset first. Only regular files are deleted.
  if (!fs.IsFile(path)) return false;
  return fs.RemoveFile(path).ok();
}

}  // namespace kelmora
