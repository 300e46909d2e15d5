// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/undelivery.h"

#include <exception>

#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {

int LoadUnDeliveryPatterns(const FileSystem& fs, const std::string& path,
                           std::vector<UnDeliveryPattern>* patterns) {
  patterns->clear();
  try {
    std::vector<std::string> lines;  // element 0 is a placeholder
    Status read = ReadLinesFromOne(fs, path, &lines);
    if (!read.ok()) return read.IsNotFound() ? 1 : -1;
    const size_t n = lines.size() - 1;
    if (n == 0) return 2;
    if (n % 2 != 0) return 3;
    // Pairs are formed from the significant lines only, so a comment
    // between a marker and its delimiters does not break the pair.
    for (size_t i = 1; i + 1 <= n; i += 2) {
      UnDeliveryPattern p;
      p.Marker = lines[i];
      const std::string& delimiters = lines[i + 1];
      if (CountOf(delimiters, ",") != 1) {
        patterns->push_back(std::move(p));
        return 4;
      }
      size_t comma = delimiters.find(',');
      p.AddressOpen = delimiters.substr(0, comma);
      p.AddressClose = delimiters.substr(comma + 1);
      patterns->push_back(std::move(p));
    }
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

std::string UnDeliveryLoadMessage(int result) {
  switch (result) {
    case 0:
      return "";
    case 2:
      return "UnDelivery.txtファイルが空です！";
    case 3:
      return "UnDelivery.txtファイルの設定行数が偶数でない！";
    case 4:
      return "UnDelivery.txtファイルの偶数行目のカンマの数が1でない！";
    default:
      return "UnDelivery.txtファイルの読み込みに失敗しました！";
  }
}

}  // namespace kelmora
