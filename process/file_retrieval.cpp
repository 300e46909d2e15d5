// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/file_retrieval.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr std::uint64_t kSizeLimit = 1024000;  // files this large or larger are not sent
constexpr int kNameColumns = 30;                // the size starts in column 31
const char* const kNoFolder = "指定されたフォルダがありません！";

// The first line of a body, without its line break.
std::string FirstLine(const std::string& body) {
  std::string line = body.substr(0, body.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string WithoutLeadingBlanks(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  return b == std::string::npos ? "" : text.substr(b);
}

// The path of `argument` as given in a mail. Under "COMMANDx" a path that
// begins with "/" is used as it is; every other argument names something in
// the program folder.
std::string ResolveArgument(const std::string& program_folder, bool commandx, const std::string& argument) {
  if (commandx && !argument.empty() && argument[0] == '/') return argument;
  return JoinPath(program_folder, argument);
}

// Whether `path` stays inside the program folder once "..", absolute
// arguments and symbolic links are followed. A sender allowed to fetch the
// program's files must not reach the rest of the computer through them.
bool InsideFolder(const FileSystem& fs, const std::string& program_folder, const std::string& path) {
  // The operating system would stop reading a name at a NUL byte.
  if (path.find('\0') != std::string::npos) return false;
  std::string root = fs.ResolvePath(program_folder);
  std::string target = fs.ResolvePath(path);
  if (root.empty() || target.empty()) return false;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  if (target == root) return true;
  return StartsWith(target, root == "/" ? root : root + "/");
}

// The size in kilobytes, rounded to the nearest whole number, a half to the
// even neighbour; in integers, so that no size is too large for it.
std::uint64_t KiloBytes(std::uint64_t size) {
  std::uint64_t q = size / 1024, r = size % 1024;
  if (r > 512 || (r == 512 && (q & 1) != 0)) ++q;
  return q;
}

std::string FormatEntry(const DirEntry& entry) {
  // File names on Linux may hold any bytes; the reply text is UTF-8.
  const std::string name = SanitizeUtf8(entry.name);
  if (entry.is_dir) return name + "/";
  const int width = AnsiWidth(name);
  const std::string gap = width < kNameColumns ? std::string(static_cast<size_t>(kNameColumns - width), ' ') : " ";
  return name + gap + std::to_string(KiloBytes(entry.size)) + " KB";
}

// ListFolder, and under "COMMAND" (`root` not empty) without the entries
// that are symbolic links leading out of `root`.
std::string ListFolderWithin(const FileSystem& fs, const std::string& folder, bool with_folders,
                             const std::string& root) {
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir.find('\0') != std::string::npos || !fs.IsDir(dir)) return kNoFolder;
  const std::string prefix = dir == "/" ? dir : dir + "/";
  try {
    std::vector<DirEntry> entries;
    if (!fs.ListDir(dir, &entries).ok()) return "";
    // The file system's own order differs from one disk to the next; by
    // name, the same folder always gives the same reply.
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    std::string listing;
    bool first = true;
    for (const DirEntry& entry : entries) {
      if (entry.name.empty() || entry.name[0] == '.') continue;  // ".", ".." and hidden entries
      if (!(entry.is_file || (with_folders && entry.is_dir))) continue;
      if (!root.empty() && !InsideFolder(fs, root, prefix + entry.name)) continue;
      if (!first) listing += "\r\n";
      listing += FormatEntry(entry);
      first = false;
    }
    return listing;
  } catch (const std::exception&) {
    return "";
  }
}

RetrievalReply GetFile(const FileSystem& fs, const std::string& program_folder, bool commandx,
                       const std::string& line, const std::string& argument) {
  RetrievalReply reply;
  if (argument.empty()) {
    reply.Msg = "指定された<" + line + ">は不正です！";
    return reply;
  }
  const std::string path = ResolveArgument(program_folder, commandx, argument);
  const std::string missing = "指定された<" + path + ">が存在しませんでした！";
  if (path.find('\0') != std::string::npos || (!commandx && !InsideFolder(fs, program_folder, path))) {
    reply.Msg = missing;
    return reply;
  }
  // Reading at most the limit tells the size through the one door to the
  // disk; a file that cannot be read cannot be sent either.
  std::string head;
  if (!fs.IsFile(path) || !fs.ReadFileHead(path, kSizeLimit, &head).ok()) {
    reply.Msg = missing;
    return reply;
  }
  if (head.size() >= kSizeLimit) {
    reply.Msg = "ファイル<" + path + ">のサイズが1024000バイトを超えているので取得しません。";
    return reply;
  }
  reply.AttachmentPaths = path;
  reply.AttachmentCount = 1;
  reply.Msg = "ファイル<" + path + ">は正常に取得できました。";
  return reply;
}

RetrievalReply Dir(const FileSystem& fs, const std::string& program_folder, bool commandx, const std::string& line,
                   const std::string& argument, bool with_folders) {
  RetrievalReply reply;
  // Without a folder there is nothing to list: the same answer as a
  // "GetFile:" without a file.
  if (argument.empty()) {
    reply.Msg = "指定された<" + line + ">は不正です！";
    return reply;
  }
  const std::string path = ResolveArgument(program_folder, commandx, argument);
  reply.Msg = "フォルダ<" + path + ">内のファイル名" + (with_folders ? "とフォルダ名" : "") + "の取得結果です。\r\n";
  if (!commandx && !InsideFolder(fs, program_folder, path)) {
    reply.Msg += kNoFolder;
  } else {
    reply.Msg += ListFolderWithin(fs, path, with_folders, commandx ? "" : program_folder);
  }
  return reply;
}

}  // namespace

RetrievalReply RunFileRetrieval(const FileSystem& fs, const std::string& program_folder, bool commandx,
                                const std::string& body) {
  const std::string text = Trim(body);
  const std::string line = FirstLine(body);
  // The command word was found at the start of the trimmed body, so the
  // argument follows it on the first line once leading blanks are gone.
  const std::string command_line = WithoutLeadingBlanks(line);
  auto argument_after = [&command_line](const std::string& word) {
    return Trim(command_line.size() > word.size() ? command_line.substr(word.size()) : "");
  };
  if (StartsWith(text, "GetFile:")) {
    return GetFile(fs, program_folder, commandx, line, argument_after("GetFile:"));
  }
  if (StartsWith(text, "Dir:")) return Dir(fs, program_folder, commandx, line, argument_after("Dir:"), false);
  if (StartsWith(text, "DirAll:")) return Dir(fs, program_folder, commandx, line, argument_after("DirAll:"), true);
  RetrievalReply echo;
  echo.Msg = body;
  return echo;
}

std::string ListFolder(const FileSystem& fs, const std::string& folder, bool with_folders) {
  return ListFolderWithin(fs, folder, with_folders, "");
}

}  // namespace kelmora
