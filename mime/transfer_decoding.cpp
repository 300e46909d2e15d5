// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/transfer_decoding.h"

#include "mime/mime_stream.h"
#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The transfer encoding a part names, as one lower-case word.
std::string TransferEncodingName(GMimeObject* object) {
  const char* raw = RawHeader(object, "Content-Transfer-Encoding");
  if (raw == nullptr) return "";
  std::string value = AsciiLower(Trim(raw));
  const size_t end = value.find_first_of(" \t\r\n;(");
  return end == std::string::npos ? value : value.substr(0, end);
}

bool IsUuencodeName(const std::string& name) {
  return name == "x-uuencode" || name == "uuencode" || name == "x-uue" || name == "uue";
}

}  // namespace

void Base64Decoder::Feed(std::string_view text, std::string* out) {
  for (char c : text) {
    if (c == '=') {
      // Padding: the group is complete; stray bits of it are dropped.
      bits_ = 0;
      count_ = 0;
      continue;
    }
    const int v = Base64Value(c);
    if (v < 0) continue;
    bits_ = (bits_ << 6) | static_cast<std::uint32_t>(v);
    count_ += 6;
    if (count_ >= 8) {
      count_ -= 8;
      out->push_back(static_cast<char>((bits_ >> count_) & 0xFF));
      bits_ &= (1u << count_) - 1;
    }
  }
}

void UuDecoder::Feed(std::string_view text, std::string* out) {
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      // A line longer than any uuencoder writes is cut, not kept growing.
      if (pending_.size() < 4096) pending_.append(text.substr(0, 4096 - pending_.size()));
      return;
    }
    if (pending_.empty()) {
      Line(text.substr(0, lf), out);
    } else {
      pending_.append(text.substr(0, std::min<size_t>(lf, 4096)));
      Line(pending_, out);
      pending_.clear();
    }
    text.remove_prefix(lf + 1);
  }
}

void UuDecoder::Finish(std::string* out) {
  if (!pending_.empty()) Line(pending_, out);
  pending_.clear();
}

void UuDecoder::Line(std::string_view line, std::string* out) {
  if (state_ == State::kRaw) {
    out->append(line);
    out->push_back('\n');
    return;
  }
  std::string_view text = line;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (state_ == State::kBeforeBegin) {
    if (Trim(text).empty()) return;
    if (StartsWith(text, "begin ")) {
      state_ = State::kData;
      return;
    }
    // No "begin": not uuencoded after all; passed on unchanged.
    state_ = State::kRaw;
    Line(line, out);
    return;
  }
  if (state_ != State::kData || text.empty()) return;
  if (Trim(text) == "end") {
    state_ = State::kEnded;
    return;
  }
  const size_t n = static_cast<size_t>((text[0] - 0x20) & 0x3F);
  // Stripped trailing blanks were zero bits: missing characters read as 0.
  auto sextet = [&](size_t i) -> std::uint32_t {
    return i < text.size() ? static_cast<std::uint32_t>((text[i] - 0x20) & 0x3F) : 0;
  };
  for (size_t produced = 0, i = 1; produced < n; i += 4) {
    const std::uint32_t group = (sextet(i) << 18) | (sextet(i + 1) << 12) | (sextet(i + 2) << 6) | sextet(i + 3);
    for (int shift = 16; shift >= 0 && produced < n; shift -= 8, ++produced) {
      out->push_back(static_cast<char>((group >> shift) & 0xFF));
    }
  }
}

Status DecodePartContent(GMimePart* part, ByteSink& sink) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return Status::OK();
  const std::string name = TransferEncodingName(GMIME_OBJECT(part));
  if (name == "base64" || IsUuencodeName(name)) {
    // The wrapper's stream holds the content as it was sent.
    Base64Decoder base64;
    UuDecoder uu;
    std::string decoded;
    const bool is_base64 = name == "base64";
    Status s = ReadInPieces(g_mime_data_wrapper_get_stream(wrapper), [&](std::string_view piece) {
      decoded.clear();
      if (is_base64) {
        base64.Feed(piece, &decoded);
      } else {
        uu.Feed(piece, &decoded);
      }
      return decoded.empty() ? Status::OK() : sink.Write(decoded);
    });
    if (!s.ok() || is_base64) return s;
    decoded.clear();
    uu.Finish(&decoded);
    return decoded.empty() ? Status::OK() : sink.Write(decoded);
  }
  SinkStream stream(sink);
  if (stream.get() == nullptr) return stream.Finish();
  const bool written = g_mime_data_wrapper_write_to_stream(wrapper, stream.get()) >= 0;
  Status s = stream.Finish();
  if (s.ok() && !written) s = Status::IOError("cannot decode the part");
  return s;
}

}  // namespace kelmora
