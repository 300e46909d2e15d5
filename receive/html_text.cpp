// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/html_text.h"

#include <unicode/unistr.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "receive/mime_util.h"

namespace kelmora {
namespace {

// Position of `needle` (lower case) in `text` at or after `from`, ignoring
// ASCII case; npos when absent.
size_t FindNoCase(std::string_view text, const std::string& needle, size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() &&
           std::tolower(static_cast<unsigned char>(text[i + k])) == static_cast<unsigned char>(needle[k]))
      ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  static const std::map<std::string, std::string> kEntities = {
      {"amp", "&"},        {"lt", "<"},          {"gt", ">"},          {"quot", "\""},
      {"apos", "'"},       {"nbsp", " "},        {"copy", "\xC2\xA9"}, {"reg", "\xC2\xAE"},
      {"yen", "\xC2\xA5"}, {"hellip", "\xE2\x80\xA6"}, {"mdash", "\xE2\x80\x94"}, {"ndash", "\xE2\x80\x93"},
      {"laquo", "\xC2\xAB"}, {"raquo", "\xC2\xBB"}, {"middot", "\xC2\xB7"}, {"times", "\xC3\x97"},
  };
  static const std::set<std::string> kBlocks = {"p",  "div", "tr", "li", "h1",  "h2", "h3", "h4", "h5",
                                                "h6", "table", "ul", "ol", "blockquote", "pre", "hr",
                                                "dt", "dd", "section", "article", "header", "footer"};
  static const std::set<std::string> kSkipped = {"script", "style", "head", "title"};
  std::string out;
  auto newline = [&] {
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  };
  size_t i = 0;
  bool no_more_gt = false;  // once no ">" follows, none will: stop searching
  while (i < html.size()) {
    char c = html[i];
    unsigned char next = i + 1 < html.size() ? static_cast<unsigned char>(html[i + 1]) : 0;
    // "<" starts a tag only before a letter, "/", "!" or "?"; otherwise, or
    // when no ">" follows, it is text ("a < b").
    if (c == '<' && !no_more_gt && (std::isalpha(next) || next == '/' || next == '!' || next == '?')) {
      if (html.compare(i, 4, "<!--") == 0) {
        size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      size_t gt = html.find('>', i + 1);
      if (gt == std::string_view::npos) {
        no_more_gt = true;
        continue;
      }
      std::string_view tag = html.substr(i + 1, gt - i - 1);
      bool closing = !tag.empty() && tag[0] == '/';
      size_t n = closing ? 1 : 0;
      std::string name;
      while (n < tag.size() && std::isalnum(static_cast<unsigned char>(tag[n]))) {
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(tag[n])));
        ++n;
      }
      i = gt + 1;
      if (!closing && kSkipped.count(name)) {
        size_t end = FindNoCase(html, "</" + name, i);
        if (end == std::string_view::npos) break;
        size_t end_gt = html.find('>', end);
        i = end_gt == std::string_view::npos ? html.size() : end_gt + 1;
        continue;
      }
      if (name == "br") newline();
      else if (kBlocks.count(name) && !out.empty() && out.back() != '\n') newline();
      continue;
    }
    if (c == '&') {
      size_t semi = html.find(';', i + 1);
      if (semi != std::string_view::npos && semi - i <= 10) {
        std::string entity(html.substr(i + 1, semi - i - 1));
        std::string decoded;
        if (!entity.empty() && entity[0] == '#') {
          long cp = -1;
          const char* digits = entity.c_str() + 1;
          int base = 10;
          if (*digits == 'x' || *digits == 'X') {
            base = 16;
            ++digits;
          }
          char* endp = nullptr;
          if (*digits) cp = std::strtol(digits, &endp, base);
          if (endp && *endp == '\0' && cp > 0) {
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            icu::UnicodeString u(static_cast<UChar32>(cp));
            u.toUTF8String(decoded);
          }
        } else {
          auto it = kEntities.find(AsciiLower(entity));
          if (it != kEntities.end()) decoded = it->second;
        }
        if (!decoded.empty()) {
          out += decoded;
          i = semi + 1;
          continue;
        }
      }
      out += '&';
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ' && out.back() != '\n') out += ' ';
      ++i;
      continue;
    }
    out += c;
    ++i;
  }
  // At most one empty line in a row, none at either end.
  std::string result;
  int newlines = 0;
  for (char ch : out) {
    if (ch == '\n') {
      while (!result.empty() && result.back() == ' ') result.pop_back();
      if (++newlines > 2) continue;
    } else {
      if (ch == ' ' && newlines > 0) continue;  // indentation after a break
      newlines = 0;
    }
    result += ch;
  }
  size_t first = result.find_first_not_of("\n ");
  if (first == std::string::npos) return "";
  size_t last = result.find_last_not_of("\n ");
  return result.substr(first, last - first + 1);
}

}  // namespace kelmora
