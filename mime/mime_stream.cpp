// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mime_stream.h"

#include <unistd.h>

#include <vector>

namespace kelmora {

GPtr<GMimeStream> OpenFileStream(const FileSystem& fs, const std::string& path, Status* status) {
  int fd = -1;
  *status = fs.OpenForReading(path, &fd);
  if (!status->ok()) return nullptr;
  if (fd >= 0) {
    GPtr<GMimeStream> stream(g_mime_stream_fs_new(fd));  // owns fd
    if (!stream) {
      ::close(fd);
      *status = Status::IOError("cannot read " + path);
    }
    return stream;
  }
  std::string bytes;
  *status = fs.ReadFile(path, &bytes);
  if (!status->ok()) return nullptr;
  return GPtr<GMimeStream>(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
}

SinkStream::SinkStream(ByteSink& sink) : sink_(sink) {
  cookie_io_functions_t functions = {nullptr, &SinkStream::WriteCookie, &SinkStream::SeekCookie, nullptr};
  FILE* fp = fopencookie(this, "w", functions);
  if (fp == nullptr) {
    failure_ = Status::IOError("cannot make a write stream");
    return;
  }
  setvbuf(fp, nullptr, _IOFBF, 64 * 1024);
  stream_ = g_mime_stream_file_new(fp);  // owns fp
}

SinkStream::~SinkStream() {
  if (stream_ != nullptr) g_object_unref(stream_);
}

ssize_t SinkStream::WriteCookie(void* cookie, const char* data, size_t size) {
  auto* self = static_cast<SinkStream*>(cookie);
  if (!self->failure_.ok()) return -1;
  self->failure_ = self->sink_.Write(std::string_view(data, size));
  if (!self->failure_.ok()) return -1;
  self->written_ += static_cast<off64_t>(size);
  return static_cast<ssize_t>(size);
}

int SinkStream::SeekCookie(void* cookie, off64_t* offset, int whence) {
  // The stream only ever asks to stay where it is (it seeks to its own
  // position before each write); a sink cannot go back.
  auto* self = static_cast<SinkStream*>(cookie);
  const off64_t target = whence == SEEK_SET ? *offset : whence == SEEK_CUR ? self->written_ + *offset : -1;
  if (target != self->written_) return -1;
  *offset = target;
  return 0;
}

Status SinkStream::Finish() {
  if (stream_ != nullptr && g_mime_stream_flush(stream_) != 0 && failure_.ok()) {
    failure_ = Status::IOError("cannot write");
  }
  return failure_;
}

Status WriteWithCrLfTo(GMimeObject* object, ByteSink& sink) {
  SinkStream stream(sink);
  if (stream.get() == nullptr) return stream.Finish();
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  const bool written = g_mime_object_write_to_stream(object, options, stream.get()) >= 0;
  g_mime_format_options_free(options);
  Status s = stream.Finish();
  if (s.ok() && !written) s = Status::IOError("cannot write the message");
  return s;
}

Status ReadInPieces(GMimeStream* stream, const std::function<Status(std::string_view)>& piece) {
  if (stream == nullptr) return Status::OK();
  if (g_mime_stream_reset(stream) != 0) return Status::IOError("cannot read the part again");
  std::vector<char> buffer(64 * 1024);
  // A bounded stream (a part) answers -1 once its end is passed: ask first.
  while (!g_mime_stream_eos(stream)) {
    const ssize_t n = g_mime_stream_read(stream, buffer.data(), buffer.size());
    if (n < 0) return g_mime_stream_eos(stream) ? Status::OK() : Status::IOError("cannot read the message");
    if (n == 0) return Status::OK();
    Status s = piece(std::string_view(buffer.data(), static_cast<size_t>(n)));
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status CrLfSink::Write(std::string_view bytes) {
  out_.clear();
  out_.reserve(bytes.size() + bytes.size() / 16 + 2);
  for (char c : bytes) {
    if (c == '\n') {
      if (!after_cr_) out_ += '\r';
      out_ += '\n';
      after_cr_ = false;
      continue;
    }
    // A CR not followed by LF is completed when the next byte shows it.
    if (after_cr_) out_ += '\n';
    after_cr_ = c == '\r';
    out_ += c;
  }
  // A CR at the end of this piece stays open: the next piece may bring its
  // LF.
  return next_.Write(out_);
}

Status CrLfSink::Finish() {
  if (!after_cr_) return Status::OK();
  after_cr_ = false;
  return next_.Write("\n");
}

}  // namespace kelmora
