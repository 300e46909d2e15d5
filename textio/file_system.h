// SPDX-License-Identifier: GPL-3.0-or-later
// FileSystem: the one door through which the core touches files. Tests can
// substitute a fake to inject faults (full disk, unreadable file) without
// touching the real disk.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "textio/status.h"

namespace kelmora {

struct DirEntry {
  std::string name;
  bool is_dir = false;
  bool is_file = false;      // a regular file, or a link that leads to one
  bool is_symlink = false;   // the entry itself is a symbolic link
  std::uint64_t size = 0;
  // Last modification, in microseconds since the Unix epoch (0 when
  // unknown). The mail store orders its messages by it.
  std::int64_t mtime_micros = 0;
};

// A file written under a temporary name beside its final path, waiting for
// CommitFiles to put it in place.
struct StagedFile {
  std::string path;       // the final name
  std::string temp_path;  // where the bytes wait; "" when nothing waits
  bool committed = false; // the bytes are durable under `path`
};

// Where the pieces of a file go while they are made (WriteFileAtomicFrom).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Status Write(std::string_view bytes) = 0;
};

// Makes a file's content piece by piece into the sink it is given.
using ByteProducer = std::function<Status(ByteSink&)>;

// A sink that appends to a string.
class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string* out) : out_(out) {}
  Status Write(std::string_view bytes) override {
    out_->append(bytes);
    return Status::OK();
  }

 private:
  std::string* out_;
};

// An advisory lock held until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Reads the whole file into *bytes. Fails when the path is not a readable
  // regular file.
  virtual Status ReadFile(const std::string& path, std::string* bytes) const = 0;
  // Reads at most `max_bytes` from the start of the file.
  virtual Status ReadFileHead(const std::string& path, size_t max_bytes, std::string* bytes) const = 0;

  // Replaces (or creates) the file atomically: the bytes go to a temporary
  // file in the same folder, are flushed to disk, and the temporary file is
  // renamed over the target. On failure the old content is untouched.
  // A symbolic link stays a link and its target gets the content; a file
  // keeps its mode and owner (a new one is private to the user, 0600); a
  // file with several names is rewritten in place so that they stay one
  // file; a file whose permissions forbid writing is refused, unchanged.
  virtual Status WriteFileAtomic(const std::string& path, const std::string& bytes) = 0;

  // WriteFileAtomic for content made in pieces (a large attachment), so
  // that it never has to be held whole: `produce` writes the bytes into the
  // sink it is given, and the file is put in place only when it returns OK.
  // Same guarantees as WriteFileAtomic. The default collects the pieces and
  // calls WriteFileAtomic.
  virtual Status WriteFileAtomicFrom(const std::string& path, const ByteProducer& produce);

  // Opens a regular file for reading in pieces: *fd is a descriptor that the
  // caller closes. A file system without descriptors to give (a test double)
  // sets *fd to -1 and returns OK; the caller then reads the file whole.
  virtual Status OpenForReading(const std::string& path, int* fd) const {
    *fd = -1;
    return IsFile(path) ? Status::OK() : Status::NotFound("no such file: " + path);
  }

  // Batched durable writes: a batch of files costs one flush per file and
  // one per folder, and nothing of a file is visible under its name before
  // it is durable there.
  //
  // StageFile writes the bytes of a new version of `path` to a temporary
  // name beside it and only starts writing them to disk. A file that a
  // rename cannot replace safely (a link, a file with several names, a
  // write-protected file) is written at once as WriteFileAtomic does and
  // comes back committed.
  virtual Status StageFile(const std::string& path, const std::string& bytes, StagedFile* staged);
  // Flushes each staged file, renames each onto its path and flushes each
  // folder once. A file whose bytes reached its path is marked committed;
  // every other temporary file is removed. Returns the first failure.
  virtual Status CommitFiles(std::vector<StagedFile>* files);
  // Removes the temporary files of staged files that were not committed.
  void DiscardStaged(std::vector<StagedFile>* files);
  // Removes what a file system kept from replaced files for later stages
  // (see RealFileSystem); a batch writer calls it when it is done.
  virtual void ReleaseSpareFiles() {}

  // Appends bytes to the end of the file, creating it when missing (0600).
  // The cost does not depend on the size of the file. Anything but a regular
  // file (a named pipe, a device) is refused without blocking.
  virtual Status AppendToFile(const std::string& path, const std::string& bytes) = 0;

  virtual bool IsFile(const std::string& path) const = 0;
  virtual bool IsDir(const std::string& path) const = 0;
  virtual bool Exists(const std::string& path) const = 0;
  // Creates a folder (private to the user, 0700); an existing one is fine.
  virtual Status CreateDir(const std::string& path) = 0;
  // Removes a file, also when it is read-only.
  virtual Status RemoveFile(const std::string& path) = 0;
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  virtual Status ListDir(const std::string& path, std::vector<DirEntry>* entries) const = 0;

  // The path made absolute, with ".", ".." and symbolic links resolved as
  // far as it exists; "" when that cannot be worked out.
  virtual std::string ResolvePath(const std::string& path) const = 0;
  // The same for a path that must exist as a whole: fails (not found) when
  // any part of it is missing, where ResolvePath would carry on by the
  // letters.
  virtual Status RealPath(const std::string& path, std::string* resolved) const = 0;
  // What the symbolic link `path` points to, as the link says it.
  virtual Status ReadLink(const std::string& path, std::string* target) const = 0;

  // Takes an exclusive lock on the file (created when missing). The lock
  // lasts as long as *lock, and at most as long as the process, so a crashed
  // holder never blocks the next. Refused while another holder has it.
  virtual Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) = 0;

  // --- Operations of the mail store. They have plain defaults so that
  // --- a partial FileSystem (a test double) still links.

  // Creates a file that must not exist yet, with `bytes`; refused (and
  // nothing changed) when the name is taken. With `sync` the bytes are on
  // disk before it returns. The name is not made durable: SyncDir does.
  virtual Status CreateNewFile(const std::string& path, const std::string& bytes, bool sync) {
    if (Exists(path)) return Status::Error("file exists: " + path);
    return WriteFileAtomic(path, bytes);
  }
  // ReadFile for files another program may have put in place: a symbolic
  // link is not followed and a named pipe is not waited on; anything but a
  // regular file is refused.
  virtual Status ReadRegularFile(const std::string& path, std::string* bytes) const { return ReadFile(path, bytes); }
  // Flushes a folder's entries (names created, renamed or removed in it).
  virtual Status SyncDir(const std::string& path) { return Status::OK(); }
  // AppendToFile, then the file flushed to disk before it returns. Like
  // ReadRegularFile it neither follows a link nor waits on a named pipe.
  virtual Status AppendToFileDurably(const std::string& path, const std::string& bytes) {
    return AppendToFile(path, bytes);
  }
  // AppendToFileDurably without the flush: what the program appends lasts
  // when the program dies (a kill, a crash), not always a power cut.
  virtual Status AppendToRegularFile(const std::string& path, const std::string& bytes) {
    return AppendToFileDurably(path, bytes);
  }
  // Removes an empty folder.
  virtual Status RemoveDir(const std::string& path) { return Status::Error("cannot remove folder " + path); }
};

// The real disk, through POSIX calls.
class RealFileSystem : public FileSystem {
 public:
  RealFileSystem() = default;
  RealFileSystem(const RealFileSystem&) = delete;
  RealFileSystem& operator=(const RealFileSystem&) = delete;
  ~RealFileSystem() override { ReleaseSpareFiles(); }

  Status ReadFile(const std::string& path, std::string* bytes) const override;
  Status ReadFileHead(const std::string& path, size_t max_bytes, std::string* bytes) const override;
  Status WriteFileAtomic(const std::string& path, const std::string& bytes) override;
  Status WriteFileAtomicFrom(const std::string& path, const ByteProducer& produce) override;
  Status OpenForReading(const std::string& path, int* fd) const override;
  Status StageFile(const std::string& path, const std::string& bytes, StagedFile* staged) override;
  Status CommitFiles(std::vector<StagedFile>* files) override;
  Status AppendToFile(const std::string& path, const std::string& bytes) override;
  bool IsFile(const std::string& path) const override;
  bool IsDir(const std::string& path) const override;
  bool Exists(const std::string& path) const override;
  Status CreateDir(const std::string& path) override;
  Status RemoveFile(const std::string& path) override;
  Status Rename(const std::string& from, const std::string& to) override;
  Status ListDir(const std::string& path, std::vector<DirEntry>* entries) const override;
  std::string ResolvePath(const std::string& path) const override;
  Status RealPath(const std::string& path, std::string* resolved) const override;
  Status ReadLink(const std::string& path, std::string* target) const override;
  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override;
  Status CreateNewFile(const std::string& path, const std::string& bytes, bool sync) override;
  Status ReadRegularFile(const std::string& path, std::string* bytes) const override;
  Status SyncDir(const std::string& path) override;
  Status AppendToFileDurably(const std::string& path, const std::string& bytes) override;
  Status AppendToRegularFile(const std::string& path, const std::string& bytes) override;
  Status RemoveDir(const std::string& path) override;
  void ReleaseSpareFiles() override;

 private:
  // A committed file that replaced another one swaps names with it
  // atomically, and the old file's inode, now under the temporary name,
  // takes the bytes of a later StageFile in the same folder: on ext4 a new
  // inode costs several times a rewrite of an old one (the allocator steps
  // over every recently freed inode). Only inodes whose swap is durable
  // (their folder was flushed) are reused. Folder -> temporary paths.
  std::map<std::string, std::vector<std::string>> spares_;
};

// Writes bytes to `path` durably: temporary name in the same folder, fsync,
// rename, fsync of the folder. Shared by RealFileSystem and the mail store.
Status WriteFileDurably(const std::string& path, const std::string& bytes);
// The same with the bytes made in pieces by `produce`.
Status WriteFileDurablyFrom(const std::string& path, const ByteProducer& produce);

// True when `name` is the name of a temporary file that a write beside
// another file left behind (".<name>.tmp-<suffix>").
bool IsTemporaryName(const std::string& name);

}  // namespace kelmora
