// SPDX-License-Identifier: GPL-3.0-or-later
// String helpers shared by every subsystem. All comparisons are exact and
// case-sensitive unless their name says otherwise; strings are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

// Removes leading and trailing blanks (spaces and tabs).
std::string Trim(std::string_view s);

// Splits at every occurrence of `sep`; "" gives one empty field.
std::vector<std::string> Split(std::string_view s, std::string_view sep);

std::string Join(const std::vector<std::string>& parts, std::string_view sep);

// Replaces every non-overlapping occurrence of `from` (left to right).
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

bool Contains(std::string_view s, std::string_view part);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);

// How often `part` occurs in `text`, overlapping occurrences included; 0 when
// `part` is empty.
int CountOf(std::string_view text, std::string_view part);

// 0 when `text` is empty; otherwise the 1-based position of `part` within
// the first line of `text` (the text before the first CR LF), 0 when absent.
int FindInFirstLine(std::string_view text, std::string_view part);

// True when `s` split at "@" gives at least two parts and the first two are
// both non-empty.
bool IsMailAddress(std::string_view s);

// True when the two texts are equal apart from the case of ASCII letters.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
// True when `part` occurs in `s`, ASCII letters compared without case.
bool ContainsIgnoringAsciiCase(std::string_view s, std::string_view part);

// True when the two texts name the same mail address: the domain (after
// the last "@") compared without regard to ASCII case, as domains are
// case-insensitive; the local part compared exactly, as only its own
// server may interpret it. Texts without "@" are compared exactly.
bool SameAddress(std::string_view a, std::string_view b);

// True when `s` begins with "[" and ends with "]".
bool IsMLIDKeyword(std::string_view s);

// Drops one trailing "]" from `keyword`; true when the rest occurs in
// `subject` and a "]" occurs after the start of that occurrence.
bool SubjectHasMLID(std::string_view subject, std::string_view keyword);

// The trimmed path without its last extension; a path whose last "." comes
// before its last "/" (or that has no ".") is returned whole.
std::string StripExtension(std::string_view path);

// Reads a number the way data files hold them: blanks skipped, then the
// longest leading numeric part (sign, digits, one decimal point, exponent);
// no number reads as 0. ReadRoundedInt rounds it to the nearest integer,
// halves to even, clamped to the 32-bit range.
double ReadNumber(std::string_view s);
std::int32_t ReadRoundedInt(std::string_view s);
std::int32_t RoundHalfEven(double v);

// Joins a folder and a file name taken from a data file. A "\" in the name
// (a table written on Windows) is read as "/".
std::string JoinPath(std::string_view folder, std::string_view name);

// The value of a hexadecimal digit, -1 for any other character.
int HexDigitValue(char c);

// "%41" -> "A"; a "%" not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view s);

// The last component of a "/"-separated path (the whole path when it has no
// "/"), and the folder part in front of it ("." when none, "/" for the root).
std::string BaseName(std::string_view path);
std::string DirName(std::string_view path);

}  // namespace kelmora
