// The matching form of a subject or body: every half-width character
// (letters, digits, signs, blank, katakana) turned into its full-width form
// and letters into upper case, so that keyword tests ignore case and width.
// Half-width katakana with a voiced mark become one full-width character.
#pragma once

#include <string>

namespace kelmora {

std::string MatchingForm(const std::string& text);

}  // namespace kelmora
