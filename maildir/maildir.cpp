// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/maildir.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "textio/strings.h"

namespace kelmora {
namespace {

std::string HostName(const Clock& clock) {
  const std::string host = clock.HostName();
  if (host.empty()) return "localhost";
  // "/" and ":" would break the name; the usual escapes keep it readable.
  std::string out;
  for (const char* p = host.c_str(); *p; ++p) {
    if (*p == '/') {
      out += "\\057";
    } else if (*p == ':') {
      out += "\\072";
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

std::string MaildirUniqueName(const Clock& clock) {
  const std::int64_t micros = clock.EpochMicros();
  // Two names taken within one microsecond by this process still differ
  // by the random part; a clash left over is refused by the exclusive
  // create, and the caller takes another name.
  char r[17];
  std::snprintf(r, sizeof r, "%016llx", static_cast<unsigned long long>(clock.Random()));
  return std::to_string(micros / 1000000) + ".M" + std::to_string(micros % 1000000) + "P" +
         std::to_string(clock.ProcessId()) + "R" + r + "." + HostName(clock);
}

std::string MaildirBase(const std::string& name) {
  size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(0, colon);
}

std::string MaildirFlags(const std::string& name) {
  size_t info = name.find(":2,");
  return info == std::string::npos ? std::string() : name.substr(info + 3);
}

std::string MaildirWithFlag(const std::string& name, char flag) {
  std::string flags = MaildirFlags(name);
  if (flags.find(flag) == std::string::npos) flags += flag;
  std::sort(flags.begin(), flags.end());
  return MaildirBase(name) + ":2," + flags;
}

Status EnsureMaildir(FileSystem& fs, const std::string& path) {
  for (const std::string& p : {path, JoinPath(path, "tmp"), JoinPath(path, "new"), JoinPath(path, "cur")}) {
    if (fs.IsDir(p)) continue;
    Status s = fs.CreateDir(p);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status MaildirDeliver(FileSystem& fs, const Clock& clock, const std::string& maildir, const std::string& bytes,
                      const std::string& flags, std::string* path,
                      const std::function<Status(const std::string&)>& before_rename) {
  Status s;
  std::string name, tmp;
  for (int attempt = 0; attempt < 5; ++attempt) {
    name = MaildirUniqueName(clock);
    tmp = JoinPath(JoinPath(maildir, "tmp"), name);
    s = fs.CreateNewFile(tmp, bytes, true);
    if (s.ok()) break;
  }
  if (!s.ok()) return s;
  if (before_rename) {
    s = before_rename(name);
    if (!s.ok()) {
      // The caller's failure is what counts; a stray file in tmp/ is no message.
      (void)fs.RemoveFile(tmp);
      return s;
    }
  }
  std::string sorted = flags;
  std::sort(sorted.begin(), sorted.end());
  const std::string target = flags.empty() ? JoinPath(JoinPath(maildir, "new"), name)
                                           : JoinPath(JoinPath(maildir, "cur"), name + ":2," + sorted);
  s = fs.Rename(tmp, target);
  if (!s.ok()) {
    (void)fs.RemoveFile(tmp);  // as above: the rename's failure is reported
    return s;
  }
  if (path != nullptr) *path = target;
  s = fs.SyncDir(DirName(target));
  // The message is in place. With a record made before the rename, a
  // rename that the failed flush lets a crash undo is completed from that
  // record; without one the caller must know.
  if (!s.ok() && !before_rename) return s;
  return Status::OK();
}

Status MaildirMove(FileSystem& fs, const std::string& from, const std::string& maildir, const std::string& flags,
                   std::string* path, bool sync) {
  std::string sorted = flags;
  std::sort(sorted.begin(), sorted.end());
  const std::string target = JoinPath(JoinPath(maildir, "cur"), MaildirBase(BaseName(from)) + ":2," + sorted);
  Status s = fs.Rename(from, target);
  if (!s.ok()) return s;
  if (path != nullptr) *path = target;
  if (!sync) return s;
  // The rename is atomic; flushing both folders makes it last.
  s = fs.SyncDir(DirName(target));
  if (s.ok() && DirName(from) != DirName(target)) s = fs.SyncDir(DirName(from));
  return s;
}

void MaildirScan(const FileSystem& fs, const std::string& maildir, MaildirListing* listing) {
  *listing = MaildirListing();
  for (const char* sub : {"new", "cur"}) {
    const std::string folder = JoinPath(maildir, sub);
    std::vector<DirEntry> entries;
    Status s = fs.ListDir(folder, &entries);
    if (!s.ok()) {
      listing->unreadable.push_back(folder + ": " + s.message());
      continue;
    }
    for (const DirEntry& e : entries) {
      if (e.name.empty() || e.name[0] == '.') continue;
      const std::string path = JoinPath(folder, e.name);
      // A link could lead anywhere on the disk: only the store's own
      // regular files are mail.
      if (!e.is_file || e.is_symlink) {
        listing->odd.push_back(path);
        continue;
      }
      listing->messages.push_back(MaildirMessage{path, e.name, sub[0] == 'n', e.mtime_micros});
    }
  }
}

Status MaildirList(const FileSystem& fs, const std::string& maildir, std::vector<MaildirMessage>* messages) {
  MaildirListing listing;
  MaildirScan(fs, maildir, &listing);
  *messages = std::move(listing.messages);
  if (!listing.unreadable.empty()) return Status::IOError(listing.unreadable.front());
  return Status::OK();
}

}  // namespace kelmora
