// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/file_system.h"

#include <dirent.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <random>

#include "textio/strings.h"

namespace kelmora {
namespace {

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  std::string message = what + " " + path + ": " + std::strerror(err);
  if (err == ENOENT || err == ENOTDIR) return Status::NotFound(std::move(message));
  return Status::IOError(std::move(message));
}

// An open with O_NOFOLLOW | O_NONBLOCK that failed: a link (ELOOP) or a
// named pipe without a reader (ENXIO) is what the caller refuses, not a
// failure of the disk.
Status NoFollowOpenStatus(const std::string& path, int err) {
  if (err == ELOOP || err == ENXIO) return Status::InvalidArgument("not a regular file: " + path);
  return ErrnoStatus("cannot open", path, err);
}

Status WriteAll(int fd, std::string_view bytes, const std::string& path) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("cannot write", path, errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return Status::OK();
}

std::string TempSuffix() {
  static thread_local std::mt19937_64 rng{std::random_device{}() ^
                                          static_cast<unsigned long>(::getpid())};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s;
  for (int i = 0; i < 10; ++i) s += kChars[rng() % (sizeof(kChars) - 1)];
  return s;
}

}  // namespace

namespace {

// Where a rewrite of `path` must land: the file itself, or, for a symbolic
// link, the file it points to (a chain of links is followed), so that the
// link stays a link and its target gets the new content.
std::string RewriteTarget(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return target;
    link.resize(static_cast<size_t>(n));
    target = !link.empty() && link[0] == '/' ? link : DirName(target) + "/" + link;
  }
  return target;
}

// True when the file's own permissions forbid writing it. Root passes
// every access check, but a file its owner made read-only is still meant
// to stay as it is.
bool WriteProtected(const std::string& path, const struct stat& st) {
  if (::geteuid() == 0) return (st.st_mode & 0222) == 0;
  return ::access(path.c_str(), W_OK) != 0;
}

void SyncFolder(const std::string& dir) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

class FdSink : public ByteSink {
 public:
  FdSink(int fd, const std::string& path) : fd_(fd), path_(path) {}
  Status Write(std::string_view bytes) override { return WriteAll(fd_, bytes, path_); }

 private:
  int fd_;
  const std::string& path_;
};

ByteProducer BytesOf(const std::string& bytes) {
  return [&bytes](ByteSink& sink) { return sink.Write(bytes); };
}

// Writes what `produce` makes into a new temporary file beside `path`,
// flushed to disk, with the given mode (not narrowed by the umask) and owner.
Status WriteTemporary(const std::string& path, const ByteProducer& produce, mode_t mode, const struct stat* owner,
                      std::string* tmp, bool flush = true) {
  const std::string dir = DirName(path);
  int fd = -1;
  for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
    *tmp = dir + "/." + BaseName(path) + ".tmp-" + TempSuffix();
    fd = ::open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return ErrnoStatus("cannot create", *tmp, errno);
  }
  if (fd < 0) return Status::IOError("cannot create a temporary file beside " + path);
  FdSink sink(fd, *tmp);
  Status s = produce(sink);
  // The owner first: changing it may clear set-id bits that the mode then
  // restores. A user who may not give the file away keeps it as their own.
  if (s.ok() && owner != nullptr) (void)!::fchown(fd, owner->st_uid, owner->st_gid);
  if (s.ok() && ::fchmod(fd, mode) != 0) s = ErrnoStatus("cannot set the mode of", *tmp, errno);
  if (s.ok() && flush && ::fsync(fd) != 0) s = ErrnoStatus("cannot flush", *tmp, errno);
  // Not flushed now: start the writeback, so that the flush at commit time
  // finds little left to wait for.
  if (s.ok() && !flush) (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("cannot close", *tmp, errno);
  if (!s.ok()) ::unlink(tmp->c_str());
  return s;
}

// A file with more than one name cannot be replaced by a rename without
// splitting its names apart, so it is rewritten in place. The complete new
// content is first flushed to a temporary file beside it, which stays there
// should the in-place write be cut short.
Status RewriteInPlace(const std::string& path, const std::string& bytes, const struct stat& st) {
  std::string tmp;
  Status s = WriteTemporary(path, BytesOf(bytes), st.st_mode & 07777, &st, &tmp);
  if (!s.ok()) return s;
  SyncFolder(DirName(path));
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ErrnoStatus("cannot open", path, errno);
  s = WriteAll(fd, bytes, path);
  if (s.ok() && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) s = ErrnoStatus("cannot cut", path, errno);
  if (s.ok() && ::fsync(fd) != 0) s = ErrnoStatus("cannot flush", path, errno);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("cannot close", path, errno);
  if (s.ok()) ::unlink(tmp.c_str());
  return s;
}

}  // namespace

Status WriteFileDurably(const std::string& given_path, const std::string& bytes) {
  return WriteFileDurablyFrom(given_path, BytesOf(bytes));
}

Status WriteFileDurablyFrom(const std::string& given_path, const ByteProducer& produce) {
  const std::string path = RewriteTarget(given_path);
  // New files hold mail, member lists or secrets: private to the user.
  // A file being replaced keeps its own mode and owner.
  mode_t mode = 0600;
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) return Status::InvalidArgument("not a regular file: " + path);
    if (WriteProtected(path, st)) return Status::Refused("the file is write-protected: " + path);
    if (st.st_nlink > 1) {
      // Rare enough (a data file with several names) to be written from
      // memory, which an in-place rewrite needs twice.
      std::string bytes;
      StringSink collect(&bytes);
      Status made = produce(collect);
      return made.ok() ? RewriteInPlace(path, bytes, st) : made;
    }
    mode = st.st_mode & 07777;
  }
  std::string tmp;
  Status s = WriteTemporary(path, produce, mode, exists ? &st : nullptr, &tmp);
  if (!s.ok()) return s;
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    s = ErrnoStatus("cannot rename onto", path, errno);
    ::unlink(tmp.c_str());
    return s;
  }
  SyncFolder(DirName(path));
  return Status::OK();
}

bool IsTemporaryName(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && name.find(".tmp-", 1) != std::string::npos;
}

Status FileSystem::StageFile(const std::string& path, const std::string& bytes, StagedFile* staged) {
  // The plain version for file systems without a cheaper way: a durable
  // write under the temporary name, put in place by a rename.
  staged->path = path;
  staged->committed = false;
  staged->temp_path = DirName(path) + "/." + BaseName(path) + ".tmp-" + TempSuffix();
  Status s = WriteFileAtomic(staged->temp_path, bytes);
  if (!s.ok()) staged->temp_path.clear();
  return s;
}

Status FileSystem::CommitFiles(std::vector<StagedFile>* files) {
  Status first = Status::OK();
  for (StagedFile& f : *files) {
    if (f.committed || f.temp_path.empty()) continue;
    Status s = Rename(f.temp_path, f.path);
    if (s.ok()) {
      f.committed = true;
      f.temp_path.clear();
    } else if (first.ok()) {
      first = s;
    }
  }
  DiscardStaged(files);
  return first;
}

Status FileSystem::WriteFileAtomicFrom(const std::string& path, const ByteProducer& produce) {
  std::string bytes;
  StringSink collect(&bytes);
  Status s = produce(collect);
  return s.ok() ? WriteFileAtomic(path, bytes) : s;
}

void FileSystem::DiscardStaged(std::vector<StagedFile>* files) {
  for (StagedFile& f : *files) {
    if (f.committed || f.temp_path.empty()) continue;
    // A temporary that cannot be removed is only a stray file: it never
    // takes the place of the real one, and there is no caller left to tell.
    (void)RemoveFile(f.temp_path);
    f.temp_path.clear();
  }
}

namespace {

constexpr size_t kMaxSpares = 64;

// Writes the staged bytes into a spare inode (see RealFileSystem::spares_).
// False when the spare cannot take them; it is then removed.
bool FillSpare(const std::string& spare, const std::string& bytes, mode_t mode, const struct stat* owner) {
  int fd = ::open(spare.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && WriteAll(fd, bytes, spare).ok();
  if (ok && owner != nullptr) (void)!::fchown(fd, owner->st_uid, owner->st_gid);
  ok = ok && ::fchmod(fd, mode) == 0;
  if (ok) (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  ok = ::close(fd) == 0 && ok;
  if (!ok) ::unlink(spare.c_str());
  return ok;
}

}  // namespace

Status RealFileSystem::StageFile(const std::string& path, const std::string& bytes, StagedFile* staged) {
  staged->path = path;
  staged->temp_path.clear();
  staged->committed = false;
  mode_t mode = 0600;
  struct stat st;
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists) {
    // What a rename would break goes the careful way at once.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || WriteProtected(path, st)) {
      Status s = WriteFileDurably(path, bytes);
      staged->committed = s.ok();
      return s;
    }
    mode = st.st_mode & 07777;
  }
  auto pool = spares_.find(DirName(path));
  while (pool != spares_.end() && !pool->second.empty()) {
    std::string spare = std::move(pool->second.back());
    pool->second.pop_back();
    if (FillSpare(spare, bytes, mode, exists ? &st : nullptr)) {
      staged->temp_path = std::move(spare);
      return Status::OK();
    }
  }
  return WriteTemporary(path, BytesOf(bytes), mode, exists ? &st : nullptr, &staged->temp_path, /*flush=*/false);
}

Status RealFileSystem::CommitFiles(std::vector<StagedFile>* files) {
  Status first = Status::OK();
  auto fail = [&](Status s) {
    if (first.ok()) first = std::move(s);
  };
  std::vector<std::string> folders;
  std::vector<std::string> freed;  // temporary names that now hold a replaced file
  for (StagedFile& f : *files) {
    if (f.committed || f.temp_path.empty()) continue;
    int fd = ::open(f.temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fail(ErrnoStatus("cannot open", f.temp_path, errno));
      continue;
    }
    const bool flushed = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!flushed) {
      fail(ErrnoStatus("cannot flush", f.temp_path, err));
      continue;
    }
    // A file being replaced trades names with its new version in one step;
    // the old one stays as a spare under the temporary name.
    struct stat st;
    bool swapped = false;
    if (::lstat(f.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
      swapped = ::renameat2(AT_FDCWD, f.temp_path.c_str(), AT_FDCWD, f.path.c_str(), RENAME_EXCHANGE) == 0;
    }
    if (!swapped && ::rename(f.temp_path.c_str(), f.path.c_str()) != 0) {
      fail(ErrnoStatus("cannot rename onto", f.path, errno));
      continue;
    }
    if (swapped) freed.push_back(f.temp_path);
    f.temp_path.clear();
    f.committed = true;
    const std::string dir = DirName(f.path);
    if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
  }
  // One flush per folder makes every rename in it durable; only then may a
  // replaced file's inode take new bytes.
  for (const std::string& dir : folders) SyncFolder(dir);
  for (std::string& path : freed) {
    std::vector<std::string>& pool = spares_[DirName(path)];
    if (pool.size() < kMaxSpares) {
      pool.push_back(std::move(path));
    } else {
      ::unlink(path.c_str());
    }
  }
  DiscardStaged(files);
  return first;
}

void RealFileSystem::ReleaseSpareFiles() {
  for (auto& [dir, pool] : spares_) {
    for (const std::string& path : pool) ::unlink(path.c_str());
  }
  spares_.clear();
}

Status RealFileSystem::ReadFile(const std::string& path, std::string* bytes) const {
  return ReadFileHead(path, static_cast<size_t>(-1), bytes);
}

Status RealFileSystem::ReadFileHead(const std::string& path, size_t max_bytes, std::string* bytes) const {
  bytes->clear();
  // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a
  // writer and hang the program; it does not change reads of regular files.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ErrnoStatus("cannot open", path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::Error("not a regular file: " + path);
  }
  // Straight into the caller's buffer; a file that grew since fstat is
  // read on to its end in steps.
  size_t have = 0;
  bytes->resize(std::min(max_bytes, static_cast<size_t>(st.st_size)));
  char step[4096];
  while (have < max_bytes) {
    const bool inside = have < bytes->size();
    char* into = inside ? bytes->data() + have : step;
    const size_t room = inside ? bytes->size() - have : std::min(sizeof step, max_bytes - have);
    ssize_t n = ::read(fd, into, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      bytes->clear();
      return ErrnoStatus("cannot read", path, err);
    }
    if (n == 0) break;
    if (!inside) bytes->append(step, static_cast<size_t>(n));
    have += static_cast<size_t>(n);
  }
  bytes->resize(have);
  ::close(fd);
  return Status::OK();
}

Status RealFileSystem::WriteFileAtomic(const std::string& path, const std::string& bytes) {
  return WriteFileDurably(path, bytes);
}

Status RealFileSystem::WriteFileAtomicFrom(const std::string& path, const ByteProducer& produce) {
  return WriteFileDurablyFrom(path, produce);
}

Status RealFileSystem::OpenForReading(const std::string& path, int* fd) const {
  *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (*fd < 0) return ErrnoStatus("cannot open", path, errno);
  struct stat st;
  if (::fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(*fd);
    *fd = -1;
    return Status::Error("not a regular file: " + path);
  }
  return Status::OK();
}

Status RealFileSystem::AppendToFile(const std::string& path, const std::string& bytes) {
  // O_NONBLOCK: a named pipe in the file's place must not hang the program;
  // only regular files are appended to.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return ErrnoStatus("cannot open", path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::InvalidArgument("not a regular file: " + path);
  }
  Status s = WriteAll(fd, bytes, path);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("cannot close", path, errno);
  return s;
}

bool RealFileSystem::IsFile(const std::string& path) const {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RealFileSystem::IsDir(const std::string& path) const {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RealFileSystem::Exists(const std::string& path) const {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Status RealFileSystem::CreateDir(const std::string& path) {
  // New folders hold logs and received mail: private to the user.
  if (::mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && IsDir(path))) return Status::OK();
  return ErrnoStatus("cannot create folder", path, errno);
}

Status RealFileSystem::RemoveFile(const std::string& path) {
  // On POSIX the file's own write bit does not protect it from removal, so a
  // read-only file goes like any other.
  if (::unlink(path.c_str()) != 0) return ErrnoStatus("cannot delete", path, errno);
  return Status::OK();
}

Status RealFileSystem::Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return ErrnoStatus("cannot rename", from, errno);
  return Status::OK();
}

Status RealFileSystem::ListDir(const std::string& path, std::vector<DirEntry>* entries) const {
  entries->clear();
  DIR* d = ::opendir(path.c_str());
  if (!d) return ErrnoStatus("cannot list", path, errno);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    DirEntry entry;
    entry.name = name;
    struct stat st;
    const std::string full = path + "/" + name;
    // Whether the entry itself is a link; what it is otherwise is what it
    // leads to, as callers that open it by name would find.
    entry.is_symlink = e->d_type == DT_UNKNOWN ? ::lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                                               : e->d_type == DT_LNK;
    if (::stat(full.c_str(), &st) == 0) {
      entry.is_dir = S_ISDIR(st.st_mode);
      entry.is_file = S_ISREG(st.st_mode);
      entry.size = entry.is_file ? static_cast<std::uint64_t>(st.st_size) : 0;
      entry.mtime_micros = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    }
    entries->push_back(std::move(entry));
  }
  ::closedir(d);
  return Status::OK();
}

std::string RealFileSystem::ResolvePath(const std::string& path) const {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return "";
  std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
  if (ec) return "";
  return resolved.lexically_normal().string();
}

Status RealFileSystem::RealPath(const std::string& path, std::string* resolved) const {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return ErrnoStatus("cannot resolve", path, errno);
  *resolved = buffer;
  return Status::OK();
}

Status RealFileSystem::ReadLink(const std::string& path, std::string* target) const {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (n < 0) return ErrnoStatus("cannot read the link", path, errno);
  if (static_cast<size_t>(n) >= sizeof buffer) return Status::IOError("link too long: " + path);
  target->assign(buffer, static_cast<size_t>(n));
  return Status::OK();
}

Status RealFileSystem::CreateNewFile(const std::string& path, const std::string& bytes, bool sync) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return ErrnoStatus("cannot create", path, errno);
  Status s = WriteAll(fd, bytes, path);
  if (s.ok() && sync && ::fsync(fd) != 0) s = ErrnoStatus("cannot flush", path, errno);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("cannot close", path, errno);
  if (!s.ok()) ::unlink(path.c_str());
  return s;
}

Status RealFileSystem::SyncDir(const std::string& path) {
  int dfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return ErrnoStatus("cannot open folder", path, errno);
  Status s;
  if (::fsync(dfd) != 0) s = ErrnoStatus("cannot flush folder", path, errno);
  ::close(dfd);
  return s;
}

Status RealFileSystem::ReadRegularFile(const std::string& path, std::string* bytes) const {
  bytes->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return NoFollowOpenStatus(path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::InvalidArgument("not a regular file: " + path);
  }
  std::string out(static_cast<size_t>(st.st_size), '\0');
  size_t have = 0;
  char step[4096];
  while (true) {
    const bool inside = have < out.size();
    ssize_t n = ::read(fd, inside ? out.data() + have : step, inside ? out.size() - have : sizeof step);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return ErrnoStatus("cannot read", path, err);
    }
    if (n == 0) break;
    if (!inside) out.append(step, static_cast<size_t>(n));
    have += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(have);
  *bytes = std::move(out);
  return Status::OK();
}

namespace {

// The mail store's journal: a link or a named pipe put in its place must
// neither redirect the records nor hang the program.
Status AppendToRegular(const std::string& path, const std::string& bytes, bool flush) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return NoFollowOpenStatus(path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::InvalidArgument("not a regular file: " + path);
  }
  Status s = WriteAll(fd, bytes, path);
  if (s.ok() && flush && ::fdatasync(fd) != 0) s = ErrnoStatus("cannot flush", path, errno);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("cannot close", path, errno);
  return s;
}

}  // namespace

Status RealFileSystem::AppendToFileDurably(const std::string& path, const std::string& bytes) {
  return AppendToRegular(path, bytes, true);
}

Status RealFileSystem::AppendToRegularFile(const std::string& path, const std::string& bytes) {
  return AppendToRegular(path, bytes, false);
}

Status RealFileSystem::RemoveDir(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return ErrnoStatus("cannot remove folder", path, errno);
  return Status::OK();
}

namespace {

class FlockLock : public FileLock {
 public:
  explicit FlockLock(int fd) : fd_(fd) {}
  ~FlockLock() override { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

Status RealFileSystem::LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) {
  // A holder may remove the lock file before it lets go (a start-up that
  // failed leaves the folder as it found it). A copy that opened the old
  // file just before would then hold a lock nobody else can see, so a lock
  // only counts when the path still names the file that was locked.
  for (int attempt = 0; attempt < 20; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A folder the user may only read can still be locked through an
    // existing lock file opened for reading.
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus("cannot open", path, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return Status::Refused("locked by another process: " + path);
      return ErrnoStatus("cannot lock", path, err);
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      *lock = std::make_unique<FlockLock>(fd);
      return Status::OK();
    }
    ::close(fd);
  }
  return Status::IOError("cannot lock " + path + ": the lock file keeps being replaced");
}

}  // namespace kelmora
