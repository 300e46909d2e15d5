// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mime_walk.h"

#include <algorithm>
#include <map>
#include <utility>

#include "mime/charset_decoder.h"
#include "mime/header_decoder.h"
#include "mime/mime_stream.h"
#include "mime/mime_util.h"
#include "mime/transfer_decoding.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// Strips a UTF-8 byte order mark at the start.
std::string WithoutBom(std::string text) {
  if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

// The content of a leaf part with its transfer encoding undone.
std::string PartContent(GMimePart* part) {
  std::string bytes;
  StringSink sink(&bytes);
  // A read failure of a stored file leaves what was read: the text is
  // still worth more than nothing.
  (void)DecodePartContent(part, sink);
  return bytes;
}

// The charset of an HTML document that does not name one in its header:
// a <meta charset=...> near the start.
std::string HtmlMetaCharset(std::string_view html) {
  std::string head = AsciiLower(html.substr(0, 4096));
  size_t pos = head.find("charset=");
  if (pos == std::string::npos) return "";
  pos += 8;
  while (pos < head.size() && (head[pos] == '"' || head[pos] == '\'' || head[pos] == ' ')) ++pos;
  size_t end = pos;
  while (end < head.size() && (std::isalnum(static_cast<unsigned char>(head[end])) || head[end] == '-' ||
                               head[end] == '_'))
    ++end;
  return head.substr(pos, end - pos);
}

// The charset a part names; also read from a Content-Type that the MIME
// library could not parse ("text; charset=...").
std::string CharsetOf(GMimeObject* object) {
  const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
  if (charset != nullptr && *charset != '\0') return charset;
  return DecodeHeaderParameter(RawHeader(object, "Content-Type"), "charset");
}

std::string PartText(GMimePart* part, bool html) {
  std::string bytes = PartContent(part);
  std::string label = CharsetOf(GMIME_OBJECT(part));
  if (label.empty() && html) label = HtmlMetaCharset(bytes);
  return WithoutBom(DecodeMailCharset(bytes, label));
}

std::string TruncateUtf8(const std::string& s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

void SplitExtension(const std::string& name, std::string* stem, std::string* ext) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) {
    *stem = name;
    ext->clear();
    return;
  }
  *stem = name.substr(0, dot);
  *ext = name.substr(dot);
}

std::string ExtensionForType(const std::string& mime_type) {
  static const std::map<std::string, std::string> kTypes = {
      {"text/plain", ".txt"},          {"text/html", ".html"},
      {"message/rfc822", ".eml"},      {"message/delivery-status", ".txt"},
      {"text/rfc822-headers", ".txt"}, {"text/calendar", ".ics"},
      {"image/jpeg", ".jpg"},          {"image/png", ".png"},
      {"image/gif", ".gif"},           {"application/pdf", ".pdf"},
      {"application/zip", ".zip"},     {"application/pgp-signature", ".asc"},
  };
  auto it = kTypes.find(mime_type);
  return it == kTypes.end() ? ".bin" : it->second;
}

// A file name that is safe to create inside the reception folder.
std::string SafeFileName(const std::string& proposed, const std::string& mime_type) {
  std::string name = SanitizeUtf8(proposed);
  // A client may send a whole path ("C:\Users\x\a.doc"): keep the last part.
  size_t sep = name.find_last_of("/\\");
  if (sep != std::string::npos) name = name.substr(sep + 1);
  std::string clean;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    clean += c;
  }
  // No leading dot (hidden files are skipped by folder listings), no blanks
  // or dots at either end.
  size_t begin = clean.find_first_not_of(". \t");
  clean = begin == std::string::npos ? "" : clean.substr(begin);
  while (!clean.empty() && (clean.back() == '.' || clean.back() == ' ')) clean.pop_back();
  if (clean.empty()) return "attachment" + ExtensionForType(mime_type);
  std::string stem, ext;
  SplitExtension(clean, &stem, &ext);
  stem = TruncateUtf8(stem, 200 - ext.size());
  return stem + ext;
}

struct ReadContext {
  ReadContext(FileSystem& f, std::string d) : fs(f), folder(std::move(d)) {}
  FileSystem& fs;
  std::string folder;
  std::string body;
  bool have_plain = false;
  std::string html;
  bool have_html = false;
  std::vector<std::string> files;
  Status error;
  int leaves = 0;
  bool broken = false;  // a multipart whose parts could not be found
  const std::string* root_body = nullptr;
};

bool SaveAttachment(ReadContext& ctx, const std::string& proposed, const std::string& mime_type,
                    const ByteProducer& content) {
  std::string name = SafeFileName(proposed, mime_type);
  std::string stem, ext;
  SplitExtension(name, &stem, &ext);
  std::string path = JoinPath(ctx.folder, name);
  for (int k = 1; ctx.fs.Exists(path); ++k) {
    if (k > 9999) {
      ctx.error = Status::IOError("ReadMail: no free file name for attachment " + name + " in " + ctx.folder);
      return false;
    }
    path = JoinPath(ctx.folder, stem + "(" + std::to_string(k) + ")" + ext);
  }
  Status s = ctx.fs.WriteFileAtomicFrom(path, content);
  if (!s.ok()) {
    ctx.error = Status::IOError("ReadMail: cannot save attachment " + path + ": " + s.message());
    return false;
  }
  ctx.files.push_back(path);
  return true;
}

// A media type as "type/subtype": one "/" between two tokens.
bool IsMediaType(std::string_view value) {
  const size_t slash = value.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash + 1 == value.size()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (i == slash) continue;
    if (c <= ' ' || c >= 0x7F || std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  }
  return true;
}

std::string MimeType(GMimeObject* object) {
  // A Content-Type without a subtype ("text;"), or one that does not parse
  // at all, is read as text/plain, as RFC 2045 says.
  if (const char* raw = RawHeader(object, "Content-Type")) {
    std::string value(raw);
    value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }),
                value.end());
    if (!IsMediaType(Trim(value.substr(0, value.find(';'))))) return "text/plain";
  }
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return "application/octet-stream";
  const char* media = g_mime_content_type_get_media_type(type);
  const char* sub = g_mime_content_type_get_media_subtype(type);
  return AsciiLower(std::string(media ? media : "application") + "/" + (sub ? sub : "octet-stream"));
}

std::string PartFileName(GMimeObject* object) {
  std::string name = DecodeHeaderParameter(RawHeader(object, "Content-Disposition"), "filename");
  if (name.empty()) name = DecodeHeaderParameter(RawHeader(object, "Content-Type"), "name");
  if (name.empty() && GMIME_IS_PART(object)) {
    const char* gname = g_mime_part_get_filename(GMIME_PART(object));
    if (gname) name = SanitizeUtf8(gname);
  }
  return Trim(name);
}

bool IsAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

void Walk(ReadContext& ctx, GMimeObject* object, int depth);

void AddPlainText(ReadContext& ctx, const std::string& text) {
  if (!ctx.have_plain) {
    ctx.body = text;
    ctx.have_plain = true;
  } else if (!text.empty()) {
    if (!EndsWith(ctx.body, "\r\n") && !ctx.body.empty()) ctx.body += "\r\n";
    ctx.body += text;
  }
}

// A multipart in which no part was found (its boundary is missing, or never
// appears): everything after its header is kept, as text when it is text,
// else as it stands in a file of its own.
void RecoverMultipart(ReadContext& ctx, GMimeMultipart* multipart, int depth) {
  ctx.broken = true;
  const char* prologue = g_mime_multipart_get_prologue(multipart);
  const std::string raw = depth == 0 && ctx.root_body != nullptr ? *ctx.root_body : prologue ? prologue : "";
  if (IsBlank(raw)) return;
  if (raw.find('\0') == std::string::npos) {
    AddPlainText(ctx, ToCrLf(WithoutBom(DecodeMailCharset(raw, CharsetOf(GMIME_OBJECT(multipart)))), true));
    return;
  }
  SaveAttachment(ctx, "", "application/octet-stream", [&raw](ByteSink& sink) { return sink.Write(raw); });
}

// `whole_message`: the part is the message's only part; then a text part is
// its body even when a file name is attached to it.
void WalkLeaf(ReadContext& ctx, GMimeObject* object, bool whole_message) {
  std::string type = MimeType(object);
  std::string file_name = PartFileName(object);
  bool inline_text = !IsAttachmentDisposition(object) && (file_name.empty() || whole_message) &&
                     StartsWith(type, "text/");
  if (GMIME_IS_MESSAGE_PART(object)) {
    if (file_name.empty()) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      const char* raw_subject = inner ? RawHeader(GMIME_OBJECT(inner), "Subject") : nullptr;
      std::string subject = raw_subject ? Trim(OneLine(DecodeHeaderText(raw_subject))) : "";
      file_name = subject.empty() ? "message.eml" : TruncateUtf8(subject, 120) + ".eml";
    }
    GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    SaveAttachment(ctx, file_name, type, [message](ByteSink& sink) {
      return message == nullptr ? Status::OK() : WriteWithCrLfTo(GMIME_OBJECT(message), sink);
    });
    return;
  }
  if (!GMIME_IS_PART(object)) return;
  GMimePart* part = GMIME_PART(object);
  if (inline_text && type == "text/plain") {
    AddPlainText(ctx, ToCrLf(PartText(part, false), true));
    return;
  }
  if (inline_text && type == "text/html" && !ctx.have_html && !ctx.have_plain) {
    ctx.html = PartText(part, true);
    ctx.have_html = true;
    return;
  }
  SaveAttachment(ctx, file_name, type, [part](ByteSink& sink) { return DecodePartContent(part, sink); });
}

// Of the versions in a multipart/alternative, the one to read: plain text
// first, then a nested multipart (HTML with its images), then HTML, then
// whatever comes first.
GMimeObject* ChooseAlternative(GMimeMultipart* multipart) {
  int n = g_mime_multipart_get_count(multipart);
  GMimeObject* nested = nullptr;
  GMimeObject* html = nullptr;
  for (int i = 0; i < n; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
    std::string type = MimeType(child);
    if (type == "text/plain" && !IsAttachmentDisposition(child)) return child;
    if (GMIME_IS_MULTIPART(child) && nested == nullptr) nested = child;
    if (type == "text/html" && html == nullptr) html = child;
  }
  if (nested) return nested;
  if (html) return html;
  return n > 0 ? g_mime_multipart_get_part(multipart, 0) : nullptr;
}

void Walk(ReadContext& ctx, GMimeObject* object, int depth) {
  // Bounds for hostile input: nesting depth and number of parts.
  if (object == nullptr || !ctx.error.ok() || depth > 40 || ++ctx.leaves > 5000) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    if (g_mime_multipart_get_count(multipart) == 0) {
      RecoverMultipart(ctx, multipart, depth);
      return;
    }
    if (MimeType(object) == "multipart/alternative") {
      Walk(ctx, ChooseAlternative(multipart), depth + 1);
      return;
    }
    int n = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < n && ctx.error.ok(); ++i) Walk(ctx, g_mime_multipart_get_part(multipart, i), depth + 1);
    return;
  }
  WalkLeaf(ctx, object, depth == 0);
}

}  // namespace

Status WalkMessageParts(FileSystem& fs, const std::string& folder, GMimeObject* root, MessageParts* parts,
                        const std::string* root_body) {
  ReadContext ctx{fs, folder};
  ctx.root_body = root_body;
  Walk(ctx, root, 0);
  if (!ctx.error.ok()) {
    // The read's failure is what is reported; a stray attachment copy in
    // the reception folder is no message.
    for (const std::string& f : ctx.files) (void)fs.RemoveFile(f);
    return ctx.error;
  }
  parts->plain = std::move(ctx.body);
  parts->has_plain = ctx.have_plain;
  parts->html = std::move(ctx.html);
  parts->has_html = ctx.have_html;
  parts->files = std::move(ctx.files);
  parts->broken_and_empty = ctx.broken && IsBlank(parts->plain) && IsBlank(parts->html) && parts->files.empty();
  return Status::OK();
}

}  // namespace kelmora
