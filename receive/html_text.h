// SPDX-License-Identifier: GPL-3.0-or-later
// The text of an HTML part, for a message that has no plain-text version.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// The visible text of an HTML document: tags dropped (script, style, head
// and title with their content, comments too), block ends and <br> turned
// into line breaks (LF), at most one empty line in a row and none at either
// end, entities decoded (numeric ones outside Unicode become U+FFFD, unknown
// names stay as written), runs of blanks collapsed. A "<" that does not
// start a tag is text. Unclosed tags and long runs of "<" or "&" do not
// make it slow.
std::string HtmlToText(std::string_view html);

}  // namespace kelmora
