// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/jis_forms.h"

#include <cstring>

namespace kelmora {
namespace {

struct Form {
  const char* microsoft;  // three UTF-8 bytes
  const char* standard;
};

constexpr Form kForms[] = {
    {"\xEF\xBD\x9E", "\xE3\x80\x9C"},  // FULLWIDTH TILDE -> WAVE DASH
    {"\xE2\x88\xA5", "\xE2\x80\x96"},  // PARALLEL TO -> DOUBLE VERTICAL LINE
    {"\xEF\xBC\x8D", "\xE2\x88\x92"},  // FULLWIDTH HYPHEN-MINUS -> MINUS SIGN
    {"\xEF\xBF\xA0", "\xC2\xA2"},      // FULLWIDTH CENT SIGN -> CENT SIGN
    {"\xEF\xBF\xA1", "\xC2\xA3"},      // FULLWIDTH POUND SIGN -> POUND SIGN
    {"\xEF\xBF\xA2", "\xC2\xAC"},      // FULLWIDTH NOT SIGN -> NOT SIGN
};

}  // namespace

std::string WithJisStandardForms(std::string text) {
  // Every form begins with 0xE2 or 0xEF; most text holds none of them.
  size_t i = text.find_first_of("\xE2\xEF");
  if (i == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  out.append(text, 0, i);
  while (i < text.size()) {
    const char c = text[i];
    if ((c == '\xE2' || c == '\xEF') && i + 3 <= text.size()) {
      const Form* hit = nullptr;
      for (const Form& f : kForms) {
        if (std::memcmp(text.data() + i, f.microsoft, 3) == 0) hit = &f;
      }
      if (hit != nullptr) {
        out += hit->standard;
        i += 3;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

bool IsMicrosoftJapaneseLabel(std::string_view label) {
  for (const char* ms : {"windows-31j", "cp932", "x-ms-cp932", "ms932", "cp50220", "cp50221", "cp50222", "euc-jp-ms",
                         "eucjp-ms"}) {
    if (label == ms) return true;
  }
  return false;
}

}  // namespace kelmora
