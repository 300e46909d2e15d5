// SPDX-License-Identifier: GPL-3.0-or-later
// The characters of the Japanese standard character set as the standard
// maps them. Code page 932 maps six of them elsewhere (the wave dash to
// the full-width tilde, the minus sign to the full-width hyphen-minus, the
// double vertical line, the cent, pound and not signs to other forms), so
// text decoded through its tables must be put back where the charset label
// names the standard (Shift_JIS, ISO-2022-JP, EUC-JP): a member's wave dash
// must reach the list as a wave dash.
#pragma once

#include <string>
#include <string_view>

namespace kelmora {

// `text` (UTF-8) with U+FF5E, U+2225, U+FF0D, U+FFE0, U+FFE1 and U+FFE2
// turned into U+301C, U+2016, U+2212, U+00A2, U+00A3 and U+00AC.
std::string WithJisStandardForms(std::string text);

// True for the labels that name Microsoft's own variants (code page 932,
// CP5022x, EUC-JP-MS), whose text keeps code page 932's forms.
bool IsMicrosoftJapaneseLabel(std::string_view normalized_label);

}  // namespace kelmora
