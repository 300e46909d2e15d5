// SPDX-License-Identifier: GPL-3.0-or-later
// Line breaks a raw message lacks for the MIME parser to read it as its
// sender meant, found in one pass over the message in pieces.
//
// Some mailers leave out the empty line that ends a header block. The
// parser then takes the first lines of the content for broken header
// lines and drops them: a whole attachment, or the body, is lost. So in
// each header block (the message's own, each part's after its boundary
// line, and an attached message's) the first line that is neither a
// header field nor a folded continuation starts the content, and an empty
// line is put in front of it, unless a field this reader uses still
// follows in the same block (then the odd line is broken folding, and the
// parser skips it and reads the field). A part whose first line after its
// boundary is already content gets the empty line in front of it too.
// A message that does not begin with a header field is left as it is.
// A "From " line of a mailbox file among the header fields is ignored.
//
// A message whose last line is a boundary line without a line break gets
// one, or the parser leaves a stray CR at the end of the last part.
//
// Boundaries are taken from the Content-Type fields of the header blocks
// read so far (they are always declared before they are used). Work and
// memory are bounded: only the start of each line is looked at, and at
// most 256 boundaries and 1000 insertions are kept.
#pragma once

#include <gmime/gmime.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mime/mime_util.h"

namespace kelmora {

struct LineBreakInsert {
  std::uint64_t offset = 0;  // insert before the byte at this offset
  std::string text;          // "\r\n" or "\n", as the message writes lines
};

class MessageRepairScanner {
 public:
  // Takes the next piece of the raw message.
  void Feed(std::string_view piece);
  // Ends the message; the insertions, in increasing offset.
  std::vector<LineBreakInsert> Finish();

 private:
  void Line(std::string_view line, std::uint64_t start, bool crlf);
  void HeaderLine(std::string_view line, std::uint64_t start, bool crlf);
  void EndHeaderBlock();
  void StartHeaderBlock(bool message_top);
  void FinishField();
  // 0: not a boundary line; 1: a boundary line; 2: a closing one.
  int BoundaryLine(std::string_view line) const;
  void Insert(std::uint64_t offset, bool crlf);

  std::uint64_t offset_ = 0;      // bytes fed so far
  std::uint64_t line_start_ = 0;  // offset of the line being read
  std::string line_;              // its start, at most kLineHead bytes
  bool line_is_open_ = false;
  char last_byte_ = 0;            // its last byte so far

  bool in_header_ = true;
  bool message_top_ = true;  // the block is a message's own header
  bool seen_field_ = false;
  bool in_content_type_ = false;
  std::string content_type_;     // the block's Content-Type value, unfolded
  std::string block_media_;      // the block's media type, lower case
  std::string block_encoding_;   // its Content-Transfer-Encoding, lower case
  std::int64_t candidate_ = -1;  // where the content seems to start
  bool candidate_crlf_ = false;

  std::vector<std::string> boundaries_;
  std::vector<LineBreakInsert> inserts_;
  bool last_crlf_ = false;  // the last complete line ended in CR LF
};

// `source` with the line breaks inserted (null when there are none: the
// caller keeps `source`). The result reads through to `source` in pieces.
GPtr<GMimeStream> WithLineBreaks(GMimeStream* source, const std::vector<LineBreakInsert>& inserts);

}  // namespace kelmora
