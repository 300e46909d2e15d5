// File and folder retrieval by mail: "GetFile:", "Dir:" and "DirAll:" at
// the start of a body. Under "COMMAND" every path is inside the program
// folder; under "COMMANDx" a path that begins with "/" is taken as it is.
#pragma once

#include <string>

#include "textio/file_system.h"

namespace kelmora {

struct RetrievalReply {
  std::string Msg;         // the reply body
  std::string strAttatch;  // "" or the one attached file
  int AttCnt = 0;
};

// The reply to `body` for a "COMMAND" (commandx false) or "COMMANDx" row.
// A body that holds no command is echoed back unchanged.
RetrievalReply RunFileRetrieval(const FileSystem& fs, const std::string& program_folder, bool commandx,
                                const std::string& body);

// The listing of `folder`: one line per file ("name", padding to 30 code
// page 932 columns, size in KB, " KB"), sub-folders too ("name/") when
// `with_folders`; "指定されたフォルダがありません！" when it does not exist.
std::string ListFolder(const FileSystem& fs, const std::string& folder, bool with_folders);

}  // namespace kelmora
