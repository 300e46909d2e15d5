// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mime_repair.h"

#include <algorithm>

#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr size_t kLineHead = 2048;     // bytes of a line that are looked at
constexpr size_t kMaxBoundaries = 256;
constexpr size_t kMaxInserts = 1000;
constexpr size_t kMaxFieldValue = 8192;

// A header field: a name of printable ASCII other than ":", optional
// blanks, then ":".
bool IsHeaderField(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':') ++i;
  if (i == 0) return false;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i < line.size() && line[i] == ':';
}

std::string FieldName(std::string_view line) {
  std::string name = AsciiLower(line.substr(0, line.find(':')));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  return name;
}

// A field this reader takes values or parts from.
bool IsReadField(const std::string& name) {
  return name == "to" || name == "from" || name == "subject" || name == "mime-version" ||
         StartsWith(name, "content-");
}

// The boundary parameter of a Content-Type value, or "".
std::string BoundaryOf(const std::string& value) {
  const std::string lower = AsciiLower(value);
  for (size_t pos = lower.find("boundary"); pos != std::string::npos; pos = lower.find("boundary", pos + 8)) {
    size_t before = pos;
    while (before > 0 && (lower[before - 1] == ' ' || lower[before - 1] == '\t')) --before;
    if (before == 0 || lower[before - 1] != ';') continue;
    size_t i = pos + 8;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    if (i >= value.size() || value[i] != '=') continue;
    ++i;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    std::string boundary;
    if (i < value.size() && value[i] == '"') {
      for (++i; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        boundary += value[i];
      }
    } else {
      const size_t end = value.find_first_of("; \t", i);
      boundary = value.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    return boundary;
  }
  return "";
}

bool IsMessageMedia(const std::string& media) { return media == "message/rfc822" || media == "message/global"; }

}  // namespace

void MessageRepairScanner::Feed(std::string_view piece) {
  const std::uint64_t base = offset_;
  offset_ += piece.size();
  size_t i = 0;
  while (i < piece.size()) {
    const size_t lf = piece.find('\n', i);
    const size_t end = lf == std::string_view::npos ? piece.size() : lf;
    if (line_.size() < kLineHead) line_.append(piece.substr(i, std::min(end - i, kLineHead - line_.size())));
    if (end > i) last_byte_ = piece[end - 1];
    line_is_open_ = true;
    if (lf == std::string_view::npos) return;
    const bool crlf = last_byte_ == '\r';
    std::string_view text = line_;
    if (crlf && !text.empty() && text.back() == '\r') text.remove_suffix(1);
    Line(text, line_start_, crlf);
    last_crlf_ = crlf;
    line_.clear();
    line_is_open_ = false;
    last_byte_ = 0;
    line_start_ = base + lf + 1;
    i = lf + 1;
  }
}

std::vector<LineBreakInsert> MessageRepairScanner::Finish() {
  if (line_is_open_) {
    const std::string last = line_;
    Line(last, line_start_, last_crlf_);
    if (in_header_) EndHeaderBlock();
    // A boundary line that ends the file without a line break.
    if (BoundaryLine(last) != 0) Insert(offset_, last_crlf_);
  } else if (in_header_) {
    EndHeaderBlock();
  }
  std::stable_sort(inserts_.begin(), inserts_.end(),
                   [](const LineBreakInsert& a, const LineBreakInsert& b) { return a.offset < b.offset; });
  return std::move(inserts_);
}

void MessageRepairScanner::Line(std::string_view line, std::uint64_t start, bool crlf) {
  if (in_header_) {
    HeaderLine(line, start, crlf);
    return;
  }
  if (BoundaryLine(line) == 1) StartHeaderBlock(false);
}

void MessageRepairScanner::HeaderLine(std::string_view line, std::uint64_t start, bool crlf) {
  if (line.empty()) {
    const bool nested = candidate_ < 0 && IsMessageMedia(block_media_) && block_encoding_ != "base64" &&
                        block_encoding_ != "quoted-printable";
    EndHeaderBlock();
    if (nested) StartHeaderBlock(true);
    return;
  }
  const int boundary = BoundaryLine(line);
  if (boundary != 0) {
    // A part that ends inside its header block.
    EndHeaderBlock();
    if (boundary == 1) StartHeaderBlock(false);
    return;
  }
  if (line[0] == ' ' || line[0] == '\t') {
    if (seen_field_) {
      if (candidate_ < 0 && in_content_type_ && content_type_.size() < kMaxFieldValue) content_type_.append(line);
      return;
    }
  } else if (IsHeaderField(line)) {
    FinishField();
    const std::string name = FieldName(line);
    if (candidate_ >= 0) {
      // A field this reader uses still follows: the odd line was broken
      // folding, which the parser skips.
      if (!IsReadField(name)) return;
      candidate_ = -1;
    }
    seen_field_ = true;
    std::string_view value = line.substr(line.find(':') + 1);
    if (name == "content-type") {
      in_content_type_ = true;
      content_type_.assign(value.substr(0, kMaxFieldValue));
    } else if (name == "content-transfer-encoding") {
      block_encoding_ = AsciiLower(Trim(value));
    }
    return;
  } else if (StartsWith(line, "From ")) {
    return;  // a mailbox file's envelope line among the fields
  }
  // A line that is neither a field nor folding.
  if (!seen_field_) {
    in_header_ = false;
    // A message that does not begin with a field is left as it is; a part
    // whose content follows its boundary line at once gets its empty line.
    if (!message_top_) Insert(start, crlf);
    return;
  }
  if (candidate_ < 0) {
    FinishField();
    candidate_ = static_cast<std::int64_t>(start);
    candidate_crlf_ = crlf;
  }
}

void MessageRepairScanner::EndHeaderBlock() {
  FinishField();
  if (candidate_ >= 0) Insert(static_cast<std::uint64_t>(candidate_), candidate_crlf_);
  candidate_ = -1;
  in_header_ = false;
}

void MessageRepairScanner::StartHeaderBlock(bool message_top) {
  in_header_ = true;
  message_top_ = message_top;
  seen_field_ = false;
  in_content_type_ = false;
  content_type_.clear();
  block_media_.clear();
  block_encoding_.clear();
  candidate_ = -1;
}

void MessageRepairScanner::FinishField() {
  if (!in_content_type_) return;
  in_content_type_ = false;
  const std::string value = Trim(content_type_);
  block_media_ = AsciiLower(Trim(value.substr(0, value.find(';'))));
  const std::string boundary = BoundaryOf(value);
  if (!boundary.empty() && boundaries_.size() < kMaxBoundaries &&
      std::find(boundaries_.begin(), boundaries_.end(), boundary) == boundaries_.end()) {
    boundaries_.push_back(boundary);
  }
}

int MessageRepairScanner::BoundaryLine(std::string_view line) const {
  if (line.size() < 2 || line[0] != '-' || line[1] != '-') return 0;
  for (const std::string& b : boundaries_) {
    if (line.compare(2, b.size(), b) == 0) return StartsWith(line.substr(2 + b.size()), "--") ? 2 : 1;
  }
  return 0;
}

void MessageRepairScanner::Insert(std::uint64_t offset, bool crlf) {
  if (inserts_.size() < kMaxInserts) inserts_.push_back(LineBreakInsert{offset, crlf ? "\r\n" : "\n"});
}

GPtr<GMimeStream> WithLineBreaks(GMimeStream* source, const std::vector<LineBreakInsert>& inserts) {
  if (inserts.empty()) return nullptr;
  GPtr<GMimeStream> cat(g_mime_stream_cat_new());
  auto add = [&](GMimeStream* piece) {
    g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat.get()), piece);
    g_object_unref(piece);
  };
  gint64 from = 0;
  for (const LineBreakInsert& insert : inserts) {
    const auto at = static_cast<gint64>(insert.offset);
    if (at > from) add(g_mime_stream_substream(source, from, at));
    add(g_mime_stream_mem_new_with_buffer(insert.text.data(), insert.text.size()));
    from = at;
  }
  add(g_mime_stream_substream(source, from, -1));
  return cat;
}

}  // namespace kelmora
