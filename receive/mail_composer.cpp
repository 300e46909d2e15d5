#include "receive/mail_composer.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <random>

#include "receive/local_host_name.h"
#include "receive/mail_library_init.h"
#include "receive/mime_util.h"
#include "receive/recipient_items.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// ---------------------------------------------------------------------------
// Message-ID

std::string MessageIdDomain(const std::string& from_address) {
  size_t at = from_address.rfind('@');
  if (at != std::string::npos) {
    std::string domain = AsciiLower(from_address.substr(at + 1));
    if (IsDotAtomText(domain)) return domain;
  }
  std::string host = LocalHostName();
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
  // within it and a random salt drawn once per process.
  static std::atomic<unsigned> counter{0};
  static const unsigned long long salt = std::random_device{}() ^ (static_cast<unsigned long long>(getpid()) << 20);
  const long long micros = clock.EpochMicros();
  char unique[96];
  snprintf(unique, sizeof unique, "%llx.%x.%x.%llx", static_cast<unsigned long long>(micros),
           static_cast<unsigned>(getpid()), counter.fetch_add(1) + 1, salt & 0xFFFFFFFFULL);
  return kept.empty() ? std::string(unique) : kept + "." + unique;
}

// ---------------------------------------------------------------------------
// Building

std::string MimeTypeForFile(const std::string& name) {
  // Text files go as opaque data too: their charset is unknown (often code
  // page 932), and a text/* part invites charset guessing and line-end
  // conversion on the way.
  static const std::map<std::string, std::string> kTypes = {
      {".jpg", "image/jpeg"},       {".jpeg", "image/jpeg"},
      {".png", "image/png"},        {".gif", "image/gif"},        {".pdf", "application/pdf"},
      {".zip", "application/zip"},  {".doc", "application/msword"},
      {".xls", "application/vnd.ms-excel"},
      {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
  };
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    auto it = kTypes.find(AsciiLower(name.substr(dot)));
    if (it != kTypes.end()) return it->second;
  }
  return "application/octet-stream";
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

std::string SerializeMessage(GMimeMessage* message) {
  GByteArray* array = g_byte_array_new();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  g_mime_object_write_to_stream(GMIME_OBJECT(message), options, stream.get());
  g_mime_format_options_free(options);
  std::string out(reinterpret_cast<const char*>(array->data), array->len);
  // Every part is 7-bit after encoding, so making each line end CR LF here
  // cannot change content; SMTP needs CR LF throughout.
  return ToCrLf(out);
}

}  // namespace

std::string ComposeMail(FileSystem& fs, const Clock& clock, const std::string& recipients, const std::string& from,
                        const std::string& subject, const std::string& body, const std::string& attachments,
                        ComposedMail* mail) {
  EnsureMailLibrariesInitialized();
  RecipientItems r = ParseRecipientItems(recipients);

  GMimeParserOptions* parser_options = g_mime_parser_options_new();
  std::string from_text = SanitizeUtf8(OneLine(from));
  GPtr<InternetAddressList> from_list(internet_address_list_parse(parser_options, from_text.c_str()));
  g_mime_parser_options_free(parser_options);
  std::string from_name, from_addr;
  if (from_list && internet_address_list_length(from_list.get()) > 0) {
    InternetAddress* a = internet_address_list_get_address(from_list.get(), 0);
    if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      const char* n = internet_address_get_name(a);
      from_name = n ? n : "";
      from_addr = BareAddress(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)));
    }
  }
  if (from_addr.empty()) return "invalid sender address <" + SanitizeUtf8(OneLine(from)) + ">";

  GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
  GMimeObject* object = GMIME_OBJECT(message.get());
  GPtr<InternetAddress> sender(internet_address_mailbox_new(from_name.c_str(), from_addr.c_str()));
  internet_address_list_add(g_mime_message_get_from(message.get()), sender.get());
  InternetAddressList* to = g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO);
  if (r.visible_group || r.visible.empty()) {
    std::string name = r.visible_group ? r.group_name : "undisclosed-recipients";
    internet_address_list_add(to, GPtr<InternetAddress>(internet_address_group_new(name.c_str())).get());
  }
  for (const std::string& v : r.visible)
    internet_address_list_add(to, GPtr<InternetAddress>(internet_address_mailbox_new("", v.c_str())).get());

  g_mime_message_set_subject(message.get(), SanitizeUtf8(OneLine(subject)).c_str(), "utf-8");
  GDateTime* now = g_date_time_new_from_unix_local(clock.EpochMicros() / 1000000);
  g_mime_message_set_date(message.get(), now);
  g_date_time_unref(now);
  std::string message_id = MessageIdLocalPart(clock, r.message_id_text) + "@" + MessageIdDomain(from_addr);
  g_mime_message_set_message_id(message.get(), message_id.c_str());
  for (const auto& h : r.headers) {
    g_mime_object_append_header(object, h.first.c_str(), OneLine(h.second).c_str(), "utf-8");
  }

  // Text in canonical form: CR LF line ends, UTF-8.
  std::string text = ToCrLf(SanitizeUtf8(body));
  bool seven_bit = FitsSevenBit(text);
  GPtr<GMimePart> text_part(NewPart("text", "plain", text,
                                    seven_bit ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_BASE64));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(text_part.get()), "charset",
                                           seven_bit ? "us-ascii" : "utf-8");

  std::vector<std::string> paths;
  for (const std::string& p : Split(attachments, "\t")) {
    std::string path = Trim(OneLine(p));
    if (!path.empty()) paths.push_back(path);
  }
  if (paths.empty()) {
    g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(text_part.get()));
  } else {
    GPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text_part.get()));
    for (const std::string& path : paths) {
      std::string bytes;
      Status s = fs.ReadFile(path, &bytes);
      if (!s.ok()) return "cannot read attachment " + SanitizeUtf8(path) + ": " + s.message();
      std::string type = MimeTypeForFile(path);
      size_t slash = type.find('/');
      GPtr<GMimePart> part(
          NewPart(type.substr(0, slash), type.substr(slash + 1), bytes, GMIME_CONTENT_ENCODING_BASE64));
      g_mime_part_set_filename(part.get(), SanitizeUtf8(BaseName(path)).c_str());
      g_mime_multipart_add(mixed.get(), GMIME_OBJECT(part.get()));
    }
    g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
  }

  mail->mail_from = from_addr;
  mail->envelope = r.envelope;
  mail->invalid = r.invalid;
  mail->message = SerializeMessage(message.get());
  mail->message_id = message_id;
  mail->save_folder = r.save_folder;
  return "";
}

}  // namespace kelmora
