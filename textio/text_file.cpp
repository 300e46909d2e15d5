// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/text_file.h"

#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// Splits decoded text into lines at LF, dropping one CR before each LF. A
// final line break does not start another line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl;
    size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.push_back(text.substr(start, stop - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

}  // namespace

std::string FindFile(const FileSystem& fs, const std::string& path) {
  if (path.empty() || !fs.IsFile(path)) return "";
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadWholeFile(const FileSystem& fs, const std::string& path) {
  std::string bytes;
  if (!fs.ReadFile(path, &bytes).ok()) return "";
  DecodeFileBytesInPlace(&bytes);
  return bytes;
}

Status ReadRawLines(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines) {
  lines->clear();
  std::string bytes;
  Status read = fs.ReadFile(path, &bytes);
  if (!read.ok()) return read;
  DecodeFileBytesInPlace(&bytes);
  *lines = SplitLines(bytes);
  return Status::OK();
}

Status ReadLines(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines) {
  lines->clear();
  if (!fs.IsFile(path)) {
    lines->push_back("");
    return Status::NotFound(path + " does not exist");
  }
  std::vector<std::string> raw;
  Status read = ReadRawLines(fs, path, &raw);
  if (!read.ok()) {
    lines->push_back("");
    // An unreadable file is no absent one: callers tell the two apart.
    return read.IsNotFound() ? Status::IOError(read.message()) : read;
  }
  for (const std::string& line : raw) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    lines->push_back(std::move(t));
  }
  if (lines->empty()) lines->push_back("");
  return Status::OK();
}

Status ReadLinesFromOne(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines) {
  std::vector<std::string> body;
  Status r = ReadLines(fs, path, &body);
  lines->clear();
  lines->push_back("");
  if (r.ok() && !(body.size() == 1 && body[0].empty())) {
    lines->insert(lines->end(), body.begin(), body.end());
  }
  return r;
}

FileEncoding EncodingOf(const FileSystem& fs, const std::string& path) {
  std::string head;
  FileEncoding enc = FileEncoding::kCp932;
  if (fs.ReadFileHead(path, 3, &head).ok()) DecodeFileBytes(head, &enc);
  return enc;
}

Status WriteLines(FileSystem& fs, const std::string& path, const std::vector<std::string>& lines) {
  if (!fs.IsFile(path)) return Status::NotFound(path + " does not exist");
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  Status written = fs.WriteFileAtomic(path, EncodeFileText(text, EncodingOf(fs, path)));
  // The file may vanish between the look and the write: that is a failure
  // here, not an absent file.
  return written.IsNotFound() ? Status::IOError(written.message()) : written;
}

Status WriteTextFile(FileSystem& fs, const std::string& path, const std::string& text) {
  FileEncoding enc = fs.IsFile(path) ? EncodingOf(fs, path) : FileEncoding::kCp932;
  return fs.WriteFileAtomic(path, EncodeFileText(text + "\r\n", enc));
}

Status AppendTextEntry(FileSystem& fs, const std::string& path, const std::string& text) {
  FileEncoding enc = fs.IsFile(path) ? EncodingOf(fs, path) : FileEncoding::kCp932;
  std::string bytes = EncodeFileText(text + "\r\n", enc);
  // The mark belongs at the start of the file only.
  if (enc == FileEncoding::kUtf8Bom) bytes.erase(0, 3);
  return fs.AppendToFile(path, bytes);
}

}  // namespace kelmora
