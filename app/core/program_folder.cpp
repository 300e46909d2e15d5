// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/program_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "app/core/command_line.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "";
}

// The folder with every link resolved; "" when it does not exist.
std::string Resolved(const FileSystem& fs, const std::string& path) {
  std::string resolved;
  return fs.RealPath(path, &resolved).ok() ? resolved : "";
}

// What each file of the bundled example is for, as the first-start box
// shows it.
const std::map<std::string, std::string>& ExampleFileRoles() {
  static const std::map<std::string, std::string> roles = {
      {"Master.txt", "ルール表：リストのアドレスとキーワード"},
      {"Kelmora.ini", "設定：受信の方法（メールストアかPOP3アカウント）"},
      {"members.txt", "メンバーのアドレス"},
      {"README.txt", "どこを書き換えるかの説明"},
  };
  return roles;
}

}  // namespace

bool ExecutableFolderServes(const std::string& exe_folder, bool writable, bool installed_layout) {
  const bool under_usr = exe_folder == "/usr" || StartsWith(exe_folder, "/usr/");
  return writable && !under_usr && !installed_layout;
}

std::string HomeProgramFolder(const std::string& home) { return JoinPath(home, kHomeFolderName); }

std::string FindBundledExample(const FileSystem& fs, const std::string& exe_folder) {
  std::vector<std::string> prefixes = {JoinPath(exe_folder, "..")};
  // The window program lives one level deeper, in <prefix>/libexec/kelmora.
  if (BaseName(exe_folder) == "kelmora") prefixes.push_back(JoinPath(exe_folder, "../.."));
  for (const std::string& prefix : prefixes) {
    // The executable's folder comes resolved from the kernel, so ".." can be
    // taken away by the letters alone.
    std::string example = std::filesystem::path(JoinPath(prefix, kExampleBelowPrefix)).lexically_normal().string();
    if (fs.IsFile(JoinPath(example, "Master.txt"))) return example;
  }
  return "";
}

std::string FindWindowProgram(const std::string& exe_folder) {
  for (const char* relative : {"kelmora-window", "../libexec/kelmora/kelmora-window"}) {
    const std::string path = JoinPath(exe_folder, relative);
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool HasRuleTable(const FileSystem& fs, const std::string& folder) {
  return fs.IsFile(JoinPath(folder, "Master.txt")) || fs.IsFile(JoinPath(folder, "Master.csv"));
}

Status CopyBundledExample(FileSystem& fs, const std::string& example, const std::string& folder,
                          std::vector<std::string>* copied) {
  copied->clear();
  std::vector<DirEntry> entries;
  Status s = fs.ListDir(example, &entries);
  if (!s.ok()) return s;
  // The rule table goes last: a copy cut short leaves a folder without one,
  // which the next start fills again.
  auto rank = [](const DirEntry& e) { return std::make_pair(StartsWith(e.name, "Master."), e.name); };
  std::sort(entries.begin(), entries.end(), [&](const DirEntry& a, const DirEntry& b) { return rank(a) < rank(b); });
  for (const DirEntry& e : entries) {
    if (!e.is_file || StartsWith(e.name, ".")) continue;
    const std::string target = JoinPath(folder, e.name);
    if (fs.Exists(target)) continue;
    std::string bytes;
    s = fs.ReadFile(JoinPath(example, e.name), &bytes);
    if (s.ok()) s = fs.WriteFileAtomic(target, bytes);
    if (!s.ok()) return s;
    copied->push_back(e.name);
  }
  return Status::OK();
}

std::string FirstStartLogLine(const std::string& folder, const std::vector<std::string>& copied) {
  std::string names;
  for (const std::string& name : copied) names += (names.empty() ? "" : "、") + name;
  return "初回の起動なので、プログラムフォルダ<" + folder + ">に例のメーリングリストを用意しました（" + names +
         "）。使う前にMaster.txtとKelmora.iniのアドレスとサーバーを書き換えてください。";
}

std::string FirstStartMessage(const std::string& folder, const std::vector<std::string>& copied) {
  std::string text = "初回の起動なので、例のメーリングリストを次のフォルダに用意しました。\n\n  " + folder +
                     "\n\n使う前に、このフォルダの次のファイルを書き換えてください。\n";
  for (const std::string& name : copied) {
    auto role = ExampleFileRoles().find(name);
    text += "  " + name + (role != ExampleFileRoles().end() ? "（" + role->second + "）" : "") + "\n";
  }
  text += "\n書き換えたら、Kelmoraを起動し直してください。";
  return text;
}

Status PlaceProgram(const FileSystem& fs, const std::string& dir, Placement* out) {
  const std::string exe = ExecutableFolder(fs);
  const std::string example = FindBundledExample(fs, exe);
  const std::string home = HomeFolder();
  std::string folder = dir;
  if (folder.empty()) {
    const bool writable = ::access(exe.c_str(), W_OK) == 0;
    if (ExecutableFolderServes(exe, writable, !example.empty())) {
      folder = exe;
    } else {
      if (home.empty()) return Status::Error("no home folder to keep the program folder in; name one with --dir");
      folder = HomeProgramFolder(home);
      // Private: the folder will hold passwords and mail.
      if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return Status::Error("cannot create the program folder " + folder + ": " + std::strerror(errno));
      }
    }
  }
  out->folder = Resolved(fs, folder);
  if (out->folder.empty()) return Status::NotFound("the program folder " + folder + " does not exist");
  out->exe_folder = exe;
  out->example.clear();
  if (!example.empty() && !home.empty() && out->folder == Resolved(fs, HomeProgramFolder(home))) out->example = example;
  return Status::OK();
}

}  // namespace kelmora
