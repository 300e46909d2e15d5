// SPDX-License-Identifier: GPL-3.0-or-later
// Maildir: the folder format the local mail store keeps its mail in, shared
// with Dovecot, mutt, Evolution and notmuch.
//
// A Maildir holds tmp/, new/ and cur/. A message is written into tmp/ under
// a name unique on this host ("<seconds>.M<micros>P<pid>R<random>.<host>"),
// flushed, and renamed into new/, so that a reader never sees half a
// message. new/ holds what no mail program has looked at; cur/ holds the
// rest, the name followed by ":2," and the flags in ASCII order ("S" seen,
// "T" trashed, ...). A message keeps the part before ":" (its base) for
// life, whatever folder or flags it moves to.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct MaildirMessage {
  std::string path;           // full path of the file
  std::string name;           // its name in new/ or cur/
  bool in_new = false;
  std::int64_t mtime_micros = 0;
};

// A name no other message on this host gets ("<seconds>.M<micros>P<pid>R<random>.<host>").
std::string MaildirUniqueName(const Clock& clock);

// The part of a message name before its ":2," flags.
std::string MaildirBase(const std::string& name);
// The flags of a name ("" when it has none).
std::string MaildirFlags(const std::string& name);
// The name of the message in cur/ with `flag` added to its flags.
std::string MaildirWithFlag(const std::string& name, char flag);

// Creates tmp/, new/ and cur/ of `path` (and `path` itself) where missing.
Status EnsureMaildir(FileSystem& fs, const std::string& path);

// Writes `bytes` as a new message: into tmp/, flushed, renamed into new/
// (or into cur/ as "<name>:2,<flags>" when `flags` is not empty), and the
// folder flushed, so that the message survives a crash once this returns.
// *path receives the final path. `before_rename` (may be empty) is called
// with the name once the bytes are flushed in tmp/; when it fails, the
// file is removed again and its status returned.
Status MaildirDeliver(FileSystem& fs, const Clock& clock, const std::string& maildir, const std::string& bytes,
                      const std::string& flags, std::string* path,
                      const std::function<Status(const std::string&)>& before_rename = nullptr);

// Moves a message file into the cur/ of `maildir` as "<base>:2,<flags>"
// and, with `sync`, flushes the folders involved (a caller moving many
// messages flushes once at the end instead). *path receives the new path.
Status MaildirMove(FileSystem& fs, const std::string& from, const std::string& maildir, const std::string& flags,
                   std::string* path, bool sync = true);

// What a look into new/ and cur/ found.
struct MaildirListing {
  std::vector<MaildirMessage> messages;  // regular files only
  // Entries that are no regular file of their own (symbolic links, named
  // pipes, folders): full paths. They are never read.
  std::vector<std::string> odd;
  // new/ or cur/ that could not be listed, with the reason.
  std::vector<std::string> unreadable;
};

// The messages of new/ and cur/, each with its modification time. Names
// beginning with "." are skipped (other programs' temporary files). A
// folder that cannot be listed does not hide the other one.
void MaildirScan(const FileSystem& fs, const std::string& maildir, MaildirListing* listing);

// MaildirScan for callers that want all or nothing: an error when new/ or
// cur/ cannot be listed.
Status MaildirList(const FileSystem& fs, const std::string& maildir, std::vector<MaildirMessage>* messages);

}  // namespace kelmora
