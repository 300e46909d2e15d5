// SPDX-License-Identifier: GPL-3.0-or-later
// The rule table: Master.txt (or Master.csv) in the program folder, read and
// validated once at start-up. Validation is all-or-nothing: the first fault
// stops start-up with a message naming the file, the row and the value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/process_types.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// One data row of the rule table, parsed once: the Delete, Process and
// attachment columns as enums (their trimmed text kept for the rule viewer
// and the log lines that quote it). See ReadMaster for how each is stored.
// The comments name each field's column in the table file.
struct MasterRule {
  std::string ToAddress;       // ToAddr: received To address, or "*"
  std::string SenderFilter;    // RecAddr: sender address, or the name of a sender file
  std::string Keyword;         // subject keyword; "[...]" is a mailing-list ID
  std::string Destination;     // AddrFile: an address or an address file
  std::string SendFrom;        // OrigAddr: sender address of mail the rule sends
  std::string SendServer;      // ServerName: SMTP server used with SendFrom
  std::string ToName;          // recipient display name of mail the rule sends
  std::string ForwardSubject;  // Tittle: subject used when forwarding (kept untrimmed)
  std::string TextBefore;      // AddTop: text (or content of the named file) put before the body
  std::string TextAfter;       // AddBottom: text (or content of the named file) put after the body
  DeleteInstruction Deletion = DeleteInstruction::kNone;  // Delete
  RuleAction Action = RuleAction::kNone;                  // Process
  std::string BodyFile;        // Msg: body file name
  std::string DataFile;        // File: save / member / survey file name
  AttachmentHandling Attachments = AttachmentHandling::kIgnore;  // Attatch
  // The three columns as written (trimmed).
  std::string DeleteText;
  std::string ActionText;
  std::string AttachmentsText;
};

using MasterTable = std::vector<MasterRule>;

// Reads the table at `path` (program folder + "/Master.txt"; when no such
// file exists, the same path with ".csv"). Files named by the rows are
// looked up in `program_folder`. On success fills *table and returns OK; on
// the first fault returns an error whose message is the text to show the
// user before the program ends.
Status ReadMaster(const FileSystem& fs, const std::string& program_folder, const std::string& path,
                  MasterTable* table);

// The action a Process column names: kNone for an empty column, nothing
// for a word that is none of the process types (compared exactly).
std::optional<RuleAction> RuleActionOf(std::string_view text);

}  // namespace kelmora
