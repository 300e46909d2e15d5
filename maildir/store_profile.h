// SPDX-License-Identifier: GPL-3.0-or-later
// StoreProfile: the optional profile.ini of a local mail store profile.
//
// A text file read like the other data files (code page 932, or UTF-8 with
// a byte order mark): `key=value` lines, blanks around key and value
// ignored, blank lines and lines beginning with ";" skipped. Keys:
//   password  the password a logon must give (none: any password)
//   address   envelope sender and From address of mail sent through the store
//   name      display name of that From address
//   sendmail  a sendmail-compatible command line (see CommandRunner)
//   smtp      a server string; when set, it is used instead of `sendmail`
//   fetch     a command run in the profile folder when a logon downloads
// A line without "=" or with another key makes the whole file unusable.
#pragma once

#include <string>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct StoreProfile {
  bool has_password = false;
  std::string password;
  std::string address;
  std::string name;
  bool has_sendmail = false;  // `sendmail` given, even as ""
  std::string sendmail;
  std::string smtp;
  std::string fetch;
};

// Reads `path` into *profile. A missing file gives the empty profile. A bad
// line is a Corrupt status whose message names the file and the line number.
Status ReadStoreProfile(const FileSystem& fs, const std::string& path, StoreProfile* profile);

}  // namespace kelmora
