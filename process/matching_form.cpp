// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/matching_form.h"

#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <array>
#include <memory>
#include <mutex>

namespace kelmora {
namespace {

// ICU's transliterator is costly to build and safe to reuse from one
// thread; one instance serves the whole program.
icu::Transliterator* Widener() {
  static std::unique_ptr<icu::Transliterator> widener;
  static std::once_flag once;
  std::call_once(once, [] {
    UErrorCode status = U_ZERO_ERROR;
    widener.reset(icu::Transliterator::createInstance("Halfwidth-Fullwidth", UTRANS_FORWARD, status));
    if (U_FAILURE(status)) widener.reset();
  });
  return widener.get();
}

std::string IcuMatchingForm(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (icu::Transliterator* t = Widener()) t->transliterate(u);
  // Simple per-character upper-casing keeps lengths (and the full-width
  // forms) intact; the root locale avoids locale-specific surprises.
  u.toUpper(icu::Locale::getRoot());
  // The same character comes from code page 932 files (keywords) in one
  // form and from mail in the standard's form: a wave dash matches a
  // full-width tilde, a minus sign a full-width hyphen-minus.
  static constexpr UChar kTwins[][2] = {{0x301C, 0xFF5E}, {0x2016, 0x2225}, {0x2212, 0xFF0D},
                                        {0x00A2, 0xFFE0}, {0x00A3, 0xFFE1}, {0x00AC, 0xFFE2}};
  for (const auto& twin : kTwins) u.findAndReplace(icu::UnicodeString(twin[0]), icu::UnicodeString(twin[1]));
  std::string out;
  u.toUTF8String(out);
  return out;
}

// The form of each ASCII character, taken from the transliterator itself
// one character at a time. No ASCII character combines with its
// neighbours, so pure-ASCII text (most keywords and many bodies) maps
// character by character without going through ICU, at a fraction of its
// cost per byte.
const std::array<std::string, 128>& AsciiForms() {
  static const std::array<std::string, 128> forms = [] {
    std::array<std::string, 128> table;
    for (int c = 0; c < 128; ++c) table[static_cast<size_t>(c)] = IcuMatchingForm(std::string(1, static_cast<char>(c)));
    return table;
  }();
  return forms;
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string MatchingForm(std::string_view text) {
  if (text.empty()) return std::string();
  if (!IsAscii(text)) return IcuMatchingForm(text);
  const std::array<std::string, 128>& forms = AsciiForms();
  std::string out;
  out.reserve(text.size() * 3);
  for (char c : text) out += forms[static_cast<unsigned char>(c)];
  return out;
}

std::string FirstLineMatchingForm(std::string_view text) {
  const size_t crlf = text.find("\r\n");
  return MatchingForm(crlf == std::string_view::npos ? text : text.substr(0, crlf + 2));
}

}  // namespace kelmora
