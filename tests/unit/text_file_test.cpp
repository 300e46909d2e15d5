// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/fake_file_system.h"
#include "textio/text_file.h"
#include "tests/unit/temp_folder.h"

namespace kelmora {
namespace {

// A text-file result in a word: written or read, the file absent, or any
// other failure.
std::string Result(const Status& s) {
  if (s.ok()) return "ok";
  return s.IsNotFound() ? "absent" : "failed";
}

using Lines = std::vector<std::string>;
const std::string kBom = "\xEF\xBB\xBF";

void PutBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string GetBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class TextFileTest : public ::testing::Test {
 protected:
  FakeFileSystem fs_;
  const std::string path_ = "/prog/list.txt";
};

// ---- reading -----------------------------------------------------------------

TEST_F(TextFileTest, ReadLinesResults) {
  Lines lines{"stale"};
  EXPECT_EQ(Result(ReadLines(fs_, path_, &lines)), "absent");
  EXPECT_EQ(lines, Lines{""});

  fs_.AddDir("/prog/folder.txt");
  EXPECT_EQ(Result(ReadLines(fs_, "/prog/folder.txt", &lines)), "absent") << "a folder is not a file";
  EXPECT_EQ(lines, Lines{""});

  fs_.AddFile(path_, "a\r\n");
  EXPECT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, Lines{"a"});

  fs_.set_fail_reads(true);
  lines = {"stale", "x"};
  EXPECT_EQ(Result(ReadLines(fs_, path_, &lines)), "failed");
  EXPECT_EQ(lines, Lines{""});
}

TEST_F(TextFileTest, ReadLinesTrimsAndSkipsCommentsAndBlankLines) {
  fs_.AddFile(path_,
              "  first  \r\n"
              "\r\n"
              "\t; a comment after blanks\r\n"
              ";comment\r\n"
              "   \t \r\n"
              "a;b\r\n"
              "\t\x89\xEF\x88\xF5 \r\n");  // 会員
  Lines lines;
  ASSERT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, (Lines{"first", "a;b", "会員"}));
}

TEST_F(TextFileTest, FilesWithoutSignificantLinesGiveOneEmptyElement) {
  for (const std::string& content : {std::string(), std::string("\r\n\r\n"), std::string("; only\r\n  ;x\r\n"),
                                     std::string("  \t  ")}) {
    fs_.AddFile(path_, content);
    Lines lines{"stale"};
    EXPECT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok") << content;
    EXPECT_EQ(lines, Lines{""}) << content;
  }
}

TEST_F(TextFileTest, LineBreakVariants) {
  Lines lines;
  fs_.AddFile(path_, "a\nb\n");
  ASSERT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, (Lines{"a", "b"}));

  fs_.AddFile(path_, "a\r\nb");  // no final line break
  ASSERT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, (Lines{"a", "b"}));

  fs_.AddFile(path_, "a\nb\r\nc");
  ASSERT_TRUE(ReadRawLines(fs_, path_, &lines).ok());
  EXPECT_EQ(lines, (Lines{"a", "b", "c"}));

  fs_.AddFile(path_, " x \r\n\r\n");  // raw lines keep blanks and empty lines
  ASSERT_TRUE(ReadRawLines(fs_, path_, &lines).ok());
  EXPECT_EQ(lines, (Lines{" x ", ""}));
}

TEST_F(TextFileTest, VeryLongLinesAndGarbageAreRead) {
  std::string long_line;
  for (int i = 0; i < 50000; ++i) long_line += "\x82\xA0";  // あ
  fs_.AddFile(path_, "x\r\n" + long_line + "\r\n" + std::string(100000, 'z'));
  Lines lines;
  ASSERT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].size(), 150000u);  // 50,000 characters of three UTF-8 bytes
  EXPECT_EQ(lines[1].substr(0, 6), "ああ");
  EXPECT_EQ(lines[2], std::string(100000, 'z'));

  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 37) % 256);
  fs_.AddFile(path_, garbage + "\x81");
  EXPECT_EQ(Result(ReadLines(fs_, path_, &lines)), "ok");
  EXPECT_FALSE(lines.empty());
}

TEST_F(TextFileTest, ReadLinesFromOneShapes) {
  Lines lines{"stale"};
  EXPECT_EQ(Result(ReadLinesFromOne(fs_, path_, &lines)), "absent");
  EXPECT_EQ(lines, Lines{""});

  fs_.AddFile(path_, "; nothing\r\n");
  EXPECT_EQ(Result(ReadLinesFromOne(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, Lines{""}) << "no lines: upper bound 0";

  fs_.AddFile(path_, " a \r\n;c\r\nb\r\n");
  EXPECT_EQ(Result(ReadLinesFromOne(fs_, path_, &lines)), "ok");
  EXPECT_EQ(lines, (Lines{"", "a", "b"}));

  fs_.set_fail_reads(true);
  EXPECT_EQ(Result(ReadLinesFromOne(fs_, path_, &lines)), "failed");
  EXPECT_EQ(lines, Lines{""});
}

TEST_F(TextFileTest, WholeFileAndFindFile) {
  EXPECT_EQ(ReadWholeFile(fs_, path_), "");
  EXPECT_EQ(FindFile(fs_, path_), "");
  fs_.AddFile(path_, "\x89\xEF\r\nb\n");
  EXPECT_EQ(ReadWholeFile(fs_, path_), "会\r\nb\n");
  EXPECT_EQ(FindFile(fs_, path_), "list.txt");
  EXPECT_EQ(FindFile(fs_, "/prog"), "") << "a folder does not count";
  EXPECT_EQ(FindFile(fs_, ""), "");
  fs_.AddFile(path_, kBom + "会\r\n");
  EXPECT_EQ(ReadWholeFile(fs_, path_), "会\r\n");
  fs_.set_fail_reads(true);
  EXPECT_EQ(ReadWholeFile(fs_, path_), "");
}

// ---- writing -----------------------------------------------------------------

TEST_F(TextFileTest, WriteLinesReplacesAnExistingFileOnly) {
  fs_.AddDir("/prog");
  EXPECT_EQ(Result(WriteLines(fs_, path_, {"a"})), "absent");
  EXPECT_FALSE(fs_.HasFile(path_)) << "nothing is created";
  EXPECT_EQ(fs_.calls(FakeFileSystem::kWrite), 0);

  fs_.AddFile(path_, "old\r\n");
  EXPECT_EQ(Result(WriteLines(fs_, path_, {"会員", "", " b "})), "ok");
  EXPECT_EQ(fs_.Bytes(path_), "\x89\xEF\x88\xF5\r\n\r\n b \r\n");

  EXPECT_EQ(Result(WriteLines(fs_, path_, {})), "ok");
  EXPECT_EQ(fs_.Bytes(path_), "");
}

TEST_F(TextFileTest, WriteLinesFailureKeepsOldContent) {
  fs_.AddFile(path_, "old\r\n");
  fs_.set_fail_writes(true);
  EXPECT_EQ(Result(WriteLines(fs_, path_, {"new"})), "failed");
  EXPECT_EQ(fs_.Bytes(path_), "old\r\n");
  EXPECT_FALSE(WriteTextFile(fs_, path_, "new").ok());
  EXPECT_EQ(fs_.Bytes(path_), "old\r\n");
}

TEST_F(TextFileTest, WritersKeepAUtf8File) {
  fs_.AddFile(path_, kBom + "old\r\n");
  EXPECT_EQ(Result(WriteLines(fs_, path_, {"①", "x"})), "ok");
  EXPECT_EQ(fs_.Bytes(path_), kBom + "①\r\nx\r\n");
  EXPECT_EQ(Result(WriteTextFile(fs_, path_, "～")), "ok");
  EXPECT_EQ(fs_.Bytes(path_), kBom + "～\r\n");
}

TEST_F(TextFileTest, WriteTextFileCreatesOrReplaces) {
  fs_.AddDir("/prog");
  EXPECT_EQ(Result(WriteTextFile(fs_, path_, "a\r\nあ")), "ok");
  EXPECT_EQ(fs_.Bytes(path_), "a\r\n\x82\xA0\r\n");
  EXPECT_EQ(Result(WriteTextFile(fs_, path_, "")), "ok");
  EXPECT_EQ(fs_.Bytes(path_), "\r\n");
  EXPECT_FALSE(WriteTextFile(fs_, "/missing/x.txt", "a").ok()) << "folder missing";
  EXPECT_FALSE(WriteTextFile(fs_, "/prog", "a").ok()) << "a folder";
}

TEST_F(TextFileTest, AppendTextEntryAddsExactlyTheEntry) {
  fs_.AddDir("/prog");
  ASSERT_TRUE(AppendTextEntry(fs_, path_, "first").ok());
  EXPECT_EQ(fs_.Bytes(path_), "first\r\n");

  // Old bytes stay byte for byte, even those that are not valid CP932 and a
  // last line without a line break.
  const std::string old = "x\x80\xFF\r\n\x82\xA0 no break";
  fs_.AddFile(path_, old);
  ASSERT_TRUE(AppendTextEntry(fs_, path_, "会員①").ok());
  EXPECT_EQ(fs_.Bytes(path_), old + "\x89\xEF\x88\xF5\x87\x40\r\n");
}

TEST_F(TextFileTest, AppendTextEntryKeepsAUtf8FileWithOneMark) {
  fs_.AddFile(path_, kBom + "a\r\n");
  ASSERT_TRUE(AppendTextEntry(fs_, path_, "会員").ok());
  ASSERT_TRUE(AppendTextEntry(fs_, path_, "b").ok());
  EXPECT_EQ(fs_.Bytes(path_), kBom + "a\r\n会員\r\nb\r\n");
}

TEST_F(TextFileTest, AppendTextEntryFailureChangesNothing) {
  fs_.AddFile(path_, "a\r\n");
  fs_.set_fail_appends(true);
  EXPECT_FALSE(AppendTextEntry(fs_, path_, "b").ok());
  EXPECT_EQ(fs_.Bytes(path_), "a\r\n");
  fs_.set_fail_appends(false);
  EXPECT_FALSE(AppendTextEntry(fs_, "/nowhere/log.txt", "b").ok());
  EXPECT_FALSE(fs_.HasFile("/nowhere/log.txt"));
}

TEST_F(TextFileTest, ReadersNeverWrite) {
  fs_.AddFile(path_, kBom + "a\r\n;b\r\n");
  const int version = fs_.Version(path_);
  Lines lines;
  EXPECT_TRUE(ReadLines(fs_, path_, &lines).ok());
  EXPECT_TRUE(ReadLinesFromOne(fs_, path_, &lines).ok());
  EXPECT_TRUE(ReadRawLines(fs_, path_, &lines).ok());
  ReadWholeFile(fs_, path_);
  FindFile(fs_, path_);
  EncodingOf(fs_, path_);
  EXPECT_EQ(fs_.Version(path_), version);
  EXPECT_EQ(fs_.calls(FakeFileSystem::kWrite) + fs_.calls(FakeFileSystem::kAppend), 0);
}

// ---- the real disk -----------------------------------------------------------

TEST(TextFileDiskTest, ReadingLeavesTheFileUntouched) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const std::string path = dir.File("Master.txt");
  const std::string bytes = "; rules\r\n a,b \nlast\x82";
  PutBytes(path, bytes);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);

  Lines lines;
  EXPECT_EQ(Result(ReadLines(fs, path, &lines)), "ok");
  EXPECT_EQ(lines, (Lines{"a,b", "last\xEF\xBF\xBD"}));
  EXPECT_EQ(Result(ReadLinesFromOne(fs, path, &lines)), "ok");
  EXPECT_EQ(ReadWholeFile(fs, path).substr(0, 9), "; rules\r\n");
  EXPECT_EQ(FindFile(fs, path), "Master.txt");

  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(GetBytes(path), bytes);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Names(dir.path()), Lines{"Master.txt"});
}

TEST(TextFileDiskTest, RewritesLeaveNoTemporaryFilesAndKeepPermissions) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const std::string path = dir.File("members.txt");

  EXPECT_EQ(Result(WriteLines(fs, path, {"a"})), "absent");
  EXPECT_TRUE(Names(dir.path()).empty()) << "WriteLines created a file";

  EXPECT_EQ(Result(WriteTextFile(fs, path, "会員")), "ok");
  EXPECT_EQ(GetBytes(path), "\x89\xEF\x88\xF5\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(Result(WriteLines(fs, path, {"1,a@b,pw", "2,c@d,pw"})), "ok");
  EXPECT_EQ(GetBytes(path), "1,a@b,pw\r\n2,c@d,pw\r\n");
  EXPECT_TRUE(AppendTextEntry(fs, path, "3").ok());
  EXPECT_EQ(GetBytes(path), "1,a@b,pw\r\n2,c@d,pw\r\n3\r\n");

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a private member list must stay private";
  EXPECT_EQ(Names(dir.path()), Lines{"members.txt"});

  // Failures on the real disk: a missing folder, a folder in the file's place.
  EXPECT_FALSE(WriteTextFile(fs, dir.File("no/x.txt"), "a").ok());
  ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0755), 0);
  EXPECT_FALSE(WriteTextFile(fs, dir.File("sub"), "a").ok());
  EXPECT_FALSE(AppendTextEntry(fs, dir.File("sub"), "a").ok());
  EXPECT_TRUE(Names(dir.File("sub")).empty());
  EXPECT_EQ(Names(dir.path()), (Lines{"members.txt", "sub"}));
}

TEST(TextFileDiskTest, FailedRewriteKeepsOldContentAndLeavesNoTemporaryFile) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const std::string path = dir.File("Kelmora.ini");
  PutBytes(path, "old\r\n");

  // A file-size limit makes the write of the temporary file fail half-way,
  // like a full disk would.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string text_result = Result(WriteTextFile(fs, path, std::string(1000, 'x')));
  const std::string lines_result = Result(WriteLines(fs, path, {std::string(1000, 'y')}));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(text_result, "failed");
  EXPECT_EQ(lines_result, "failed");
  EXPECT_EQ(GetBytes(path), "old\r\n");
  EXPECT_EQ(Names(dir.path()), Lines{"Kelmora.ini"});
}

TEST(TextFileDiskTest, NamedPipeIsNotReadAndDoesNotHang) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const std::string path = dir.File("reply.txt");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  EXPECT_EQ(FindFile(fs, path), "");
  auto read = std::async(std::launch::async, [&] { return ReadWholeFile(fs, path); });
  if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Release the reader stuck in open() so that the test can end.
    int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
    read.wait();
    FAIL() << "reading a named pipe blocked";
  }
  EXPECT_EQ(read.get(), "");
  Lines lines;
  EXPECT_EQ(Result(ReadLines(fs, path, &lines)), "absent");
}

// The file's own protection and its links survive a rewrite: a read-only
// member list stays unchanged, a link stays a link and its target changes,
// two names of one file stay one file, and the umask narrows nothing.
TEST(TextFileDiskTest, RewritesRespectProtectionLinksAndModes) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;

  const std::string locked = dir.File("locked.txt");
  PutBytes(locked, "1,a@b,pw\r\n");
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  EXPECT_EQ(Result(WriteLines(fs, locked, {"changed"})), "failed");
  EXPECT_FALSE(WriteTextFile(fs, locked, "changed").ok());
  EXPECT_EQ(GetBytes(locked), "1,a@b,pw\r\n");

  const std::string target = dir.File("real.txt");
  const std::string link = dir.File("link.txt");
  PutBytes(target, "old\r\n");
  ASSERT_EQ(::symlink("real.txt", link.c_str()), 0);
  EXPECT_EQ(Result(WriteLines(fs, link, {"new"})), "ok");
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
  EXPECT_EQ(GetBytes(target), "new\r\n");

  const std::string second = dir.File("second-name.txt");
  ASSERT_EQ(::link(target.c_str(), second.c_str()), 0);
  EXPECT_EQ(Result(WriteLines(fs, target, {"both"})), "ok");
  EXPECT_EQ(GetBytes(second), "both\r\n") << "the hard link was broken";
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);

  const std::string shared = dir.File("shared.txt");
  PutBytes(shared, "x\r\n");
  ASSERT_EQ(::chmod(shared.c_str(), 0664), 0);
  const mode_t old_mask = ::umask(022);
  const Status r = WriteLines(fs, shared, {"y"});
  ::umask(old_mask);
  EXPECT_TRUE(r.ok()) << r.message();
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);

  // Nothing but the files themselves is left in the folder.
  EXPECT_EQ(Names(dir.path()), (Lines{"link.txt", "locked.txt", "real.txt", "second-name.txt", "shared.txt"}));
}

// Files and folders the program creates hold mail, member lists and
// passwords: nobody else may read them.
TEST(TextFileDiskTest, NewFilesAndFoldersArePrivate) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const mode_t old_mask = ::umask(0);
  EXPECT_EQ(Result(WriteTextFile(fs, dir.File("Kelmora.ini"), "a")), "ok");
  EXPECT_TRUE(fs.AppendToFile(dir.File("journal"), "x").ok());
  EXPECT_TRUE(fs.CreateDir(dir.File("log")).ok());
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("Kelmora.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.File("journal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.File("log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(TextFileDiskTest, AppendingToANamedPipeIsRefusedWithoutHanging) {
  TempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  RealFileSystem fs;
  const std::string path = dir.File("Kelmoralog.txt");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  // A reader keeps the pipe open, so a blocking append would wait for it
  // to drain, and without O_NONBLOCK the open itself would wait too.
  auto append = std::async(std::launch::async, [&] { return fs.AppendToFile(path, "entry\r\n"); });
  if (append.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    int r = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    append.wait();
    if (r >= 0) ::close(r);
    FAIL() << "appending to a named pipe blocked";
  }
  EXPECT_FALSE(append.get().ok());
}

// ---- the fake itself (other tests rely on its fault model) --------------------

// Batches of staged files on the real disk: new files and replacements
// (whose old inodes are reused for later batches) end up with exactly their
// own bytes, keep a replaced file's mode, and leave no temporary file once
// the spares are released.
TEST(TextFileDiskTest, StagedBatchesCommitEachFileWithItsOwnBytes) {
  TempFolder dir;
  RealFileSystem fs;
  std::vector<std::string> names, current;
  for (int i = 0; i < 10; ++i) {
    names.push_back(dir.File("m" + std::to_string(i) + ".eml"));
    current.push_back("raw " + std::to_string(i) + std::string(static_cast<size_t>(i) * 1000, 'r'));
    PutBytes(names.back(), current.back());
  }
  ::chmod(names[3].c_str(), 0640);
  for (int round = 0; round < 3; ++round) {
    std::vector<StagedFile> batch;
    for (size_t i = 0; i < names.size(); ++i) {
      StagedFile staged;
      // Shorter and longer than what the reused inodes held before.
      const std::string bytes = "round " + std::to_string(round) + " file " + std::to_string(i) +
                                std::string((i * 7 + static_cast<size_t>(round) * 300) % 2000, 'x');
      ASSERT_TRUE(fs.StageFile(names[i], bytes, &staged).ok());
      EXPECT_EQ(GetBytes(names[i]), current[i]) << "visible before its commit";
      current[i] = bytes;
      batch.push_back(staged);
    }
    StagedFile fresh;
    const std::string fresh_path = dir.File("new" + std::to_string(round) + ".eml");
    ASSERT_TRUE(fs.StageFile(fresh_path, "fresh " + std::to_string(round), &fresh).ok());
    EXPECT_FALSE(std::filesystem::exists(fresh_path));
    batch.push_back(fresh);
    ASSERT_TRUE(fs.CommitFiles(&batch).ok());
    for (const StagedFile& f : batch) EXPECT_TRUE(f.committed);
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(GetBytes(names[i]), current[i]);
    EXPECT_EQ(GetBytes(fresh_path), "fresh " + std::to_string(round));
  }
  struct stat st;
  ASSERT_EQ(::stat(names[3].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  fs.ReleaseSpareFiles();
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_FALSE(IsTemporaryName(entry.path().filename().string())) << entry.path();
  }
}

TEST(FakeFileSystemTest, FaultsCountSkipsAndTimes) {
  FakeFileSystem fs;
  fs.AddDir("/d");
  // The second and third writes to paths holding "a." fail, nothing else.
  fs.InjectFault(FakeFileSystem::kWrite, "a.", 1, 2);
  EXPECT_TRUE(fs.WriteFileAtomic("/d/a.txt", "1").ok());
  EXPECT_FALSE(fs.WriteFileAtomic("/d/a.txt", "2").ok());
  EXPECT_TRUE(fs.WriteFileAtomic("/d/b.txt", "x").ok());
  EXPECT_FALSE(fs.WriteFileAtomic("/d/a.txt", "3").ok());
  EXPECT_TRUE(fs.WriteFileAtomic("/d/a.txt", "4").ok());
  EXPECT_EQ(fs.Bytes("/d/a.txt"), "4");
  EXPECT_EQ(fs.calls(FakeFileSystem::kWrite), 5);

  fs.set_fail_reads(true);
  std::string bytes = "stale";
  EXPECT_FALSE(fs.ReadFile("/d/a.txt", &bytes).ok());
  EXPECT_EQ(bytes, "");
  fs.set_fail_reads(false);
  EXPECT_TRUE(fs.ReadFileHead("/d/a.txt", 0, &bytes).ok());
  EXPECT_EQ(bytes, "");
}

TEST(FakeFileSystemTest, FoldersBehaveLikeTheDisk) {
  FakeFileSystem fs;
  EXPECT_FALSE(fs.WriteFileAtomic("/p/x", "1").ok()) << "parent folder missing";
  EXPECT_FALSE(fs.CreateDir("/p/q").ok());
  ASSERT_TRUE(fs.CreateDir("/p").ok());
  ASSERT_TRUE(fs.CreateDir("/p/q").ok());
  ASSERT_TRUE(fs.AppendToFile("/p/q/f", "a").ok());
  ASSERT_TRUE(fs.AppendToFile("/p/q/f", "b").ok());
  EXPECT_EQ(fs.Bytes("/p/q/f"), "ab");
  ASSERT_TRUE(fs.Rename("/p/q", "/p/r").ok());
  EXPECT_EQ(fs.Bytes("/p/r/f"), "ab");
  EXPECT_FALSE(fs.Exists("/p/q/f"));
  EXPECT_FALSE(fs.IsDir("/p/q"));
  ASSERT_TRUE(fs.Rename("/p/r/f", "/p/g").ok());
  std::vector<DirEntry> entries;
  ASSERT_TRUE(fs.ListDir("/p", &entries).ok());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "g");
  EXPECT_TRUE(entries[0].is_file);
  EXPECT_EQ(entries[0].size, 2u);
  EXPECT_EQ(entries[1].name, "r");
  EXPECT_TRUE(entries[1].is_dir);
  EXPECT_TRUE(fs.RemoveFile("/p/g").ok());
  EXPECT_FALSE(fs.RemoveFile("/p/g").ok());
}

}  // namespace
}  // namespace kelmora
