// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/html_text.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsBlock(GumboTag tag) {
  static const std::set<GumboTag> kBlocks = {
      GUMBO_TAG_P,       GUMBO_TAG_DIV,        GUMBO_TAG_TR,      GUMBO_TAG_LI,     GUMBO_TAG_H1,
      GUMBO_TAG_H2,      GUMBO_TAG_H3,         GUMBO_TAG_H4,      GUMBO_TAG_H5,     GUMBO_TAG_H6,
      GUMBO_TAG_TABLE,   GUMBO_TAG_UL,         GUMBO_TAG_OL,      GUMBO_TAG_BLOCKQUOTE, GUMBO_TAG_PRE,
      GUMBO_TAG_HR,      GUMBO_TAG_DT,         GUMBO_TAG_DD,      GUMBO_TAG_SECTION, GUMBO_TAG_ARTICLE,
      GUMBO_TAG_HEADER,  GUMBO_TAG_FOOTER,     GUMBO_TAG_ADDRESS, GUMBO_TAG_FORM,   GUMBO_TAG_DL,
      GUMBO_TAG_CENTER,  GUMBO_TAG_FIGURE,     GUMBO_TAG_NAV,     GUMBO_TAG_ASIDE,  GUMBO_TAG_MAIN,
  };
  return kBlocks.count(tag) != 0;
}

// Elements whose content is not text a reader sees.
bool IsSkipped(GumboTag tag) {
  return tag == GUMBO_TAG_HEAD || tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_TITLE ||
         tag == GUMBO_TAG_TEMPLATE || tag == GUMBO_TAG_NOSCRIPT;
}

// A URL as compared with a link's text: without "http://", "https://" or
// "mailto:" in front and "/" at the end, in lower case.
std::string UrlForm(std::string_view url) {
  std::string u = AsciiLower(Trim(url));
  for (const char* scheme : {"http://", "https://", "mailto:"}) {
    if (StartsWith(u, scheme)) {
      u.erase(0, std::string_view(scheme).size());
      break;
    }
  }
  while (!u.empty() && u.back() == '/') u.pop_back();
  return u;
}

// The URL a link shows after its text, or "" (no href, a jump inside the
// page, a script).
std::string LinkTarget(const GumboElement& element) {
  const GumboAttribute* href = gumbo_get_attribute(&element.attributes, "href");
  if (href == nullptr || href->value == nullptr) return "";
  // Blanks and line breaks inside an href are dropped by browsers too.
  std::string url;
  for (const char* p = href->value; *p; ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') url += *p;
  }
  const std::string lower = AsciiLower(url);
  if (url.empty() || url[0] == '#' || StartsWith(lower, "javascript:")) return "";
  return url;
}

// The HTML parser's work grows with the square of the nesting depth, and
// it frees its tree recursively: hostile markup nested 100,000 deep takes
// minutes or overflows the stack. Markup is therefore cut at a depth no
// real mail reaches: start tags beyond it are dropped (their text stays).
// The depth is estimated from start and end tags; elements without end
// tags (void elements, those whose end tag may be left out, and links,
// which a new link closes) and self-closing tags do not count, and raw
// text (script, style ...) is not read as markup.
constexpr size_t kMaxNesting = 1000;

bool HasOptionalOrNoEndTag(const std::string& name) {
  static const std::set<std::string> kNames = {
      "area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param", "source",
      "track", "wbr", "p", "li", "dt", "dd", "tr", "td", "th", "option", "optgroup", "tbody", "thead",
      "tfoot", "colgroup", "rb", "rt", "rp", "rtc", "html", "head", "body", "basefont", "bgsound", "frame",
      "keygen", "image", "isindex", "a", "nobr"};
  return kNames.count(name) != 0;
}

bool IsRawText(const std::string& name) {
  return name == "script" || name == "style" || name == "textarea" || name == "title" || name == "xmp" ||
         name == "iframe" || name == "noembed" || name == "noframes" || name == "noscript";
}

// A tag at a "<": its lower-case name (empty when the "<" starts no tag),
// whether it is an end tag, and the offset just past its ">" (quoted
// attribute values may hold ">").
struct Tag {
  std::string name;
  bool closing = false;
  bool self_closing = false;
  size_t end = 0;
};

Tag ReadTag(std::string_view html, size_t lt) {
  Tag tag;
  tag.closing = lt + 1 < html.size() && html[lt + 1] == '/';
  size_t n = lt + (tag.closing ? 2 : 1);
  while (n < html.size() && std::isalnum(static_cast<unsigned char>(html[n])) && tag.name.size() < 32) {
    tag.name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[n++])));
  }
  if (tag.name.empty()) return tag;  // text: its end is not looked for
  char quote = 0;
  while (n < html.size() && (quote != 0 || html[n] != '>')) {
    if (quote != 0 && html[n] == quote) {
      quote = 0;
    } else if (quote == 0 && (html[n] == '"' || html[n] == '\'')) {
      quote = html[n];
    }
    ++n;
  }
  tag.self_closing = n > lt && html[n - 1] == '/';
  tag.end = std::min(n + 1, html.size());
  return tag;
}

// Where raw text (the content of a script or style) that starts at `from`
// ends: at its end tag, or at the end of the document.
size_t RawTextEnd(std::string_view html, size_t from, const std::string& name) {
  for (size_t end = html.find("</", from); end != std::string_view::npos; end = html.find("</", end + 2)) {
    if (AsciiLower(html.substr(end + 2, name.size())) == name) return end;
  }
  return html.size();
}

std::string CapNesting(std::string_view html) {
  // Fewer tags than the limit cannot nest beyond it.
  size_t tags = 0;
  for (char c : html) tags += c == '<';
  if (tags <= kMaxNesting) return std::string(html);
  std::string out;
  out.reserve(html.size());
  size_t depth = 0;
  size_t i = 0;
  for (size_t lt = html.find('<'); lt != std::string_view::npos; lt = html.find('<', i)) {
    out.append(html.substr(i, lt - i));
    if (html.compare(lt, 4, "<!--") == 0) {
      const size_t end = html.find("-->", lt + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      out.append(html.substr(lt, i - lt));
      continue;
    }
    const Tag tag = ReadTag(html, lt);
    if (tag.name.empty()) {
      out += '<';
      i = lt + 1;
      continue;
    }
    i = tag.end;
    const bool counted = !HasOptionalOrNoEndTag(tag.name) && !tag.self_closing;
    if (tag.closing && counted && depth > 0) --depth;
    if (!tag.closing && counted && depth >= kMaxNesting) continue;  // dropped
    if (!tag.closing && counted) ++depth;
    out.append(html.substr(lt, tag.end - lt));
    if (!tag.closing && IsRawText(tag.name)) {
      const size_t end = RawTextEnd(html, i, tag.name);
      out.append(html.substr(i, end - i));
      i = end;
    }
  }
  if (i < html.size()) out.append(html.substr(i));
  return out;
}

class TextWriter {
 public:
  void Text(std::string_view text) {
    for (char c : text) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
        if (!out_.empty() && out_.back() != ' ' && out_.back() != '\n') out_ += ' ';
      } else {
        out_ += c;
      }
    }
  }
  void LineBreak() {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    out_ += '\n';
  }
  void EndLine() {
    if (!out_.empty() && out_.back() != '\n') LineBreak();
  }
  size_t Mark() const { return out_.size(); }
  // After a link's content: its URL, unless its text already is the URL.
  void LinkEnd(size_t mark, const std::string& url) {
    const std::string text = Trim(out_.substr(mark));
    if (UrlForm(text) == UrlForm(url)) return;
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    if (!out_.empty() && out_.back() != '\n') out_ += ' ';
    out_ += "<" + url + ">";
  }
  // At most one empty line in a row, none at either end, no blanks at the
  // start or end of a line.
  std::string Finish() const {
    std::string result;
    int newlines = 0;
    for (char ch : out_) {
      if (ch == '\n') {
        while (!result.empty() && result.back() == ' ') result.pop_back();
        if (++newlines > 2) continue;
      } else {
        if (ch == ' ' && newlines > 0) continue;
        newlines = 0;
      }
      result += ch;
    }
    const size_t first = result.find_first_not_of("\n ");
    if (first == std::string::npos) return "";
    const size_t last = result.find_last_not_of("\n ");
    return result.substr(first, last - first + 1);
  }

 private:
  std::string out_;
};

}  // namespace

std::string HtmlToText(std::string_view html) {
  GumboOptions options = kGumboDefaultOptions;
  options.max_errors = 0;  // nothing here reads them
  const std::string markup = CapNesting(html);
  GumboOutput* output = gumbo_parse_with_options(&options, markup.data(), markup.size());
  if (output == nullptr) return "";
  TextWriter writer;
  // Depth first without recursion: deeply nested markup must not exhaust
  // the stack. An element is visited twice: on the way down (`closing`
  // false) and after its children.
  struct Step {
    const GumboNode* node;
    bool closing;
    size_t mark;
    std::string url;
  };
  std::vector<Step> stack;
  stack.push_back({output->root, false, 0, ""});
  while (!stack.empty()) {
    Step step = std::move(stack.back());
    stack.pop_back();
    const GumboNode* node = step.node;
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA) {
      writer.Text(node->v.text.text);
      continue;
    }
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE &&
        node->type != GUMBO_NODE_DOCUMENT) {
      continue;  // comments
    }
    const GumboVector& children =
        node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
    const GumboTag tag = node->type == GUMBO_NODE_DOCUMENT ? GUMBO_TAG_HTML : node->v.element.tag;
    if (step.closing) {
      if (tag == GUMBO_TAG_A && !step.url.empty()) writer.LinkEnd(step.mark, step.url);
      if (IsBlock(tag)) writer.EndLine();
      continue;
    }
    if (IsSkipped(tag)) continue;
    if (tag == GUMBO_TAG_BR) {
      writer.LineBreak();
      continue;
    }
    if (IsBlock(tag)) writer.EndLine();
    Step closing{node, true, writer.Mark(), ""};
    if (tag == GUMBO_TAG_A) closing.url = LinkTarget(node->v.element);
    stack.push_back(std::move(closing));
    for (unsigned i = children.length; i > 0; --i) {
      stack.push_back({static_cast<const GumboNode*>(children.data[i - 1]), false, 0, ""});
    }
  }
  gumbo_destroy_output(&options, output);
  return writer.Finish();
}

}  // namespace kelmora
