// SPDX-License-Identifier: GPL-3.0-or-later
// Undoing a part's Content-Transfer-Encoding as leniently as the common
// mail programs do, in pieces, so that a large attachment never has to be
// held whole.
//
// base64: characters outside the alphabet are skipped; missing padding at
// the end costs nothing (two or three characters of a last group still
// give their one or two bytes); a "=" closes the group it ends, and what
// follows is decoded as a new group (base64 blocks joined by a sender).
//
// uuencode (x-uuencode, uuencode, x-uue, uue): data starts after the
// "begin" line and stops at "end"; each line gives as many bytes as its
// length character says, also when its trailing blanks (which encode zero
// bits) were stripped on the way. Without a "begin" line the content is
// passed on as it stands.
//
// Other encodings (quoted-printable, 7bit, 8bit, binary, unknown names) are
// left to the MIME library, whose quoted-printable decoder already drops a
// soft line break at the very end of a part.
#pragma once

#include <gmime/gmime.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

class Base64Decoder {
 public:
  // Appends the bytes that `text` completes to *out.
  void Feed(std::string_view text, std::string* out);

 private:
  std::uint32_t bits_ = 0;
  int count_ = 0;  // bits waiting in bits_
};

class UuDecoder {
 public:
  // Appends the bytes that the complete lines of `text` give to *out; a
  // line cut at the end of `text` waits for the rest.
  void Feed(std::string_view text, std::string* out);
  // Ends the input: a last line without a line break is decoded.
  void Finish(std::string* out);

 private:
  void Line(std::string_view line, std::string* out);

  enum class State { kBeforeBegin, kData, kRaw, kEnded };
  State state_ = State::kBeforeBegin;
  std::string pending_;  // the start of a line not yet ended
};

// Writes the content of `part` with its transfer encoding undone to `sink`.
Status DecodePartContent(GMimePart* part, ByteSink& sink);

}  // namespace kelmora
