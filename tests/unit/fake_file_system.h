// SPDX-License-Identifier: GPL-3.0-or-later
// FakeFileSystem: an in-memory FileSystem for unit tests, with fault
// injection.
//
// Model
// - Paths are plain strings compared exactly; "/" separates folders. The
//   parent of "a/b/c" is "a/b"; a path without "/" lives in the root "".
//   "" and "/" are folders that always exist. No "." or ".." resolution.
// - Like the real disk, creating a file (WriteFileAtomic, AppendToFile) or a
//   folder (CreateDir) fails when the parent folder is missing, and a folder
//   cannot be read, written or appended to. AddFile/AddDir, the setup
//   helpers, create missing parents on their own (like "mkdir -p").
// - Odd entries: AddSymlink makes a symbolic link (ListDir reports it with
//   is_symlink, ReadFile and AppendToFile follow it, ReadRegularFile and
//   the two appends of store files refuse it); AddFifo makes a named pipe, which every
//   read and append refuses (the real disk's non-blocking opens do not
//   wait on it). Both go with RemoveFile and are replaced by a Rename
//   onto their name.
// - Each file carries a modification counter (Version) that every change
//   raises, so a test can prove that a file was only read.
//
// Faults
// - InjectFault(ops, path_part, skip, times) makes the next operations of the
//   kinds in `ops` fail on every path that contains `path_part` ("" = every
//   path): the first `skip` matching calls still succeed, then `times` calls
//   fail (kForever = all of them). A failed call changes nothing, as the
//   atomic rewrite of the real disk promises; a failed append writes nothing.
// - set_fail_reads / set_fail_writes / set_fail_appends are the common
//   shortcuts: every read (ReadFile, ReadFileHead), every WriteFileAtomic or
//   every AppendToFile fails until switched off.
// - ClearFaults() removes every injected fault.
// - IsFile, IsDir and Exists are never counted and never fail.
//
// Counters: calls(op) counts the calls of one kind, failed ones included, so
// a test can check that nothing was written (calls(kWrite) == 0).
//
// Single-threaded, like the program.
//
// Example:
//   FakeFileSystem fs;
//   fs.AddFile("/prog/Kelmora.ini", "u,,20,0,0,0,0,0,9,10\r\n0\r\n");
//   fs.InjectFault(FakeFileSystem::kWrite, "Kelmora.ini");  // every rewrite fails
//   ... run the code under test with fs ...
//   EXPECT_EQ(fs.Bytes("/prog/Kelmora.ini"), "u,,20,0,0,0,0,0,9,10\r\n0\r\n");
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "textio/file_system.h"

namespace kelmora {

class FakeFileSystem : public FileSystem {
 public:
  enum Op : unsigned {
    kRead = 1u << 0,       // ReadFile, ReadFileHead
    kWrite = 1u << 1,      // WriteFileAtomic
    kAppend = 1u << 2,     // AppendToFile
    kCreateDir = 1u << 3,  // CreateDir
    kRemove = 1u << 4,     // RemoveFile
    kRename = 1u << 5,     // Rename
    kList = 1u << 6,       // ListDir
    kCreateNew = 1u << 7,  // CreateNewFile
    kSyncDir = 1u << 8,    // SyncDir
    kAppendDurably = 1u << 9,  // AppendToFileDurably, AppendToRegularFile
    kRemoveDir = 1u << 10,     // RemoveDir
    kResolve = 1u << 11,       // RealPath, ReadLink
    kAllOps = 0xFFFu,
  };
  static constexpr int kForever = -1;

  // ---- setup and inspection ------------------------------------------------

  // Creates or replaces a file, creating its parent folders.
  void AddFile(const std::string& path, const std::string& bytes) {
    MakeParents(path);
    File& f = files_[path];
    f.bytes = bytes;
    ++f.version;
    f.mtime = ++tick_;
  }
  // Sets a file's modification time (ListDir reports it); every change of
  // a file otherwise stamps it with a counter that only grows.
  void SetMTime(const std::string& path, std::int64_t micros) { files_[path].mtime = micros; }
  std::int64_t MTime(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? 0 : it->second.mtime;
  }
  // Creates a folder and its parents.
  void AddDir(const std::string& path) {
    MakeParents(path);
    if (!IsRoot(path)) dirs_.insert(path);
  }
  void AddSymlink(const std::string& path, const std::string& target) {
    MakeParents(path);
    links_[path] = target;
  }
  void AddFifo(const std::string& path) {
    MakeParents(path);
    fifos_.insert(path);
  }
  bool IsOdd(const std::string& path) const { return links_.count(path) != 0 || fifos_.count(path) != 0; }
  // Removes a file or a whole folder tree without going through faults.
  void Erase(const std::string& path) {
    links_.erase(path);
    fifos_.erase(path);
    files_.erase(path);
    dirs_.erase(path);
    const std::string prefix = path + "/";
    for (auto it = files_.begin(); it != files_.end();) it = StartsWithPath(it->first, prefix) ? files_.erase(it) : ++it;
    for (auto it = dirs_.begin(); it != dirs_.end();) it = StartsWithPath(*it, prefix) ? dirs_.erase(it) : ++it;
  }

  bool HasFile(const std::string& path) const { return files_.count(path) != 0; }
  // The bytes of a file; "" when it is missing.
  std::string Bytes(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? std::string() : it->second.bytes;
  }
  // Raised by every change of the file; 0 when the file is missing.
  int Version(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? 0 : it->second.version;
  }
  // Every file path, sorted.
  std::vector<std::string> FilePaths() const {
    std::vector<std::string> out;
    for (const auto& [p, f] : files_) out.push_back(p);
    return out;
  }

  // ---- faults and counters -------------------------------------------------

  void InjectFault(unsigned ops, std::string path_part = "", int skip = 0, int times = kForever) {
    faults_.push_back(Fault{ops, std::move(path_part), skip, times});
  }
  void ClearFaults() { faults_.clear(); }
  void set_fail_reads(bool on) { SetBlanket(kRead, on); }
  void set_fail_writes(bool on) { SetBlanket(kWrite, on); }
  void set_fail_appends(bool on) { SetBlanket(kAppend, on); }

  int calls(Op op) const {
    auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
  }

  // ---- FileSystem ------------------------------------------------------------

  Status ReadFile(const std::string& path, std::string* bytes) const override {
    return ReadFileHead(path, static_cast<size_t>(-1), bytes);
  }
  Status ReadFileHead(const std::string& path, size_t max_bytes, std::string* bytes) const override {
    bytes->clear();
    if (Fails(kRead, path)) return Injected("read", path);
    if (fifos_.count(path)) return Status::InvalidArgument("not a regular file: " + path);
    auto it = files_.find(Follow(path));
    if (it == files_.end()) return Status::NotFound("cannot open " + path + ": no such file");
    *bytes = it->second.bytes.substr(0, std::min(max_bytes, it->second.bytes.size()));
    return Status::OK();
  }

  Status WriteFileAtomic(const std::string& path, const std::string& bytes) override {
    if (Fails(kWrite, path)) return Injected("write", path);
    if (IsDir(path)) return Status::Error("not a regular file: " + path);
    if (!IsDir(Parent(path))) return Status::Error("cannot create " + path + ": no such folder");
    File& f = files_[path];
    f.bytes = bytes;
    ++f.version;
    f.mtime = ++tick_;
    return Status::OK();
  }

  Status AppendToFile(const std::string& path, const std::string& bytes) override {
    return Append(kAppend, path, bytes);
  }

  // Like the real disk: refused when the name is taken; `sync` makes no
  // difference in memory.
  Status CreateNewFile(const std::string& path, const std::string& bytes, bool sync) override {
    if (Fails(kCreateNew, path)) return Injected("create", path);
    if (Exists(path)) return Status::Error("cannot create " + path + ": file exists");
    if (!IsDir(Parent(path))) return Status::Error("cannot create " + path + ": no such folder");
    File& f = files_[path];
    f.bytes = bytes;
    ++f.version;
    f.mtime = ++tick_;
    return Status::OK();
  }
  Status ReadRegularFile(const std::string& path, std::string* bytes) const override {
    if (IsOdd(path)) {
      bytes->clear();
      ++calls_[kRead];
      return Status::InvalidArgument("not a regular file: " + path);
    }
    return ReadFile(path, bytes);
  }
  Status SyncDir(const std::string& path) override {
    if (Fails(kSyncDir, path)) return Injected("flush folder", path);
    if (!IsDir(path)) return Status::Error("cannot open folder " + path + ": no such folder");
    return Status::OK();
  }
  Status AppendToFileDurably(const std::string& path, const std::string& bytes) override {
    if (links_.count(path)) return Status::InvalidArgument("not a regular file: " + path);
    return Append(kAppendDurably, path, bytes);
  }
  Status AppendToRegularFile(const std::string& path, const std::string& bytes) override {
    return AppendToFileDurably(path, bytes);
  }
  Status RemoveDir(const std::string& path) override {
    if (Fails(kRemoveDir, path)) return Injected("remove folder", path);
    if (dirs_.count(path) == 0) return Status::Error("cannot remove folder " + path + ": no such folder");
    const std::string prefix = path + "/";
    for (const auto& [p, f] : files_)
      if (StartsWithPath(p, prefix)) return Status::Error("cannot remove folder " + path + ": not empty");
    for (const std::string& d : dirs_)
      if (StartsWithPath(d, prefix)) return Status::Error("cannot remove folder " + path + ": not empty");
    dirs_.erase(path);
    return Status::OK();
  }

  bool IsFile(const std::string& path) const override { return files_.count(Follow(path)) != 0; }
  bool IsDir(const std::string& path) const override { return IsRoot(path) || dirs_.count(path) != 0; }
  bool Exists(const std::string& path) const override { return IsFile(path) || IsDir(path) || IsOdd(path); }

  Status CreateDir(const std::string& path) override {
    if (Fails(kCreateDir, path)) return Injected("create folder", path);
    if (IsDir(path)) return Status::OK();
    if (IsFile(path)) return Status::Error("cannot create folder " + path + ": a file of that name exists");
    if (!IsDir(Parent(path))) return Status::Error("cannot create folder " + path + ": no such folder");
    dirs_.insert(path);
    return Status::OK();
  }

  Status RemoveFile(const std::string& path) override {
    if (Fails(kRemove, path)) return Injected("delete", path);
    if (links_.erase(path) + fifos_.erase(path) > 0) return Status::OK();
    if (files_.erase(path) == 0) return Status::Error("cannot delete " + path + ": no such file");
    return Status::OK();
  }

  // Renames a file (replacing a file at `to`) or a folder with its contents.
  Status Rename(const std::string& from, const std::string& to) override {
    if (Fails(kRename, from)) return Injected("rename", from);
    if (!IsDir(Parent(to))) return Status::Error("cannot rename " + from + ": no such folder");
    if (links_.count(from)) {
      const std::string target = links_[from];
      links_.erase(from);
      fifos_.erase(to);
      files_.erase(to);
      links_[to] = target;
      return Status::OK();
    }
    if (auto it = files_.find(from); it != files_.end()) {
      if (IsDir(to)) return Status::Error("cannot rename " + from + ": target is a folder");
      links_.erase(to);
      fifos_.erase(to);
      File f = it->second;
      files_.erase(it);
      ++f.version;
      files_[to] = f;
      return Status::OK();
    }
    if (dirs_.count(from) == 0) return Status::Error("cannot rename " + from + ": no such file");
    if (Exists(to)) return Status::Error("cannot rename " + from + ": target exists");
    const std::string prefix = from + "/";
    std::map<std::string, File> moved_files;
    for (auto it = files_.begin(); it != files_.end();) {
      if (StartsWithPath(it->first, prefix)) {
        moved_files[to + it->first.substr(from.size())] = it->second;
        it = files_.erase(it);
      } else {
        ++it;
      }
    }
    std::set<std::string> moved_dirs{to};
    for (auto it = dirs_.begin(); it != dirs_.end();) {
      if (*it == from || StartsWithPath(*it, prefix)) {
        if (*it != from) moved_dirs.insert(to + it->substr(from.size()));
        it = dirs_.erase(it);
      } else {
        ++it;
      }
    }
    files_.insert(moved_files.begin(), moved_files.end());
    dirs_.insert(moved_dirs.begin(), moved_dirs.end());
    return Status::OK();
  }

  // The direct children of a folder, sorted by name.
  Status ListDir(const std::string& path, std::vector<DirEntry>* entries) const override {
    entries->clear();
    if (Fails(kList, path)) return Injected("list", path);
    if (!IsDir(path)) return Status::Error("cannot list " + path + ": no such folder");
    for (const auto& [p, f] : files_) {
      if (Parent(p) == Normal(path)) entries->push_back(DirEntry{BaseName(p), false, true, false, f.bytes.size(), f.mtime});
    }
    for (const std::string& d : dirs_) {
      if (Parent(d) == Normal(path)) entries->push_back(DirEntry{BaseName(d), true, false, false, 0, 0});
    }
    for (const auto& [p, target] : links_) {
      if (Parent(p) == Normal(path)) entries->push_back(DirEntry{BaseName(p), IsDir(target), IsFile(target), true, 0, 0});
    }
    for (const std::string& p : fifos_) {
      if (Parent(p) == Normal(path)) entries->push_back(DirEntry{BaseName(p), false, false, false, 0, 0});
    }
    std::sort(entries->begin(), entries->end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return Status::OK();
  }

  // Lexical only: the fake has no symbolic links. "." and ".." are
  // resolved; a relative path cannot be made absolute and gives "".
  std::string ResolvePath(const std::string& path) const override {
    if (path.empty() || path[0] != '/') return "";
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string part = path.substr(start, end - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
  }

  // Lexical like ResolvePath, each link on the way followed (one step, to
  // an absolute target), and not found unless the whole path exists.
  Status RealPath(const std::string& path, std::string* resolved) const override {
    if (Fails(kResolve, path)) return Injected("resolve", path);
    const Status missing = Status::NotFound("cannot resolve " + path + ": No such file or directory");
    const std::string lexical = ResolvePath(path);
    if (lexical.empty()) return missing;
    std::string out;
    for (size_t start = 1; start < lexical.size();) {
      size_t end = lexical.find('/', start);
      if (end == std::string::npos) end = lexical.size();
      out = ResolvePath(Follow(out + "/" + lexical.substr(start, end - start)));
      if (out.empty() || !Exists(out)) return missing;
      start = end + 1;
    }
    *resolved = out.empty() ? "/" : out;
    return Status::OK();
  }
  Status ReadLink(const std::string& path, std::string* target) const override {
    if (Fails(kResolve, path)) return Injected("read the link", path);
    auto it = links_.find(path);
    if (it == links_.end()) {
      return Exists(path) ? Status::InvalidArgument("cannot read the link " + path + ": Invalid argument")
                          : Status::NotFound("cannot read the link " + path + ": No such file or directory");
    }
    *target = it->second;
    return Status::OK();
  }

  // Locks are tracked per path; a second LockFile on a held path is refused
  // until the first handle is gone, as another process would find it.
  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    if (held_->count(path)) return Status::Refused("locked by another process: " + path);
    if (!HasFile(path)) {
      Status s = WriteFileAtomic(path, "");
      if (!s.ok()) return s;
    }
    held_->insert(path);
    *lock = std::make_unique<HeldLock>(held_, path);
    return Status::OK();
  }
  bool IsLocked(const std::string& path) const { return held_->count(path) != 0; }

 private:
  class HeldLock : public FileLock {
   public:
    HeldLock(std::shared_ptr<std::set<std::string>> held, std::string path)
        : held_(std::move(held)), path_(std::move(path)) {}
    ~HeldLock() override { held_->erase(path_); }

   private:
    std::shared_ptr<std::set<std::string>> held_;
    std::string path_;
  };

  struct File {
    std::string bytes;
    int version = 0;
    std::int64_t mtime = 0;  // a rename keeps it, as on disk
  };
  struct Fault {
    unsigned ops;
    std::string path_part;
    int skip;
    int times;  // kForever or the failures still to come
  };

  // A link leads to its target (one step is all the tests need).
  std::string Follow(const std::string& path) const {
    auto it = links_.find(path);
    return it == links_.end() ? path : it->second;
  }

  // Both appends: in memory a flush makes no difference.
  Status Append(Op op, const std::string& path_in, const std::string& bytes) {
    if (Fails(op, path_in)) return Injected("append to", path_in);
    if (fifos_.count(path_in)) return Status::InvalidArgument("not a regular file: " + path_in);
    const std::string path = Follow(path_in);
    if (IsDir(path)) return Status::Error("cannot open " + path + ": is a folder");
    if (!IsDir(Parent(path))) return Status::Error("cannot open " + path + ": no such folder");
    File& f = files_[path];
    f.bytes += bytes;
    ++f.version;
    f.mtime = ++tick_;
    return Status::OK();
  }

  static bool IsRoot(const std::string& path) { return path.empty() || path == "/"; }
  // The root is "" whichever way it is spelled.
  static std::string Normal(const std::string& path) { return IsRoot(path) ? std::string() : path; }
  static std::string Parent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
  }
  static std::string BaseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  static bool StartsWithPath(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
  }
  static Status Injected(const std::string& what, const std::string& path) {
    return Status::Error("cannot " + what + " " + path + ": injected fault");
  }

  void MakeParents(const std::string& path) {
    for (std::string p = Parent(path); !IsRoot(p); p = Parent(p)) dirs_.insert(p);
  }

  void SetBlanket(unsigned op, bool on) {
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                                 [op](const Fault& f) { return f.ops == op && f.path_part.empty(); }),
                  faults_.end());
    if (on) InjectFault(op);
  }

  // Counts the call and tells whether an injected fault hits it. Logically
  // const: reads are const in the interface but still count and may fail.
  bool Fails(Op op, const std::string& path) const {
    ++calls_[op];
    bool fail = false;
    for (Fault& f : faults_) {
      if (!(f.ops & op) || path.find(f.path_part) == std::string::npos) continue;
      if (f.skip > 0) {
        --f.skip;
        continue;
      }
      if (f.times == 0) continue;
      if (f.times > 0) --f.times;
      fail = true;
    }
    return fail;
  }

  std::map<std::string, File> files_;
  std::set<std::string> dirs_;
  std::map<std::string, std::string> links_;  // link -> target
  std::set<std::string> fifos_;
  std::int64_t tick_ = 0;
  std::shared_ptr<std::set<std::string>> held_ = std::make_shared<std::set<std::string>>();
  mutable std::vector<Fault> faults_;
  mutable std::map<unsigned, int> calls_;
};

}  // namespace kelmora
