// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/undelivery.h"

#include <exception>

#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

namespace {

const char* const kEmpty = "UnDelivery.txtファイルが空です！";
const char* const kOddLines = "UnDelivery.txtファイルの設定行数が偶数でない！";
const char* const kCommas = "UnDelivery.txtファイルの偶数行目のカンマの数が1でない！";
const char* const kUnreadable = "UnDelivery.txtファイルの読み込みに失敗しました！";

}  // namespace

Status LoadUnDeliveryPatterns(const FileSystem& fs, const std::string& path,
                              std::vector<UnDeliveryPattern>* patterns) {
  patterns->clear();
  try {
    std::vector<std::string> lines;  // element 0 is a placeholder
    Status read = ReadLinesFromOne(fs, path, &lines);
    if (!read.ok()) return read.IsNotFound() ? Status::NotFound(kUnreadable) : Status::IOError(kUnreadable);
    const size_t n = lines.size() - 1;
    if (n == 0) return Status::Corrupt(kEmpty);
    if (n % 2 != 0) return Status::Corrupt(kOddLines);
    // Pairs are formed from the significant lines only, so a comment
    // between a marker and its delimiters does not break the pair.
    for (size_t i = 1; i + 1 <= n; i += 2) {
      UnDeliveryPattern p;
      p.Marker = lines[i];
      const std::string& delimiters = lines[i + 1];
      if (CountOf(delimiters, ",") != 1) {
        patterns->push_back(std::move(p));
        return Status::Corrupt(kCommas);
      }
      size_t comma = delimiters.find(',');
      p.AddressOpen = delimiters.substr(0, comma);
      p.AddressClose = delimiters.substr(comma + 1);
      patterns->push_back(std::move(p));
    }
    return Status::OK();
  } catch (const std::exception&) {
    return Status::Error(kUnreadable);
  }
}

}  // namespace kelmora
