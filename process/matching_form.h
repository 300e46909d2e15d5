// SPDX-License-Identifier: GPL-3.0-or-later
// The matching form of a subject or body: every half-width character
// (letters, digits, signs, blank, katakana) turned into its full-width form
// and letters into upper case, so that keyword tests ignore case and width.
// Half-width katakana with a voiced mark become one full-width character.
// The six characters that code page 932 and the Japanese standard map
// differently (wave dash and full-width tilde, minus sign and full-width
// hyphen-minus ...) take one form.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

std::string MatchingForm(std::string_view text);

// The matching form of the text's first line together with the CR LF that
// ends it (the whole text when it has none). FindInFirstLine gives the same
// answer on it as on the matching form of the whole text, for any keyword,
// at the cost of the first line only.
std::string FirstLineMatchingForm(std::string_view text);

}  // namespace kelmora
