// SPDX-License-Identifier: GPL-3.0-or-later
// The text of an HTML part, for a message that has no plain-text version.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// The visible text of an HTML document (UTF-8), read by an HTML5 parser:
// every named and numeric character reference decoded as a browser does;
// script, style, head and title dropped with their content, comments too;
// block ends and <br> become line breaks (LF), at most one empty line in a
// row and none at either end; runs of blanks collapsed. A link keeps its
// URL after its text ("text <https://...>") unless the text already is the
// URL (compared without "http://", "https://" or "mailto:" and a final
// "/", ignoring case); links inside the page and scripts are not shown.
// Malformed and deeply nested markup is read without recursion.
std::string HtmlToText(std::string_view html);

}  // namespace kelmora
