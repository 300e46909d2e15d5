// SPDX-License-Identifier: GPL-3.0-or-later
// File and folder retrieval by mail. The logic runs on the program folder
// "/prog" of the fake file system; what depends on how the real disk
// resolves ".." and symbolic links runs on a real temporary folder.
#include "process/file_retrieval.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/unit/fake_file_system.h"
#include "tests/unit/temp_folder.h"

namespace kelmora {
namespace {

namespace stdfs = std::filesystem;

const char* const kNoFolder = "指定されたフォルダがありません！";

// The program folder holds readme.txt (100 bytes). Files are made through
// the FileSystem interface, so the disk variant below shares the helpers.
class FileRetrievalTest : public ::testing::Test {
 protected:
  void SetUp() override { UseFolder("/prog", &fake_); }

  void UseFolder(const std::string& prog, FileSystem* fs) {
    prog_ = prog;
    fs_ = fs;
    MakeDir(prog_);
    MakeFile(prog_ + "/readme.txt", 100);
  }

  void MakeFile(const std::string& path, size_t size) {
    Status s = fs_->WriteFileAtomic(path, std::string(size, 'x'));
    ASSERT_TRUE(s.ok()) << s.message();
  }
  void MakeDir(const std::string& path) {
    Status s = fs_->CreateDir(path);
    ASSERT_TRUE(s.ok()) << s.message();
  }

  RetrievalReply Command(const std::string& body) { return RunFileRetrieval(*fs_, prog_, false, body); }
  RetrievalReply CommandX(const std::string& body) { return RunFileRetrieval(*fs_, prog_, true, body); }

  std::string Missing(const std::string& path) { return "指定された<" + path + ">が存在しませんでした！"; }
  std::string Fetched(const std::string& path) { return "ファイル<" + path + ">は正常に取得できました。"; }

  FakeFileSystem fake_;
  FileSystem* fs_ = nullptr;
  std::string prog_;
};

// On a real folder: ".." and symbolic links are resolved the way the disk
// resolves them, which the fake does not model. secret.txt (10 bytes) lies
// beside the program folder, outside it.
class FileRetrievalDiskTest : public FileRetrievalTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    top_ = tmp_.path();
    UseFolder(top_ + "/prog", &real_);
    MakeFile(top_ + "/secret.txt", 10);
  }

  TempFolder tmp_;
  RealFileSystem real_;
  std::string top_;
};

TEST_F(FileRetrievalTest, GetFileAttachesAFileOfTheProgramFolder) {
  RetrievalReply r = Command("GetFile: readme.txt\r\nplease");
  EXPECT_EQ(r.Msg, Fetched(prog_ + "/readme.txt"));
  EXPECT_EQ(r.AttachmentPaths, prog_ + "/readme.txt");
  EXPECT_EQ(r.AttachmentCount, 1);
  // Blanks before the command word do not shift the argument.
  EXPECT_EQ(Command("  GetFile:readme.txt  ").AttachmentPaths, prog_ + "/readme.txt");
  // A path written with "\" as on Windows.
  MakeDir(prog_ + "/sub");
  MakeFile(prog_ + "/sub/in.txt", 1);
  EXPECT_EQ(Command("GetFile: sub\\in.txt").AttachmentPaths, prog_ + "/sub/in.txt");
}

TEST_F(FileRetrievalTest, GetFileRefusesFilesOfTheSizeLimitOrMore) {
  MakeFile(prog_ + "/big.bin", 1024000);
  MakeFile(prog_ + "/fits.bin", 1023999);
  RetrievalReply big = Command("GetFile: big.bin");
  EXPECT_EQ(big.Msg, "ファイル<" + prog_ + "/big.bin>のサイズが1024000バイトを超えているので取得しません。");
  EXPECT_EQ(big.AttachmentCount, 0);
  EXPECT_EQ(big.AttachmentPaths, "");
  RetrievalReply fits = Command("GetFile: fits.bin");
  EXPECT_EQ(fits.Msg, Fetched(prog_ + "/fits.bin"));
  EXPECT_EQ(fits.AttachmentCount, 1);
}

TEST_F(FileRetrievalTest, GetFileWithoutArgumentOrFileAnswersInText) {
  RetrievalReply empty = Command("GetFile:   \r\nsecond line");
  EXPECT_EQ(empty.Msg, "指定された<GetFile:   >は不正です！");
  EXPECT_EQ(empty.AttachmentCount, 0);
  EXPECT_EQ(Command("GetFile: none.txt").Msg, Missing(prog_ + "/none.txt"));
  MakeDir(prog_ + "/folder");
  EXPECT_EQ(Command("GetFile: folder").Msg, Missing(prog_ + "/folder"));  // a folder is no file
}

TEST_F(FileRetrievalDiskTest, CommandNeverLeavesTheProgramFolder) {
  RetrievalReply up = Command("GetFile: ../secret.txt");
  EXPECT_EQ(up.Msg, Missing(prog_ + "/../secret.txt"));
  EXPECT_EQ(up.AttachmentCount, 0);
  EXPECT_EQ(Command("GetFile: /etc/passwd").Msg, Missing(prog_ + "//etc/passwd"));
  EXPECT_EQ(Command("GetFile: sub/../../secret.txt").AttachmentCount, 0);

  // Symbolic links inside the folder that lead out of it, to a file and to
  // a folder.
  stdfs::create_symlink(top_ + "/secret.txt", prog_ + "/link.txt");
  stdfs::create_directory_symlink(top_, prog_ + "/outside");
  EXPECT_EQ(Command("GetFile: link.txt").Msg, Missing(prog_ + "/link.txt"));
  EXPECT_EQ(Command("GetFile: outside/secret.txt").Msg, Missing(prog_ + "/outside/secret.txt"));
  EXPECT_EQ(Command("Dir: outside").Msg, "フォルダ<" + prog_ + "/outside>内のファイル名の取得結果です。\r\n" + kNoFolder);
  EXPECT_EQ(Command("Dir: ..").Msg, "フォルダ<" + prog_ + "/..>内のファイル名の取得結果です。\r\n" + kNoFolder);

  // A link that stays inside is followed.
  stdfs::create_symlink(prog_ + "/readme.txt", prog_ + "/inside.txt");
  EXPECT_EQ(Command("GetFile: inside.txt").AttachmentCount, 1);
  // The listing of the program folder leaves the links out of it out.
  EXPECT_EQ(Command("DirAll: .").Msg, "フォルダ<" + prog_ + "/.>内のファイル名とフォルダ名の取得結果です。\r\n" +
                                          "inside.txt                    0 KB\r\n"
                                          "readme.txt                    0 KB");
}

TEST_F(FileRetrievalDiskTest, CommandXTakesAbsolutePathsAsTheyAre) {
  const std::string secret = top_ + "/secret.txt";
  RetrievalReply r = CommandX("GetFile: " + secret);
  EXPECT_EQ(r.Msg, Fetched(secret));
  EXPECT_EQ(r.AttachmentPaths, secret);
  EXPECT_EQ(r.AttachmentCount, 1);
  EXPECT_EQ(CommandX("GetFile: readme.txt").AttachmentPaths, prog_ + "/readme.txt");
  EXPECT_EQ(CommandX("GetFile: ../secret.txt").AttachmentCount, 1);
  EXPECT_EQ(CommandX("Dir: " + top_).Msg,
            "フォルダ<" + top_ + ">内のファイル名の取得結果です。\r\nsecret.txt                    0 KB");
}

TEST_F(FileRetrievalTest, DirListsFilesOnlyAndDirAllAddsFolders) {
  const std::string data = prog_ + "/data";
  MakeDir(data);
  MakeDir(data + "/sub");
  MakeDir(data + "/.cache");
  MakeFile(data + "/c.txt", 2560);  // 2.5 KB: the even neighbour is 2
  MakeFile(data + "/a.txt", 500);
  MakeFile(data + "/b.txt", 1536);  // 1.5 KB: the even neighbour is 2
  MakeFile(data + "/.hidden", 5000);

  const std::string files =
      "a.txt                         0 KB\r\n"
      "b.txt                         2 KB\r\n"
      "c.txt                         2 KB";
  EXPECT_EQ(Command("Dir: data").Msg, "フォルダ<" + prog_ + "/data>内のファイル名の取得結果です。\r\n" + files);
  EXPECT_EQ(Command("DirAll: data").Msg,
            "フォルダ<" + prog_ + "/data>内のファイル名とフォルダ名の取得結果です。\r\n" + files + "\r\nsub/");
  EXPECT_EQ(Command("Dir: nowhere").Msg, "フォルダ<" + prog_ + "/nowhere>内のファイル名の取得結果です。\r\n" + kNoFolder);
  MakeDir(data + "/sub/empty");
  EXPECT_EQ(Command("Dir: data/sub").Msg, "フォルダ<" + prog_ + "/data/sub>内のファイル名の取得結果です。\r\n");
}

TEST_F(FileRetrievalTest, DirWithoutFolderAnswersLikeGetFileWithoutFile) {
  EXPECT_EQ(Command("Dir:").Msg, "指定された<Dir:>は不正です！");
  EXPECT_EQ(Command("DirAll:  \r\nx").Msg, "指定された<DirAll:  >は不正です！");
}

TEST_F(FileRetrievalTest, OtherBodiesAreEchoedUnchanged) {
  for (const std::string body : {"getfile: readme.txt\r\n", "DIR: data", "Hello\r\nGetFile: readme.txt", ""}) {
    RetrievalReply r = Command(body);
    EXPECT_EQ(r.Msg, body);
    EXPECT_EQ(r.AttachmentCount, 0);
    EXPECT_EQ(r.AttachmentPaths, "");
  }
}

TEST_F(FileRetrievalTest, ListingPadsNamesToThirtyCodePageColumns) {
  const std::string d = prog_ + "/names";
  MakeDir(d);
  const std::string ascii30(30, 'n');
  const std::string ascii28(28, 'm');
  std::string kana15, kana14;
  for (int i = 0; i < 15; ++i) kana15 += "あ";  // two columns each
  for (int i = 0; i < 14; ++i) kana14 += "い";
  const std::string halfwidth = "ｱｲｳ.txt";  // one column each, three bytes in UTF-8
  for (const std::string& name : {ascii30, ascii28, kana15, kana14, halfwidth}) MakeFile(d + "/" + name, 3584);

  // Sorted by name: ASCII first, then the kana by their UTF-8 bytes.
  EXPECT_EQ(ListFolder(*fs_, d, false),
            ascii28 + "  4 KB\r\n" +       // 3.5 KB: the even neighbour is 4
                ascii30 + " 4 KB\r\n" +    // 30 columns: one blank
                kana15 + " 4 KB\r\n" +     // 15 double-byte characters = 30 columns
                kana14 + "  4 KB\r\n" +
                halfwidth + std::string(23, ' ') + "4 KB");
}

TEST_F(FileRetrievalTest, ListFolderSizesAndMissingFolder) {
  const std::string d = prog_ + "/sizes";
  MakeDir(d);
  MakeFile(d + "/half", 512);     // 0.5: to 0
  MakeFile(d + "/just", 1535);    // 1.499…: to 1
  MakeFile(d + "/empty", 0);
  EXPECT_EQ(ListFolder(*fs_, d + "/", true),
            "empty                         0 KB\r\n"
            "half                          0 KB\r\n"
            "just                          1 KB");
  EXPECT_EQ(ListFolder(*fs_, d + "/none", true), kNoFolder);
  EXPECT_EQ(ListFolder(*fs_, prog_ + "/readme.txt", true), kNoFolder);  // a file is no folder
}

}  // namespace
}  // namespace kelmora
