// SPDX-License-Identifier: GPL-3.0-or-later
// kelmora_fetchtool: runs the POP3 reception of the mail component once,
// outside the program, for the end-to-end tests and benchmarks.
//
//   kelmora_fetchtool fetch --server S --user U --password P --folder D
//                     [--begin-all] [--settle-all] [--through-account]
//                     [--connect-timeout SEC] [--timeout SEC] [--low-speed-time SEC]
//                     [--ca-file PEM]
//
// Prints the fetch's result: one stored name per line (nothing when no
// mail came), or the failure text. --begin-all marks every
// returned name as being processed, as the cycle does when it reaches a
// message; --settle-all marks every returned name as settled, as a
// finished cycle does. --through-account
// goes through FetchAccountMail instead, so that a failure lands in the
// main log (the program folder is the folder two levels above D, as D is
// normally <program folder>/log/receive). --ca-file trusts the
// certificates of PEM instead of the system store (a test server's own).
//
// Exit status: 0 for names or no mail, 1 for a failure, 2 for bad usage.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/curl_mail_component.h"
#include "mail/received_mail.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace {

int Usage() {
  std::cerr << "usage: kelmora_fetchtool fetch --server S --user U --password P --folder D "
               "[--begin-all] [--settle-all] [--through-account] [--connect-timeout SEC] [--timeout SEC] "
               "[--low-speed-time SEC] [--ca-file PEM]\n";
  return 2;
}

std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) != "fetch") return Usage();
  std::string server, user, password, folder;
  bool settle_all = false, begin_all = false, through_account = false, have_password = false;
  kelmora::MailOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string number;
    if (arg == "--server") {
      if (!value(&server)) return Usage();
    } else if (arg == "--user") {
      if (!value(&user)) return Usage();
    } else if (arg == "--password") {
      if (!value(&password)) return Usage();
      have_password = true;
    } else if (arg == "--folder") {
      if (!value(&folder)) return Usage();
    } else if (arg == "--ca-file") {
      if (!value(&options.ca_file)) return Usage();
    } else if (arg == "--settle-all") {
      settle_all = true;
    } else if (arg == "--begin-all") {
      begin_all = true;
    } else if (arg == "--through-account") {
      through_account = true;
    } else if (arg == "--connect-timeout" || arg == "--timeout" || arg == "--low-speed-time") {
      if (!value(&number)) return Usage();
      const long seconds = std::strtol(number.c_str(), nullptr, 10);
      if (seconds <= 0) return Usage();
      if (arg == "--connect-timeout") options.connect_timeout_seconds = seconds;
      if (arg == "--timeout") options.transfer_timeout_seconds = seconds;
      if (arg == "--low-speed-time") options.low_speed_seconds = seconds;
    } else {
      return Usage();
    }
  }
  if (server.empty() || user.empty() || !have_password || folder.empty()) return Usage();

  kelmora::RealFileSystem fs;
  kelmora::SystemClock clock;
  kelmora::Logger log(fs, clock, ParentOf(ParentOf(folder)));
  kelmora::CurlMailComponent mail(fs, log, clock, options);

  std::vector<std::string> names;
  int status = 0;
  if (through_account) {
    std::vector<std::string> stored;
    kelmora::FetchAccountMail(mail, log, server, user, password, folder, &stored);
    names.assign(stored.begin() + 1, stored.end());
  } else {
    kelmora::Status fetched = mail.Fetch(server, user, password, folder, &names);
    if (!fetched.ok()) {
      std::cout << fetched.message() << "\n";
      status = 1;
    }
  }
  for (const std::string& name : names) {
    std::cout << name << "\n";
    if (begin_all) mail.MarkProcessing(folder, name);
    if (settle_all) mail.MarkSettled(folder, name);
  }
  std::cout.flush();
  return status;
}
