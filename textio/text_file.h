// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-file text helpers. Files are read and written whole, in code page
// 932 (or UTF-8 when the file begins with a byte order mark), with CR LF
// line ends; a bare LF is accepted on reading. Every rewrite is atomic.
#pragma once

#include <string>
#include <vector>

#include "textio/codepage.h"
#include "textio/file_system.h"

namespace kelmora {

// The name of the regular file at `path`, or "" when there is none.
std::string FindFile(const FileSystem& fs, const std::string& path);

// The whole content of the file as text, line breaks kept; "" when the file
// is absent, empty or unreadable.
std::string ReadWholeFile(const FileSystem& fs, const std::string& path);

// The lines of a text file exactly as stored (line breaks removed, no
// trimming). The file system's failure when the file cannot be read.
Status ReadRawLines(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines);

// The significant lines of a text file from element 0: each line trimmed,
// a trimmed line that begins with ";" counts as empty, empty lines skipped;
// a file without significant lines gives one empty element.
// NotFound when the file is absent (lines = one empty element); the read's
// failure (lines = one empty element) when it cannot be read.
Status ReadLines(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines);

// The same, but element 0 is always "" and the lines start at element 1.
Status ReadLinesFromOne(const FileSystem& fs, const std::string& path, std::vector<std::string>* lines);

// Replaces the content of an existing file by every element of `lines`, each
// followed by CR LF. NotFound when the file is absent (nothing is
// created); on any other failure the old content is intact.
Status WriteLines(FileSystem& fs, const std::string& path, const std::vector<std::string>& lines);

// Creates the file or replaces its content by `text` followed by CR LF.
Status WriteTextFile(FileSystem& fs, const std::string& path, const std::string& text);

// Appends `text` followed by CR LF to the file, creating it when missing.
// The bytes equal those of rewriting the file as its old content followed
// by the entry, at a cost that does not grow with the file.
Status AppendTextEntry(FileSystem& fs, const std::string& path, const std::string& text);

// The encoding a rewrite of `path` must keep (UTF-8 with mark when the
// current file begins with one).
FileEncoding EncodingOf(const FileSystem& fs, const std::string& path);

}  // namespace kelmora
