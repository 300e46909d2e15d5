// SPDX-License-Identifier: GPL-3.0-or-later
// The program folder when the command line names none, and the example an
// installed Kelmora starts a new program folder with.
//
// A Kelmora run from a build or an unpacked folder keeps its files beside
// the executable. An installed one must not: /usr/bin is no place for
// member lists and logs (and root could even write there). It uses
// ~/Kelmora, the folder the menu entry, the user units and the manual name,
// and on the first start there copies the bundled example into it.
#pragma once

#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

inline constexpr const char* kHomeFolderName = "Kelmora";

// Where the bundled example lies below an installation prefix.
inline constexpr const char* kExampleBelowPrefix = "share/kelmora/examples/club";

// Whether the executable's folder serves as the program folder: not when it
// lies under /usr, cannot be written, or sits beside installed data (an
// install under any other prefix).
bool ExecutableFolderServes(const std::string& exe_folder, bool writable, bool installed_layout);

// The home folder's program folder: <home>/Kelmora.
std::string HomeProgramFolder(const std::string& home);

// The bundled example of an executable in `exe_folder`: <prefix>/share/...
// for the kelmora command in <prefix>/bin, and for the window program in
// <prefix>/libexec/kelmora. "" when there is none (a build tree).
std::string FindBundledExample(const FileSystem& fs, const std::string& exe_folder);

// The window program for the kelmora command in `exe_folder`: beside it in
// a build, <prefix>/libexec/kelmora/kelmora-window when installed; "" when
// this installation has none.
std::string FindWindowProgram(const std::string& exe_folder);

// Whether `folder` holds a rule table (Master.txt, or Master.csv instead).
bool HasRuleTable(const FileSystem& fs, const std::string& folder);

// Copies every file of the example folder into `folder` (private to the
// user: the member file holds passwords), leaving any file of that name
// already there untouched. *copied receives the names copied, the rule
// table last.
Status CopyBundledExample(FileSystem& fs, const std::string& example, const std::string& folder,
                          std::vector<std::string>* copied);

// What a first start tells the owner: one line for the main log, and the
// text of the window's message box (the folder and the files to edit).
std::string FirstStartLogLine(const std::string& folder, const std::vector<std::string>& copied);
std::string FirstStartMessage(const std::string& folder, const std::vector<std::string>& copied);

// The resolved program folder of this run, and the example to start it with
// when it has no rule table yet ("" for any folder but ~/Kelmora: a folder
// named on the command line may hold anything, and is never filled unasked).
// And the folder of the running executable, where the window program is
// looked for.
struct Placement {
  std::string folder;
  std::string example;
  std::string exe_folder;
};

// Works out the placement for the folder the command line named ("" for
// none), creating ~/Kelmora when it is the one chosen. The folder must
// exist. A failure's message is meant for standard error.
[[nodiscard]] Status PlaceProgram(const FileSystem& fs, const std::string& dir, Placement* out);

}  // namespace kelmora
