#include "process/matching_form.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

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

}  // namespace

std::string MatchingForm(const std::string& text) {
  if (text.empty()) return text;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  if (icu::Transliterator* t = Widener()) t->transliterate(u);
  // Simple per-character upper-casing keeps lengths (and the full-width
  // forms) intact; the root locale avoids locale-specific surprises.
  u.toUpper(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

}  // namespace kelmora
