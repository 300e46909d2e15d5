// SPDX-License-Identifier: GPL-3.0-or-later
// File and folder retrieval by mail: "GetFile:", "Dir:" and "DirAll:" at
// the start of a body. Under "COMMAND" every path is inside the program
// folder; under "COMMANDx" a path that begins with "/" is taken as it is.
#pragma once

#include <string>

#include "textio/file_system.h"

namespace kelmora {

struct RetrievalReply {
  std::string Msg;         // the reply body
  std::string AttachmentPaths;  // "" or the one attached file
  int AttachmentCount = 0;
};

// The reply to `body` for a "COMMAND" (commandx false) or "COMMANDx" row.
// A body that holds no command is echoed back unchanged. Under "COMMAND" a
// path that leads out of the program folder (through "..", a leading "/" or
// a symbolic link anywhere along it, as the real disk resolves it) names
// nothing: "GetFile:" answers that the file did not exist, "Dir:" that the
// folder does not exist, and listings leave out links that lead out. A
// "Dir:" or "DirAll:" without a folder gets the same invalid-argument text
// as a "GetFile:" without a file.
RetrievalReply RunFileRetrieval(const FileSystem& fs, const std::string& program_folder, bool commandx,
                                const std::string& body);

// The listing of `folder`: one line per file ("name", padding to 30 code
// page 932 columns, size in KB, " KB"), sub-folders too ("name/") when
// `with_folders`; "指定されたフォルダがありません！" when it does not exist,
// "" when it cannot be listed. Entries are sorted by name; names that begin
// with "." are left out.
std::string ListFolder(const FileSystem& fs, const std::string& folder, bool with_folders);

}  // namespace kelmora
