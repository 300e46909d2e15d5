// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mail_composer.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <random>
#include <set>

#include <magic.h>

#include "mime/header_encoder.h"
#include "mime/local_host_name.h"
#include "mime/mail_library_init.h"
#include "mime/mime_stream.h"
#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// ---------------------------------------------------------------------------
// Message-ID

std::string MessageIdDomain(const Clock& clock, const std::string& from_address) {
  size_t at = from_address.rfind('@');
  if (at != std::string::npos) {
    std::string domain = AsciiLower(from_address.substr(at + 1));
    if (IsDotAtomText(domain)) return domain;
  }
  std::string host = HostNameAsDotAtom(clock.HostName());
  return host == "localhost" ? "localhost.localdomain" : host;
}

std::string MessageIdLocalPart(const Clock& clock, const std::string& text) {
  // The caller's text, kept to letters, digits and "-", "_", "." so that the
  // Message-ID stays a valid dot-atom.
  std::string kept;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') {
      kept += c;
    } else if (c == '.' && !kept.empty() && kept.back() != '.') {
      kept += c;
    }
  }
  while (!kept.empty() && kept.back() == '.') kept.pop_back();
  if (kept.size() > 64) kept.resize(64);

  // Unique across processes and hosts: the time, this process, a count
  // within it and a random salt.
  static std::atomic<unsigned> counter{0};
  const unsigned long long salt = clock.Random();
  const long long micros = clock.EpochMicros();
  char unique[96];
  snprintf(unique, sizeof unique, "%llx.%x.%x.%llx", static_cast<unsigned long long>(micros),
           static_cast<unsigned>(clock.ProcessId()), counter.fetch_add(1) + 1, salt & 0xFFFFFFFFULL);
  return kept.empty() ? std::string(unique) : kept + "." + unique;
}

// ---------------------------------------------------------------------------
// Building

// libmagic names the type; text gets its charset from a check of its bytes,
// since libmagic has no name for code page 932 text ("unknown-8bit").
std::string TextCharset(const std::string& bytes, const char* magic_encoding) {
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return "us-ascii";
  if (SanitizeUtf8(bytes) == bytes) return "utf-8";
  std::string decoded;
  if (IconvToUtf8(bytes, "CP932", &decoded) && decoded.find("\xEF\xBF\xBD") == std::string::npos) return "Shift_JIS";
  std::string e = magic_encoding ? AsciiLower(magic_encoding) : "";
  if (e.empty() || e == "binary" || e == "unknown-8bit") return "";
  return e;
}

// Sets a header's value as written here, folding included: the MIME library
// would trim blanks and re-encode. Replaces a header of that name.
void SetRawHeader(GMimeObject* object, const char* name, const std::string& value) {
  g_mime_object_set_header(object, name, "x", nullptr);
  GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
  if (header == nullptr) return;
  const std::string raw = " " + ReplaceAll(value, "\r\n", "\n") + "\n";
  g_mime_header_set_raw_value(header, raw.c_str());
}

// Values taken from received mail (Message-IDs) or built by the program,
// kept to printable ASCII on one line.
std::string HeaderValue(const std::string& value) {
  std::string out;
  for (char c : Trim(OneLine(value))) {
    unsigned char u = static_cast<unsigned char>(c);
    out += (u > 0x20 && u < 0x7F) ? c : ' ';
  }
  return Trim(out);
}

// The "<id>" tokens of a Message-ID list; anything else is dropped, so a
// broken References header of a request never breaks the reply.
std::string MessageIdList(const std::string& value, size_t keep_last) {
  std::vector<std::string> ids;
  const std::string v = HeaderValue(value);
  for (size_t i = v.find('<'); i != std::string::npos; i = v.find('<', i + 1)) {
    size_t close = v.find('>', i);
    if (close == std::string::npos) break;
    std::string id = v.substr(i, close - i + 1);
    if (id.find(' ') == std::string::npos && id.find('@') != std::string::npos && id.rfind('<') == 0) ids.push_back(id);
  }
  if (ids.size() > keep_last) ids.erase(ids.begin(), ids.end() - static_cast<long>(keep_last));
  // One id per line: ids hold no blanks, so this is the only way to fold.
  return Join(ids, "\r\n ");
}

void SetProgramHeaders(GMimeObject* object, const ProgramHeaders& h) {
  auto put = [&](const char* name, const std::string& value) {
    if (!value.empty()) SetRawHeader(object, name, value);
  };
  put("List-Id", HeaderValue(h.list_id));
  put("List-Post", HeaderValue(h.list_post));
  put("List-Unsubscribe", HeaderValue(h.list_unsubscribe));
  put("X-Loop", HeaderValue(h.x_loop));
  put("Precedence", HeaderValue(h.precedence));
  put("Auto-Submitted", HeaderValue(h.auto_submitted));
  put("In-Reply-To", MessageIdList(h.in_reply_to, 1));
  // The last ids are the closest to this message; a long thread is cut.
  put("References", MessageIdList(h.references, 20));
}

GMimePart* NewPart(const std::string& media, const std::string& sub, const std::string& bytes,
                   GMimeContentEncoding encoding) {
  GMimePart* part = g_mime_part_new_with_type(media.c_str(), sub.c_str());
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, encoding);
  return part;
}

bool FitsSevenBit(const std::string& text) {
  size_t line = 0;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || u == 0) return false;
    if (c == '\n') {
      line = 0;
    } else if (++line > 900) {
      return false;
    }
  }
  return true;
}

// The message as sent: every line ending in CR LF, as SMTP needs. Written
// twice, once to count and once into a string of exactly that size, so that
// a message with a large attachment is held once, not several times over.
Status SerializeMessage(GMimeMessage* message, std::string* out) {
  CountingSink counter;
  CrLfSink count_crlf(counter);
  Status s = WriteWithCrLfTo(GMIME_OBJECT(message), count_crlf);
  if (s.ok()) s = count_crlf.Finish();
  if (!s.ok()) return s;
  out->clear();
  out->reserve(counter.count());
  StringSink into(out);
  CrLfSink crlf(into);
  s = WriteWithCrLfTo(GMIME_OBJECT(message), crlf);
  return s.ok() ? crlf.Finish() : s;
}

// Attachments from this size on are read from their file while the message
// is written instead of being loaded first; smaller ones are loaded, so
// that a message with many small files does not hold a descriptor each.
constexpr size_t kStreamedAttachmentBytes = 1 << 20;

// How an attached message (a .eml file: the reader saves attached messages
// so) can travel: RFC 2046 allows only 7bit, 8bit or binary for
// message/rfc822, and SMTP carries only the first two. So it goes as
// message/rfc822 (message/global when its header holds UTF-8) when it
// begins with a header field and its lines are CR LF lines of at most 998
// bytes without NUL; anything else cannot travel as a message and goes as a
// file in base64.
struct MessageForm {
  bool is_message = false;
  bool eight_bit = false;
  bool global = false;
};

bool LooksLikeHeaderStart(std::string_view head) {
  size_t i = 0;
  while (i < head.size() && head[i] > ' ' && head[i] < 0x7F && head[i] != ':') ++i;
  return i > 0 && i < head.size() && head[i] == ':';
}

Status ScanFile(const FileSystem& fs, const std::string& path, const std::function<void(std::string_view)>& piece) {
  Status s;
  GPtr<GMimeStream> stream = OpenFileStream(fs, path, &s);
  if (!stream) return s;
  return ReadInPieces(stream.get(), [&](std::string_view p) {
    piece(p);
    return Status::OK();
  });
}

MessageForm MessageFormOf(const FileSystem& fs, const std::string& path, const std::string& head) {
  MessageForm form;
  if (!EndsWith(AsciiLower(path), ".eml") || !LooksLikeHeaderStart(head)) return form;
  bool fits = true, eight_bit = false, header_eight_bit = false, in_header = true;
  size_t line = 0;
  char previous = '\n';
  std::string header_bytes;
  Status s = ScanFile(fs, path, [&](std::string_view p) {
    for (char c : p) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u == 0 || (c == '\n' && previous != '\r') || (previous == '\r' && c != '\n')) fits = false;
      if (u >= 0x80) {
        eight_bit = true;
        if (in_header) header_eight_bit = true;
      }
      if (in_header && header_bytes.size() < (64u << 10)) header_bytes += c;
      if (c == '\n') {
        if (line == 1) in_header = false;  // an empty line (its CR counted)
        line = 0;
      } else if (++line > 999) {
        fits = false;  // 998 bytes and the CR
      }
      previous = c;
    }
  });
  // The last line may end without a line break: the one before the
  // boundary that follows belongs to the boundary.
  if (!s.ok() || !fits || previous == '\r') return form;
  form.is_message = true;
  form.eight_bit = eight_bit;
  form.global = header_eight_bit && SanitizeUtf8(header_bytes) == header_bytes;
  return form;
}

// The content of an attachment file: read as the message is written when
// it is large, else loaded now.
Status AttachmentStream(FileSystem& fs, const std::string& path, size_t size_hint, GPtr<GMimeStream>* stream) {
  Status s;
  if (size_hint >= kStreamedAttachmentBytes) {
    *stream = OpenFileStream(fs, path, &s);
    return s;
  }
  std::string bytes;
  s = fs.ReadFile(path, &bytes);
  if (s.ok()) stream->reset(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  return s;
}

GMimePart* NewStreamPart(const std::string& media, const std::string& sub, GMimeStream* stream,
                         GMimeContentEncoding encoding) {
  GMimePart* part = g_mime_part_new_with_type(media.c_str(), sub.c_str());
  GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, encoding);
  return part;
}

// Adds the file at `path` to `mixed` as an attachment.
Status AddAttachment(FileSystem& fs, const std::string& path, GMimeMultipart* mixed) {
  // The start tells the type; the whole file is only loaded when small.
  std::string head;
  Status s = fs.ReadFileHead(path, kStreamedAttachmentBytes, &head);
  if (!s.ok()) return Status::IOError("cannot read attachment " + SanitizeUtf8(path) + ": " + s.message());
  std::string content_type = AttachmentContentType(head);
  std::string type = content_type.substr(0, content_type.find(';'));
  if (head.size() >= kStreamedAttachmentBytes && StartsWith(type, "text/")) {
    // A large text: its charset is judged on the whole of it.
    std::string whole;
    s = fs.ReadFile(path, &whole);
    if (!s.ok()) return Status::IOError("cannot read attachment " + SanitizeUtf8(path) + ": " + s.message());
    content_type = AttachmentContentType(whole);
    type = content_type.substr(0, content_type.find(';'));
  }
  GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_BASE64;
  const MessageForm form = MessageFormOf(fs, path, head);
  if (form.is_message) {
    content_type = type = form.global ? "message/global" : "message/rfc822";
    encoding = form.eight_bit ? GMIME_CONTENT_ENCODING_8BIT : GMIME_CONTENT_ENCODING_7BIT;
  }
  GPtr<GMimeStream> stream;
  s = AttachmentStream(fs, path, head.size(), &stream);
  if (!s.ok() || !stream) return Status::IOError("cannot read attachment " + SanitizeUtf8(path) + ": " + s.message());
  const size_t slash = type.find('/');
  GPtr<GMimePart> part(NewStreamPart(type.substr(0, slash), type.substr(slash + 1), stream.get(), encoding));
  const std::string name = SanitizeUtf8(OneLine(BaseName(path)));
  GMimeObject* part_object = GMIME_OBJECT(part.get());
  if (IsPlainAscii(name)) {
    const size_t eq = content_type.find("charset=");
    if (eq != std::string::npos) {
      g_mime_object_set_content_type_parameter(part_object, "charset", content_type.substr(eq + 8).c_str());
    }
    g_mime_part_set_filename(part.get(), name.c_str());
  } else {
    // The library would cut the name's segments inside a character.
    SetRawHeader(part_object, "Content-Type", content_type + Rfc2231Parameter("name", name));
    SetRawHeader(part_object, "Content-Disposition", "attachment" + Rfc2231Parameter("filename", name));
  }
  g_mime_multipart_add(mixed, part_object);
  return Status::OK();
}

}  // namespace

std::string AttachmentContentType(const std::string& bytes) {
  const std::string fallback = "application/octet-stream";
  magic_t cookie = magic_open(MAGIC_MIME_TYPE);
  if (cookie == nullptr) return fallback;
  std::string type, encoding;
  if (magic_load(cookie, nullptr) == 0) {
    // The start of a file tells its type; a large file need not be read twice.
    const size_t n = std::min<size_t>(bytes.size(), 1 << 20);
    const char* t = magic_buffer(cookie, bytes.data(), n);
    if (t) type = t;
    magic_setflags(cookie, MAGIC_MIME_ENCODING);
    const char* e = magic_buffer(cookie, bytes.data(), n);
    if (e) encoding = e;
  }
  magic_close(cookie);
  if (bytes.empty()) type = "text/plain";
  if (type.empty() || type.find('/') == std::string::npos || type.find_first_of(" ;\"") != std::string::npos) {
    return fallback;
  }
  // Header text (a report's returned header, a saved message) is sent as
  // the text it is: a message type would need a whole message in 7bit or
  // 8bit, which only .eml files are checked for.
  if (StartsWith(type, "message/")) type = "text/plain";
  if (StartsWith(type, "text/")) {
    const std::string charset = TextCharset(bytes, encoding.c_str());
    if (charset.empty()) return fallback;
    if (type != "text/html") type = "text/plain";
    return type + "; charset=" + charset;
  }
  return type;
}

namespace {

// Whom a message is shown to and delivered to.
struct Addressees {
  bool group = false;                 // To shows an empty group
  std::string group_name;
  std::vector<std::string> visible;   // addresses shown in To
  std::vector<std::string> envelope;  // everyone to deliver to, no duplicates
  std::vector<std::string> invalid;   // entries that are no address
};

Addressees ReadAddressees(const OutgoingMessage& m) {
  Addressees r;
  std::set<std::string> seen;  // lower-cased envelope addresses
  // Line breaks inside an entry (a stray CR LF from a data file) are blanks.
  auto clean = [](const std::string& text) { return Trim(OneLine(Trim(text))); };
  auto deliver = [&](const std::string& entry) -> std::string {
    const std::string addr = BareAddress(entry);
    if (addr.empty()) {
      r.invalid.push_back(SanitizeUtf8(entry));
    } else if (seen.insert(AsciiLower(addr)).second) {
      r.envelope.push_back(addr);
    }
    return addr;
  };
  for (size_t i = 0; i < m.to.size(); ++i) {
    const std::string entry = clean(m.to[i].address);
    if (entry.empty()) {
      if (i == 0) {
        r.group = true;
        r.group_name = SanitizeUtf8(clean(m.to[i].name));
        if (r.group_name.empty()) r.group_name = "undisclosed-recipients";
      }
      continue;
    }
    const std::string addr = deliver(entry);
    if (addr.empty()) continue;
    bool shown = false;
    for (const std::string& v : r.visible) shown = shown || AsciiLower(v) == AsciiLower(addr);
    if (!shown) r.visible.push_back(addr);
  }
  for (const std::string& b : m.bcc) {
    const std::string entry = clean(b);
    if (!entry.empty()) deliver(entry);
  }
  if (r.visible.empty() && !r.group) {
    r.group = true;
    r.group_name = "undisclosed-recipients";
  }
  return r;
}

// "To: Name <addr>" with the name encoded as RFC 2047 needs it.
std::string NamedToHeader(const std::string& name, const std::string& address) {
  InternetAddressList* list = internet_address_list_new();
  InternetAddress* a = internet_address_mailbox_new(name.c_str(), address.c_str());
  internet_address_list_add(list, a);
  g_object_unref(a);
  char* text = internet_address_list_to_string(list, nullptr, TRUE);
  std::string out = std::string("To: ") + (text ? text : address);
  g_free(text);
  g_object_unref(list);
  return out;
}

// Replaces the To header of a composed message (CR LF line ends).
std::string WithToHeader(const std::string& message, const std::string& header) {
  const size_t head_end = message.find("\r\n\r\n");
  size_t pos = 0;
  while (pos < head_end) {
    size_t end = message.find("\r\n", pos);
    if (message.compare(pos, 3, "To:") == 0) {
      size_t stop = end;
      while (stop + 2 < message.size() && (message[stop + 2] == ' ' || message[stop + 2] == '\t'))
        stop = message.find("\r\n", stop + 2);
      return message.substr(0, pos) + header + message.substr(stop);
    }
    pos = end + 2;
  }
  return message;
}

// The first mailbox of the From text: its display name and bare address
// (empty when there is none).
void ReadSender(const std::string& from, std::string* name, std::string* address) {
  GMimeParserOptions* parser_options = g_mime_parser_options_new();
  std::string from_text = SanitizeUtf8(OneLine(from));
  GPtr<InternetAddressList> from_list(internet_address_list_parse(parser_options, from_text.c_str()));
  g_mime_parser_options_free(parser_options);
  if (!from_list || internet_address_list_length(from_list.get()) == 0) return;
  InternetAddress* a = internet_address_list_get_address(from_list.get(), 0);
  if (!INTERNET_ADDRESS_IS_MAILBOX(a)) return;
  const char* n = internet_address_get_name(a);
  *name = n ? n : "";
  *address = BareAddress(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)));
}

void SetAddresses(GMimeMessage* message, const std::string& from_name, const std::string& from_addr,
                  const std::vector<std::string>& visible) {
  GPtr<InternetAddress> sender(internet_address_mailbox_new(from_name.c_str(), from_addr.c_str()));
  internet_address_list_add(g_mime_message_get_from(message), sender.get());
  InternetAddressList* to = g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO);
  for (const std::string& v : visible)
    internet_address_list_add(to, GPtr<InternetAddress>(internet_address_mailbox_new("", v.c_str())).get());
}

// Sets Date and Message-ID; answers the Message-ID.
std::string SetDateAndId(GMimeMessage* message, const Clock& clock, const OutgoingMessage& m,
                         const std::string& from_addr) {
  GDateTime* now = g_date_time_new_from_unix_local(clock.EpochMicros() / 1000000);
  g_mime_message_set_date(message, now);
  g_date_time_unref(now);
  std::string message_id =
      MessageIdLocalPart(clock, Trim(OneLine(m.message_id_text))) + "@" + MessageIdDomain(clock, from_addr);
  g_mime_message_set_message_id(message, message_id.c_str());
  return message_id;
}

// The text in canonical form: CR LF line ends, UTF-8.
GPtr<GMimePart> NewTextPart(const std::string& body) {
  std::string text = ToCrLf(SanitizeUtf8(body));
  bool seven_bit = FitsSevenBit(text);
  GPtr<GMimePart> text_part(
      NewPart("text", "plain", text, seven_bit ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_BASE64));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(text_part.get()), "charset", seven_bit ? "us-ascii" : "utf-8");
  return text_part;
}

// The text alone, or the text and the attachments in a multipart/mixed.
Status SetBody(FileSystem& fs, GMimeMessage* message, GMimePart* text_part,
               const std::vector<std::string>& attachments) {
  std::vector<std::string> paths;
  for (const std::string& p : attachments) {
    std::string path = Trim(OneLine(p));
    if (!path.empty()) paths.push_back(path);
  }
  if (paths.empty()) {
    g_mime_message_set_mime_part(message, GMIME_OBJECT(text_part));
    return Status::OK();
  }
  GPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
  g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text_part));
  for (const std::string& path : paths) {
    Status added = AddAttachment(fs, path, mixed.get());
    if (!added.ok()) return added;
  }
  g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed.get()));
  return Status::OK();
}

// Written by hand, after everything that could make the library rewrite
// them: the library trims the subject's blanks and glues an encoded group
// name to its ":".
void SetRawToAndSubject(GMimeObject* object, const Addressees& r, const std::string& subject) {
  if (r.group) {
    bool encoded = false;
    std::string phrase = EncodePhrase(SanitizeUtf8(OneLine(r.group_name)), 4, &encoded);
    std::string value = phrase + (encoded ? " :;" : ":;");
    // A group and further addresses: the addresses follow the group.
    for (const std::string& v : r.visible) value += ",\r\n " + v;
    SetRawHeader(object, "To", value);
  }
  SetRawHeader(object, "Subject", EncodeUnstructured(SanitizeUtf8(OneLine(subject)), 9));
}

// A display name for the one visible recipient (the local store's profile
// shows the list's name).
void NameTheRecipient(const OutgoingMessage& m, std::string* message) {
  for (const MailRecipient& t : m.to) {
    if (Trim(t.address).empty()) continue;
    if (!t.name.empty() && t.name != t.address) *message = WithToHeader(*message, NamedToHeader(t.name, t.address));
    return;
  }
}

}  // namespace

Status ComposeMail(FileSystem& fs, const Clock& clock, const OutgoingMessage& m, ComposedMail* mail) {
  EnsureMailLibrariesInitialized();
  const Addressees r = ReadAddressees(m);
  ProgramHeaders own;
  // ForEach names only the program's own headers, which Set always takes.
  m.headers.ForEach([&](const std::string& name, const std::string& value) {
    (void)own.Set(name, SanitizeUtf8(Trim(OneLine(value))));
  });
  std::string from_name, from_addr;
  ReadSender(m.from, &from_name, &from_addr);
  if (from_addr.empty()) return Status::InvalidArgument("invalid sender address <" + SanitizeUtf8(OneLine(m.from)) + ">");

  GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
  SetAddresses(message.get(), from_name, from_addr, r.visible);
  const std::string message_id = SetDateAndId(message.get(), clock, m, from_addr);
  SetProgramHeaders(GMIME_OBJECT(message.get()), own);
  GPtr<GMimePart> text_part = NewTextPart(m.body);
  Status body = SetBody(fs, message.get(), text_part.get(), m.attachments);
  if (!body.ok()) return body;
  SetRawToAndSubject(GMIME_OBJECT(message.get()), r, m.subject);

  mail->mail_from = from_addr;
  mail->envelope = r.envelope;
  mail->invalid = r.invalid;
  Status written = SerializeMessage(message.get(), &mail->message);
  if (!written.ok()) return Status::Error("cannot compose the message: " + written.message());
  NameTheRecipient(m, &mail->message);
  mail->message_id = message_id;
  mail->save_folder = Trim(OneLine(m.save_folder));
  return Status::OK();
}

}  // namespace kelmora
