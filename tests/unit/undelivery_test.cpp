// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/undelivery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"

namespace kelmora {
namespace {

const char* const kEmpty = "UnDelivery.txtファイルが空です！";
const char* const kOddLines = "UnDelivery.txtファイルの設定行数が偶数でない！";
const char* const kCommas = "UnDelivery.txtファイルの偶数行目のカンマの数が1でない！";
const char* const kUnreadable = "UnDelivery.txtファイルの読み込みに失敗しました！";

class UnDeliveryTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_ + "/UnDelivery.txt"; }

  void StoreBytes(const std::string& bytes) { fs_.AddFile(Path(), bytes); }
  std::string StoredBytes() const { return fs_.Bytes(Path()); }

  // Loads `text` (UTF-8 here, code page 932 on disk) and returns the
  // start-up message ("" when loaded).
  std::string Load(const std::string& text) {
    StoreBytes(Utf8ToCp932(text));
    return LoadUnDeliveryPatterns(fs_, Path(), &patterns_).message();
  }

  std::string dir_ = "/prog";
  FakeFileSystem fs_;
  std::vector<UnDeliveryPattern> patterns_;
};

TEST_F(UnDeliveryTest, PairsAreFormedFromSignificantLines) {
  ASSERT_EQ(Load("; bounce patterns\r\n"
                 "  宛先不明のため配信できませんでした  \r\n"
                 "; the address stands in angle brackets\r\n"
                 "\r\n"
                 "<,>\r\n"
                 "Delivery to the following recipient failed\r\n"
                 "   ,  \r\n"), "");
  ASSERT_EQ(patterns_.size(), 2u);
  EXPECT_EQ(patterns_[0].Marker, "宛先不明のため配信できませんでした");
  EXPECT_EQ(patterns_[0].AddressOpen, "<");
  EXPECT_EQ(patterns_[0].AddressClose, ">");
  EXPECT_EQ(patterns_[1].Marker, "Delivery to the following recipient failed");
  EXPECT_EQ(patterns_[1].AddressOpen, "");
  EXPECT_EQ(patterns_[1].AddressClose, "");

  EXPECT_EQ(Load("m\r\n, \r\n"), "");
  EXPECT_EQ(patterns_[0].AddressOpen, "");
  EXPECT_EQ(patterns_[0].AddressClose, "");
  // The line is trimmed as a whole; the two halves keep their inner blanks.
  EXPECT_EQ(Load("m\r\nTo: < , >\r\n"), "");
  EXPECT_EQ(patterns_[0].AddressOpen, "To: < ");
  EXPECT_EQ(patterns_[0].AddressClose, " >");
}

TEST_F(UnDeliveryTest, EmptyAndOddFiles) {
  EXPECT_EQ(Load(""), kEmpty);
  EXPECT_EQ(Load(";only\r\n  ;comments\r\n\r\n   \r\n"), kEmpty);
  EXPECT_TRUE(patterns_.empty());
  EXPECT_EQ(Load("a\r\n<,>\r\nb\r\n"), kOddLines);
  EXPECT_EQ(Load("no comma needed here\r\n"), kOddLines);
  EXPECT_TRUE(patterns_.empty());
  // A marker that begins with ";" is a comment, which shifts the pairs.
  EXPECT_EQ(Load(";marker one\r\n<,>\r\nmarker two\r\n<,>\r\n"), kOddLines);
}

TEST_F(UnDeliveryTest, EvenLineNeedsExactlyOneComma) {
  EXPECT_EQ(Load("m\r\n<>\r\n"), kCommas);
  EXPECT_EQ(Load("m\r\n<,,>\r\n"), kCommas);
  EXPECT_EQ(Load("m1\r\n<,>\r\nm2\r\n,,\r\n"), kCommas);
  // The pattern under construction is the last one kept.
  ASSERT_EQ(patterns_.size(), 2u);
  EXPECT_EQ(patterns_[1].Marker, "m2");
  // Marker lines may hold any number of commas.
  EXPECT_EQ(Load("a, b, c\r\n(,)\r\n"), "");
  EXPECT_EQ(patterns_[0].Marker, "a, b, c");
  // A ";" on an even line pairs the first marker with the next marker line.
  EXPECT_EQ(Load("m1\r\n;<,>\r\nm2\r\n(,)\r\nm3\r\n"), kCommas);
  EXPECT_EQ(patterns_[0].Marker, "m1");
}

TEST_F(UnDeliveryTest, MissingOrUnreadableFile) {
  Status missing = LoadUnDeliveryPatterns(fs_, Path(), &patterns_);
  EXPECT_TRUE(missing.IsNotFound());
  EXPECT_EQ(missing.message(), kUnreadable);
  EXPECT_TRUE(patterns_.empty());
  EXPECT_FALSE(fs_.Exists(Path()));
  // A folder of that name is not a file.
  fs_.AddDir(Path());
  EXPECT_TRUE(LoadUnDeliveryPatterns(fs_, Path(), &patterns_).IsNotFound());
  fs_.Erase(Path());
  // Present but unreadable.
  StoreBytes("m\r\n<,>\r\n");
  fs_.set_fail_reads(true);
  Status unreadable = LoadUnDeliveryPatterns(fs_, Path(), &patterns_);
  EXPECT_FALSE(unreadable.ok() || unreadable.IsNotFound()) << "unreadable is no missing file";
  EXPECT_EQ(unreadable.message(), kUnreadable);
  EXPECT_TRUE(patterns_.empty());
}

TEST_F(UnDeliveryTest, BadBytesNeverCrashAndTheFileIsNotChanged) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 97 + 3) % 256);
  StoreBytes(garbage);
  Status r = LoadUnDeliveryPatterns(fs_, Path(), &patterns_);
  EXPECT_TRUE(r.ok() || r.IsCorrupt()) << r.message();
  EXPECT_EQ(StoredBytes(), garbage);
  EXPECT_EQ(fs_.calls(FakeFileSystem::kWrite) + fs_.calls(FakeFileSystem::kAppend), 0);

  // Invalid code page 932, bare line feeds, no final line break, long lines.
  const std::string long_marker(100000, 'x');
  StoreBytes("bad \x81\x7F marker\n\x82\xA0,\xFF\n" + long_marker + "\n[,]");
  ASSERT_TRUE(LoadUnDeliveryPatterns(fs_, Path(), &patterns_).ok());
  ASSERT_EQ(patterns_.size(), 2u);
  EXPECT_EQ(patterns_[0].Marker.rfind("bad ", 0), 0u);
  EXPECT_EQ(patterns_[0].Marker.find('\x81'), std::string::npos);
  EXPECT_EQ(patterns_[1].Marker, long_marker);
  EXPECT_EQ(patterns_[1].AddressOpen, "[");
  EXPECT_EQ(patterns_[1].AddressClose, "]");

  // A UTF-8 file with its mark reads the same as code page 932.
  StoreBytes("\xEF\xBB\xBF" "宛先不明\r\n＜,＞\r\n");
  ASSERT_TRUE(LoadUnDeliveryPatterns(fs_, Path(), &patterns_).ok());
  EXPECT_EQ(patterns_[0].Marker, "宛先不明");
  EXPECT_EQ(patterns_[0].AddressOpen, "＜");
}

}  // namespace
}  // namespace kelmora
