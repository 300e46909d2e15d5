// SPDX-License-Identifier: GPL-3.0-or-later
// The walk over a message's MIME parts: which text is the body, and saving
// every other part as a file.
//
// Body: the first text/plain part that is not an attachment (a message made
// of one text part is its body even when the part carries a file name);
// further inline text/plain parts are appended after a line break. Of a
// multipart/alternative only one version is read: plain text, else a nested
// multipart, else HTML. Without any plain text, the first inline HTML part
// is kept for the caller to turn into text. Part content is decoded here
// (charset_decoder.h) rather than by GMime, so that code page 932
// extensions survive.
//
// Attachments: every other leaf part (and every attached message, saved as
// .eml with CR LF line ends, named after its subject) is written into the
// folder under its own file name made safe (no path separators or control
// characters, no leading dot, Japanese kept, at most 200 bytes), or
// "attachment" plus an extension from its type when it has none. An
// existing file is never replaced: "name(1).ext", "name(2).ext" ... are
// tried instead. Each file is complete before the walk goes on.
//
// A multipart in which no part can be found (its boundary is missing or
// never appears) keeps what follows its header: as text (in the part's
// charset) when it holds no NUL byte, else as a file. Content-Types without
// a subtype, or that do not parse, are text/plain. Transfer encodings are
// undone leniently (transfer_decoding.h), and attachments are written in
// pieces, so a large one is never held whole.
//
// Hostile input is bounded: nesting deeper than 40 levels and parts beyond
// the 5000th are ignored.
#pragma once

#include <gmime/gmime.h>

#include <string>
#include <vector>

#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

struct MessageParts {
  std::string plain;  // the body text, line breaks CR LF
  bool has_plain = false;
  std::string html;  // the HTML part, as UTF-8 markup
  bool has_html = false;
  std::vector<std::string> files;  // saved attachments, folder/name, in order
  // The MIME structure was broken and nothing readable was left of it: the
  // message is better kept than forwarded empty.
  bool broken_and_empty = false;
};

// Walks the parts below `root` (the message's top part; may be null),
// saving attachments into `folder` through `fs`. When a file cannot be
// written (or no free name is left for it), the files already saved are
// removed again and the result is an I/O failure whose message is the text
// to report ("ReadMail: ..."); *parts is then left alone.
// `root_body`, when given, is the body of `root` exactly as it stands, for
// a root multipart in which no part was found (the parser keeps such a body
// only up to its first NUL byte).
Status WalkMessageParts(FileSystem& fs, const std::string& folder, GMimeObject* root, MessageParts* parts,
                        const std::string* root_body = nullptr);

}  // namespace kelmora
