// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mail_reader.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/delivery_report.h"
#include "mime/mail_library_init.h"
#include "mime/mime_repair.h"
#include "mime/mime_stream.h"
#include "mime/mime_util.h"
#include "mime/mime_walk.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// To and From values

std::string CleanDisplayName(std::string name) {
  name = Trim(OneLine(name));
  name = ReplaceAll(name, "\\\"", "\"");
  if (Contains(name, "@")) {
    name = ReplaceAll(name, "<", "\xEF\xBC\x9C");  // ＜
    name = ReplaceAll(name, ">", "\xEF\xBC\x9E");  // ＞
  }
  return name;
}

std::string CleanAddress(std::string addr) {
  addr = Trim(OneLine(addr));
  addr.erase(std::remove_if(addr.begin(), addr.end(), [](char c) { return c == '<' || c == '>' || c == ' '; }),
             addr.end());
  return addr;
}

std::string MailboxValue(InternetAddress* address) {
  const char* raw_name = internet_address_get_name(address);
  std::string name = raw_name ? SanitizeUtf8(raw_name) : "";
  // GMime leaves encoded-words it does not recognise (odd placements) alone.
  if (Contains(name, "=?")) name = DecodeHeaderText(name);
  name = CleanDisplayName(name);
  const char* raw_addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
  std::string addr = CleanAddress(raw_addr ? SanitizeUtf8(raw_addr) : "");
  if (name.empty()) return "<" + addr + ">";
  return "\"" + name + "\" <" + addr + ">";
}

// The first mailbox of a list, looking into groups; for an empty group its
// name. `depth` bounds nesting in malformed input.
bool FirstAddressValue(InternetAddressList* list, int depth, std::string* value) {
  if (list == nullptr || depth > 8) return false;
  int n = internet_address_list_length(list);
  for (int i = 0; i < n; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      *value = MailboxValue(address);
      return true;
    }
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      InternetAddressList* members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address));
      if (FirstAddressValue(members, depth + 1, value)) return true;
      if (value->empty()) {
        const char* raw_name = internet_address_get_name(address);
        std::string name = CleanDisplayName(raw_name ? SanitizeUtf8(raw_name) : "");
        if (!name.empty()) *value = "\"" + name + "\"";
      }
    }
  }
  return !value->empty();
}

std::string AddressItem(GMimeObject* message, const char* header, GMimeParserOptions* options) {
  const char* raw = RawHeader(message, header);
  if (raw == nullptr) return "";
  std::string normalized = NormalizeAddressHeader(raw);
  GPtr<InternetAddressList> list(internet_address_list_parse(options, normalized.c_str()));
  std::string value;
  if (FirstAddressValue(list.get(), 0, &value)) return value;
  // Nothing GMime could read as an address: hand on the text itself.
  return Trim(OneLine(DecodeHeaderText(raw)));
}

// Every mailbox of a list, groups opened, in order. `depth` bounds nesting
// in malformed input.
void AllAddressValues(InternetAddressList* list, int depth, std::vector<std::string>* values) {
  if (list == nullptr || depth > 8) return;
  const int n = internet_address_list_length(list);
  for (int i = 0; i < n; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) values->push_back(MailboxValue(address));
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      AllAddressValues(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), depth + 1, values);
    }
  }
}

// Every mailbox of the To and Cc headers, read as the To field is.
void ReadRecipients(GMimeObject* message, GMimeParserOptions* options, std::vector<Addressee>* recipients) {
  for (const char* header : {"To", "Cc"}) {
    const char* raw = RawHeader(message, header);
    if (raw == nullptr) continue;
    GPtr<InternetAddressList> list(internet_address_list_parse(options, NormalizeAddressHeader(raw).c_str()));
    std::vector<std::string> values;
    AllAddressValues(list.get(), 0, &values);
    for (const std::string& v : values) {
      Addressee a{ExtractAddress(v, "<", ">"), DisplayName(v)};
      // An empty group names nobody to write to.
      if (!a.address.empty()) recipients->push_back(std::move(a));
    }
  }
}

// The values of every header `name` carries, unfolded, decoded and trimmed,
// in order.
std::vector<std::string> HeaderValues(GMimeObject* object, const char* name) {
  std::vector<std::string> values;
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  if (headers == nullptr) return values;
  const std::string wanted = AsciiLower(name);
  const int n = g_mime_header_list_get_count(headers);
  for (int i = 0; i < n; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
    const char* header_name = g_mime_header_get_name(header);
    if (header_name == nullptr || AsciiLower(header_name) != wanted) continue;
    const char* raw = g_mime_header_get_raw_value(header);
    values.push_back(raw ? Trim(OneLine(DecodeHeaderText(raw))) : std::string());
  }
  return values;
}

// The first header `name`, "" when there is none.
std::string FirstHeaderValue(GMimeObject* object, const char* name) {
  std::vector<std::string> values = HeaderValues(object, name);
  return values.empty() ? std::string() : std::move(values.front());
}

// The headers that tell automatic mail, lists and loops apart.
void ReadControlHeaders(GMimeObject* object, ReceivedMail* mail) {
  mail->AutoSubmitted = FirstHeaderValue(object, "Auto-Submitted");
  mail->Precedence = FirstHeaderValue(object, "Precedence");
  mail->ListId = FirstHeaderValue(object, "List-Id");
  const std::vector<std::string> return_paths = HeaderValues(object, "Return-Path");
  mail->HasReturnPath = !return_paths.empty();
  if (mail->HasReturnPath) mail->ReturnPath = return_paths.front();
  for (const std::string& v : HeaderValues(object, "X-Loop")) {
    // An empty first value leaves no TAB in front of the next.
    mail->XLoop += (mail->XLoop.empty() ? "" : "\t") + v;
  }
  mail->MessageId = FirstHeaderValue(object, "Message-ID");
  mail->References = FirstHeaderValue(object, "References");
  mail->InReplyTo = FirstHeaderValue(object, "In-Reply-To");
}

// The address and display name of a To or From header.
void ReadAddressHeader(GMimeObject* object, const char* header, GMimeParserOptions* options, std::string* address,
                       std::string* name) {
  const std::string value = AddressItem(object, header, options);
  *address = ExtractAddress(value, "<", ">");
  *name = DisplayName(value);
}

bool HasDotDotComponent(const std::string& name) {
  for (const std::string& part : Split(ReplaceAll(name, "\\", "/"), "/")) {
    if (part == "..") return true;
  }
  return false;
}

// The message file as the parser reads it: in pieces, never held whole, with
// the line breaks it lacks put in (mime_repair.h) by a first pass.
struct MessageSource {
  GPtr<GMimeStream> file;      // owns the descriptor the others read
  GPtr<GMimeStream> repaired;  // null when nothing had to be put in
  GMimeStream* stream() const { return repaired ? repaired.get() : file.get(); }
};

Status OpenMessageSource(const FileSystem& fs, const std::string& path, MessageSource* source) {
  Status s;
  source->file = OpenFileStream(fs, path, &s);
  if (!source->file) return s;
  MessageRepairScanner scanner;
  s = ReadInPieces(source->file.get(), [&](std::string_view piece) {
    scanner.Feed(piece);
    return Status::OK();
  });
  if (!s.ok()) return s;
  g_mime_stream_reset(source->file.get());
  source->repaired = WithLineBreaks(source->file.get(), scanner.Finish());
  return Status::OK();
}

// The body of a top multipart in which no part was found, exactly as it
// stands: the parser keeps it only up to its first NUL byte.
Status ReadBodyAfterHeader(GMimeStream* stream, gint64 header_end, std::string* body) {
  GPtr<GMimeStream> rest(g_mime_stream_substream(stream, header_end, -1));
  Status s = ReadInPieces(rest.get(), [&](std::string_view piece) {
    body->append(piece);
    return Status::OK();
  });
  // The empty line that ends the header.
  body->erase(0, StartsWith(*body, "\r\n") ? 2 : StartsWith(*body, "\n") ? 1 : 0);
  return s;
}

struct ParserOptionsFree {
  void operator()(GMimeParserOptions* options) const { g_mime_parser_options_free(options); }
};

// The parsed message with the parser that read it (which knows where the
// header ended) and the options its headers are decoded with.
struct ParsedMessage {
  GPtr<GMimeParser> parser;
  std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options;
  GPtr<GMimeMessage> message;  // null when the text is no mail message
};

ParsedMessage ParseMessage(GMimeStream* stream) {
  ParsedMessage parsed;
  parsed.parser.reset(g_mime_parser_new_with_stream(stream));
  g_mime_parser_set_format(parsed.parser.get(), GMIME_FORMAT_MESSAGE);
  parsed.options.reset(g_mime_parser_options_new());
  const char* fallback[] = {"UTF-8", "CP932", nullptr};
  g_mime_parser_options_set_fallback_charsets(parsed.options.get(), fallback);
  parsed.message.reset(g_mime_parser_construct_message(parsed.parser.get(), parsed.options.get()));
  return parsed;
}

// Everything the header says: the addresses, the subject, the headers the
// rules look at, every recipient, and a delivery report's status.
void ReadHeaders(const ParsedMessage& parsed, ReceivedMail* read) {
  GMimeObject* object = GMIME_OBJECT(parsed.message.get());
  GMimeParserOptions* options = parsed.options.get();
  ReadAddressHeader(object, "To", options, &read->ToAddress, &read->ToName);
  ReadAddressHeader(object, "From", options, &read->FromAddress, &read->FromName);
  const char* raw_subject = RawHeader(object, "Subject");
  if (raw_subject != nullptr) read->Subject = OneLine(DecodeHeaderText(raw_subject));
  ReadControlHeaders(object, read);
  ReadRecipients(object, options, &read->Recipients);
  read->DeliveryStatus = ParseDeliveryStatus(DeliveryStatusText(g_mime_message_get_mime_part(parsed.message.get())));
}

// The body as text (the plain part, else the HTML part as text) and the
// attachments, saved into `folder`.
Status ReadContent(FileSystem& fs, const std::string& folder, const std::string& path, GMimeStream* stream,
                   const ParsedMessage& parsed, ReceivedMail* read) {
  GMimeObject* top = g_mime_message_get_mime_part(parsed.message.get());
  std::string top_body;
  const bool partless = top != nullptr && GMIME_IS_MULTIPART(top) && g_mime_multipart_get_count(GMIME_MULTIPART(top)) == 0;
  if (partless) {
    Status s = ReadBodyAfterHeader(stream, g_mime_parser_get_headers_end(parsed.parser.get()), &top_body);
    if (!s.ok()) return Status::IOError("ReadMail: cannot read " + path + ": " + s.message());
  }
  MessageParts parts;
  Status s = WalkMessageParts(fs, folder, top, &parts, partless ? &top_body : nullptr);
  if (!s.ok()) return s;
  if (parts.broken_and_empty) {
    return Status::Corrupt("ReadMail: " + path +
                           ": the MIME structure is broken (no part boundary found) and nothing readable is left");
  }
  read->Body = parts.has_plain ? std::move(parts.plain)
                               : parts.has_html ? ToCrLf(HtmlToText(parts.html), true) : std::string();
  for (std::string& f : parts.files) read->AttachmentFiles.push_back(std::move(f));
  return Status::OK();
}

}  // namespace

Status ReadMailFile(FileSystem& fs, const std::string& name, const std::string& folder, ReceivedMail* mail) {
  EnsureMailLibrariesInitialized();
  std::string path = JoinPath(folder, name);
  if (Trim(name).empty() || HasDotDotComponent(name)) {
    return Status::InvalidArgument("ReadMail: invalid message name <" + name + ">");
  }
  MessageSource source;
  Status s = OpenMessageSource(fs, path, &source);
  if (!s.ok()) return Status::IOError("ReadMail: cannot read " + path + ": " + s.message());
  const ParsedMessage parsed = ParseMessage(source.stream());
  if (!parsed.message) return Status::Corrupt("ReadMail: " + path + " is not a mail message");
  ReceivedMail read;
  read.StoredName = name;
  ReadHeaders(parsed, &read);
  s = ReadContent(fs, folder, path, source.stream(), parsed, &read);
  if (!s.ok()) return s;
  *mail = std::move(read);
  return Status::OK();
}

}  // namespace kelmora
