// SPDX-License-Identifier: GPL-3.0-or-later
// GMime streams over the program's files and sinks, so that a large message
// is parsed, decoded and written in pieces instead of being held whole.
#pragma once

#include <gmime/gmime.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "mime/mime_util.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// A stream over the file at `path`: read in pieces from its descriptor
// where the file system gives one, else read whole into memory. Null (and
// *status set) when the file cannot be opened.
GPtr<GMimeStream> OpenFileStream(const FileSystem& fs, const std::string& path, Status* status);

// A GMime stream whose writes go to a ByteSink. Finish() flushes it and
// gives the sink's first failure (the stream itself only sees "-1").
class SinkStream {
 public:
  explicit SinkStream(ByteSink& sink);
  ~SinkStream();
  SinkStream(const SinkStream&) = delete;
  SinkStream& operator=(const SinkStream&) = delete;

  GMimeStream* get() const { return stream_; }
  Status Finish();

 private:
  static ssize_t WriteCookie(void* cookie, const char* data, size_t size);
  static int SeekCookie(void* cookie, off64_t* offset, int whence);

  ByteSink& sink_;
  Status failure_;
  off64_t written_ = 0;
  GMimeStream* stream_ = nullptr;
};

// Writes `object` into `sink` as WriteWithCrLf (mime_util.h) does.
Status WriteWithCrLfTo(GMimeObject* object, ByteSink& sink);

// Reads `stream` from its start to its end in pieces, handing each to
// `piece`; stops at the first failure.
Status ReadInPieces(GMimeStream* stream, const std::function<Status(std::string_view)>& piece);

// A sink that makes every line end in CR LF (a bare CR or LF becomes
// CR LF; a CR LF split across two writes stays one) and passes the result
// on. SMTP needs CR LF throughout.
class CrLfSink : public ByteSink {
 public:
  explicit CrLfSink(ByteSink& next) : next_(next) {}
  Status Write(std::string_view bytes) override;
  // Completes a CR left open at the very end.
  Status Finish();

 private:
  ByteSink& next_;
  bool after_cr_ = false;
  std::string out_;
};

// A sink that only counts the bytes it is given.
class CountingSink : public ByteSink {
 public:
  Status Write(std::string_view bytes) override {
    count_ += bytes.size();
    return Status::OK();
  }
  size_t count() const { return count_; }

 private:
  size_t count_ = 0;
};

}  // namespace kelmora
