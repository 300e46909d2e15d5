// SPDX-License-Identifier: GPL-3.0-or-later
// The reception helpers around the mail component: fetching one POP3
// account into the cycle's list of stored names, and the attachment files a
// read left behind. ReceivedMail itself and the address rules live with the
// reader (mime/received_mail.h).
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/mail_component.h"
#include "mime/received_mail.h"
#include "textio/file_system.h"

namespace kelmora {

// Fetches one account into `receive_folder`; *stored_names becomes a list
// whose element 0 is "" and whose elements 1..n are the stored names.
// Returns n; 0 on failure (the failure is written to the main log).
int FetchAccountMail(MailComponent& mail, Logger& log, const std::string& a, const std::string& b,
                     const std::string& password, const std::string& receive_folder,
                     std::vector<std::string>* stored_names);

// Appends elements 1..n of `account_names` to `cycle_names`.
void AppendStoredNames(std::vector<std::string>* cycle_names, const std::vector<std::string>& account_names);

// Elements 1..n of `files` joined with TAB ("" when n is 0).
std::string JoinAttachmentPaths(int n, const std::vector<std::string>& files);

// Deletes a file, also a read-only one. True when it was deleted.
bool DeleteFileForced(FileSystem& fs, const std::string& path);

}  // namespace kelmora
