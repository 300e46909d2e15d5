// SPDX-License-Identifier: GPL-3.0-or-later
// The rule table: Master.txt (or Master.csv) in the program folder, read and
// validated once at start-up. Validation is all-or-nothing: the first fault
// stops start-up with a message naming the file, the row and the value.
#pragma once

#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// One data row of the rule table. All fields are text; see ReadMaster for
// how each is stored.
struct MasterRule {
  std::string ToAddr;      // received To address, or "*"
  std::string RecAddr;     // sender address, or the name of a sender file
  std::string Keyword;     // subject keyword; "[...]" is a mailing-list ID
  std::string AddrFile;    // destination: an address or an address file
  std::string OrigAddr;    // sender address of mail the rule sends
  std::string ServerName;  // SMTP server used with OrigAddr
  std::string ToName;      // recipient display name of mail the rule sends
  std::string Tittle;      // subject used when forwarding (kept untrimmed)
  std::string AddTop;      // text (or content of the named file) put before the body
  std::string AddBottom;   // text (or content of the named file) put after the body
  std::string Delete;      // "", "削除", "自動削除", "ウイルスメール自動削除"
  std::string Process;     // process type
  std::string Msg;         // body file name
  std::string File;        // save / member / survey file name
  std::string Attatch;     // "" or "処理する"
};

using MasterTable = std::vector<MasterRule>;

// Reads the table at `path` (program folder + "/Master.txt"; when no such
// file exists, the same path with ".csv"). Files named by the rows are
// looked up in `program_folder`. On success fills *table and returns OK; on
// the first fault returns an error whose message is the text to show the
// user before the program ends.
Status ReadMaster(const FileSystem& fs, const std::string& program_folder, const std::string& path,
                  MasterTable* table);

}  // namespace kelmora
