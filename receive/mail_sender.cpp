#include "receive/mail_sender.h"

#include <curl/curl.h>
#include <gmime/gmime.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "receive/mail_library_init.h"
#include "textio/codepage.h"
#include "textio/strings.h"

#include "receive/mime_util.h"

namespace kelmora {
namespace {


// ---------------------------------------------------------------------------
// Recipients

// A bare address from a recipient item ("a@b", "<a@b>", "Name <a@b>"), or
// "" when the item holds none that could be put into an SMTP command.
// Addresses are printable ASCII: servers without SMTPUTF8 refuse others, and
// the message itself stays 7-bit.
std::string BareAddress(const std::string& item) {
  std::string s = Trim(item);
  size_t lt = s.rfind('<');
  size_t gt = s.rfind('>');
  if (lt != std::string::npos && gt != std::string::npos && lt < gt) s = Trim(s.substr(lt + 1, gt - lt - 1));
  if (s.empty() || !IsMailAddress(s)) return "";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' || c == ')' ||
        c == '"')
      return "";
  }
  return s;
}

bool IsForbiddenHeader(const std::string& name) {
  static const std::set<std::string> kForbidden = {"bcc",  "resent-bcc", "to",      "cc",           "from",
                                                   "sender", "date",     "subject", "mime-version", "message-id",
                                                   "return-path"};
  std::string lower = AsciiLower(name);
  return kForbidden.count(lower) > 0 || StartsWith(lower, "content-");
}

bool IsHeaderName(const std::string& name) {
  if (name.empty() || name.size() > 76) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || c == ':') return false;
  }
  return true;
}

struct ParsedRecipients {
  bool visible_group = false;
  std::string group_name;
  std::vector<std::string> visible;  // addresses shown in To
  std::vector<std::string> envelope;
  std::vector<std::string> invalid;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string message_id_text;
  std::string save_folder;
};

ParsedRecipients ParseRecipients(const std::string& recipients) {
  ParsedRecipients r;
  std::set<std::string> seen;  // lower-cased envelope addresses
  auto add_envelope = [&](const std::string& addr) {
    if (seen.insert(AsciiLower(addr)).second) r.envelope.push_back(addr);
  };
  bool blind = false;
  std::vector<std::string> items = Split(recipients, "\t");
  for (size_t i = 0; i < items.size(); ++i) {
    std::string item = Trim(items[i]);
    // Line breaks inside an item (a stray CR LF from a data file) are blanks.
    item = Trim(OneLine(item));
    if (item.empty()) continue;
    if (item[0] == '>') {
      std::string line = item.substr(1);
      if (StartsWith(line, "#save ")) {
        r.save_folder = Trim(line.substr(6));
      } else if (StartsWith(line, "#")) {
        // other program-internal items: nothing to do here
      } else {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = Trim(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (AsciiLower(name) == "message-id") {
          r.message_id_text = value;
        } else if (IsHeaderName(name) && !IsForbiddenHeader(name)) {
          r.headers.emplace_back(name, SanitizeUtf8(value));
        }
      }
      continue;
    }
    if (AsciiLower(item) == "bcc") {
      blind = true;
      continue;
    }
    if (i == 0 && item[0] == '@') {
      r.visible_group = true;
      r.group_name = SanitizeUtf8(Trim(item.substr(1)));
      if (r.group_name.empty()) r.group_name = "undisclosed-recipients";
      continue;
    }
    std::string addr = BareAddress(item);
    if (addr.empty()) {
      r.invalid.push_back(SanitizeUtf8(item));
      continue;
    }
    if (!blind) {
      // The first item and every plain address before "bcc" are shown.
      bool shown = false;
      for (const std::string& v : r.visible) shown = shown || AsciiLower(v) == AsciiLower(addr);
      if (!shown) r.visible.push_back(addr);
    }
    add_envelope(addr);
  }
  return r;
}

// ---------------------------------------------------------------------------
// Message-ID

bool IsDotAtomText(const std::string& s) {
  if (s.empty() || s.front() == '.' || s.back() == '.' || Contains(s, "..")) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
  }
  return true;
}

std::string LocalHostName() {
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  std::string name = AsciiLower(buf);
  return IsDotAtomText(name) ? name : "localhost";
}

std::string MessageIdDomain(const std::string& from_address) {
  size_t at = from_address.rfind('@');
  if (at != std::string::npos) {
    std::string domain = AsciiLower(from_address.substr(at + 1));
    if (IsDotAtomText(domain)) return domain;
  }
  std::string host = LocalHostName();
  return host == "localhost" ? "localhost.localdomain" : host;
}

std::string MessageIdLocalPart(const std::string& text) {
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

  static std::atomic<unsigned> counter{0};
  static const unsigned long long salt = std::random_device{}() ^ (static_cast<unsigned long long>(getpid()) << 20);
  auto now = std::chrono::system_clock::now().time_since_epoch();
  long long micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
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

// ---------------------------------------------------------------------------
// Server strings

struct SmtpServer {
  std::string url;      // what libcurl gets
  std::string display;  // for messages: no password
  bool implicit_tls = false;
};

bool ParseSmtpServer(const std::string& text, SmtpServer* server, std::string* error) {
  std::string s = Trim(text);
  if (s.empty()) {
    *error = "no SMTP server given";
    return false;
  }
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) {
      *error = "SMTP server <" + SanitizeUtf8(OneLine(s)) + "> holds blanks or control characters";
      return false;
    }
  }
  std::string lower = AsciiLower(s);
  std::string scheme = "smtp";
  std::string rest = s;
  size_t sep = s.find("://");
  if (sep != std::string::npos) {
    scheme = lower.substr(0, sep);
    rest = s.substr(sep + 3);
    if (scheme != "smtp" && scheme != "smtps") {
      *error = "SMTP server <" + s + ">: unsupported scheme " + scheme;
      return false;
    }
  }
  std::string authority = rest, path;
  size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    authority = rest.substr(0, slash);
    path = rest.substr(slash + 1);
  }
  std::string userinfo, hostport = authority;
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    userinfo = authority.substr(0, at);
    hostport = authority.substr(at + 1);
  }
  if (hostport.empty()) {
    *error = "SMTP server <" + s + "> names no host";
    return false;
  }
  // A bare IPv6 address ("::1") needs brackets in a URL.
  if (hostport.front() != '[' && std::count(hostport.begin(), hostport.end(), ':') > 1) {
    hostport = "[" + hostport + "]";
  }
  bool has_port = false;
  size_t close = hostport.rfind(']');
  size_t colon = hostport.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    std::string port = hostport.substr(colon + 1);
    bool digits = !port.empty() && port.size() <= 5 &&
                  std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      *error = "SMTP server <" + s + "> has an invalid port";
      return false;
    }
    has_port = true;
  }
  if (hostport.front() == '[' ? close == 1 : colon == 0) {
    *error = "SMTP server <" + s + "> names no host";
    return false;
  }
  if (!has_port) hostport += scheme == "smtps" ? ":465" : ":25";
  if (path.empty()) path = LocalHostName();
  server->implicit_tls = scheme == "smtps";
  server->url = scheme + "://" + (userinfo.empty() ? "" : userinfo + "@") + hostport + "/" + path;
  std::string shown_user = userinfo.substr(0, userinfo.find(':'));
  server->display = scheme + "://" + (shown_user.empty() ? "" : shown_user + "@") + hostport;
  return true;
}

// ---------------------------------------------------------------------------
// One SMTP transaction

struct RcptReply {
  std::string address;
  int code = 0;  // 0: no reply seen
  std::string reply;
};

struct Transaction {
  std::vector<RcptReply> rcpts;
  CURLcode result = CURLE_OK;
  std::string curl_error;
  // The last command whose reply was not positive, and that reply.
  std::string failed_step;
  std::string failed_reply;
  bool data_accepted = false;
  int data_code = 0;
  std::string data_reply;
  bool reached_rcpt = false;

  // Parser state for the debug stream.
  std::string command = "connect";
  std::string reply_lines;
  std::string in_buffer;
  size_t next_rcpt = 0;       // first RCPT without its reply
  size_t rcpts_sent = 0;
  bool after_354 = false;
};

std::string CommandVerb(const std::string& line) {
  std::string upper;
  for (char c : line) {
    if (c == ' ' || c == ':') break;
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  static const std::set<std::string> kVerbs = {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL", "RCPT",
                                               "DATA", "RSET", "QUIT",     "NOOP", "VRFY"};
  return kVerbs.count(upper) ? upper : "";
}

void OnCommandSent(Transaction& t, const std::string& data) {
  for (const std::string& raw : Split(data, "\n")) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string verb = CommandVerb(line);
    if (verb.empty()) {
      // AUTH continuation (credentials): keep the step, never the text.
      continue;
    }
    t.command = verb == "MAIL" ? "MAIL FROM" : verb == "RCPT" ? "RCPT TO" : verb;
    t.after_354 = false;
    if (verb == "RCPT") {
      t.reached_rcpt = true;
      ++t.rcpts_sent;
    }
  }
}

void OnReply(Transaction& t, int code, const std::string& text) {
  if (t.command == "RCPT TO") {
    if (t.next_rcpt < t.rcpts.size()) {
      RcptReply& rr = t.rcpts[t.next_rcpt++];
      rr.code = code;
      rr.reply = text;
      if (code >= 400) {
        t.failed_step = "RCPT TO <" + rr.address + ">";
        t.failed_reply = text;
      }
    }
    return;
  }
  if (t.command == "DATA" && code == 354) {
    t.after_354 = true;
    t.command = "end of data";
    return;
  }
  if (t.command == "end of data") {
    t.data_code = code;
    t.data_reply = text;
    t.data_accepted = code / 100 == 2;
  }
  if (code >= 400 && t.command != "QUIT") {
    t.failed_step = t.command;
    t.failed_reply = text;
  }
}

void OnReplyData(Transaction& t, const std::string& data) {
  t.in_buffer += data;
  size_t nl;
  // Each complete line; the bound keeps a hostile server from growing the
  // buffer forever without line ends.
  while ((nl = t.in_buffer.find('\n')) != std::string::npos) {
    std::string line = t.in_buffer.substr(0, nl);
    t.in_buffer.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = SanitizeUtf8(OneLine(line));
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2])))
      continue;
    if (!t.reply_lines.empty()) t.reply_lines += " ";
    if (t.reply_lines.size() < 1000) t.reply_lines += line;
    bool more = line.size() > 3 && line[3] == '-';
    if (more) continue;
    int code = std::stoi(line.substr(0, 3));
    std::string text = t.reply_lines;
    t.reply_lines.clear();
    OnReply(t, code, text);
  }
  if (t.in_buffer.size() > 65536) t.in_buffer.clear();
}

int DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (user == nullptr) return 0;  // between transactions (the closing QUIT)
  Transaction& t = *static_cast<Transaction*>(user);
  try {
    if (type == CURLINFO_HEADER_OUT) OnCommandSent(t, std::string(data, size));
    else if (type == CURLINFO_HEADER_IN) OnReplyData(t, std::string(data, size));
  } catch (const std::exception&) {
    // Bookkeeping only: a failure here must not break the transfer.
  }
  return 0;
}

struct Upload {
  const std::string* data;
  size_t offset = 0;
};

size_t ReadCallback(char* buffer, size_t size, size_t nitems, void* user) {
  if (user == nullptr) return 0;
  Upload& u = *static_cast<Upload*>(user);
  size_t room = size * nitems;
  size_t n = std::min(room, u.data->size() - u.offset);
  std::copy(u.data->data() + u.offset, u.data->data() + u.offset + n, buffer);
  u.offset += n;
  return n;
}

std::string TransactionFailure(const Transaction& t) {
  if (!t.failed_reply.empty()) return t.failed_step + ": " + t.failed_reply;
  std::string err = t.curl_error.empty() ? curl_easy_strerror(t.result) : t.curl_error;
  return t.command + ": " + err;
}

}  // namespace

std::string ComposeMail(FileSystem& fs, const std::string& recipients, const std::string& from,
                              const std::string& subject, const std::string& body,
                              const std::string& attachments, ComposedMail* mail) {
  EnsureMailLibrariesInitialized();
  ParsedRecipients r = ParseRecipients(recipients);

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
  GDateTime* now = g_date_time_new_now_local();
  g_mime_message_set_date(message.get(), now);
  g_date_time_unref(now);
  std::string message_id = MessageIdLocalPart(r.message_id_text) + "@" + MessageIdDomain(from_addr);
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

MailSender::MailSender(FileSystem& fs, Logger& log, MailOptions options)
    : fs_(fs), log_(log), options_(options) {}

std::string MailSender::SendMail(const std::string& server, const std::string& recipients, const std::string& from,
                                 const std::string& subject, const std::string& body,
                                 const std::string& attachments) {
  try {
    EnsureMailLibrariesInitialized();
    SmtpServer smtp;
    std::string error;
    if (!ParseSmtpServer(server, &smtp, &error)) return "SendMail failed: " + error;
    ComposedMail mail;
    error = ComposeMail(fs_, recipients, from, subject, body, attachments, &mail);
    if (!error.empty()) return "SendMail failed (" + smtp.display + "): " + error;

    // Recipients that did not get the message, with the reason.
    std::vector<std::pair<std::string, std::string>> undelivered;
    for (const std::string& bad : mail.invalid) undelivered.emplace_back(bad, "not a mail address");
    if (mail.envelope.empty()) {
      return "SendMail failed (" + smtp.display + "): no recipient address" +
             (mail.invalid.empty() ? "" : " (invalid: " + mail.invalid.front() + ")");
    }

    CURL* curl = curl_easy_init();
    if (curl == nullptr) return "SendMail failed (" + smtp.display + "): libcurl cannot start";
    std::unique_ptr<CURL, void (*)(CURL*)> handle(curl, curl_easy_cleanup);

    int max_batch = std::max(1, options_.max_recipients_per_transaction);
    std::deque<std::string> pending(mail.envelope.begin(), mail.envelope.end());
    int delivered = 0;
    std::string first_failure;
    // Every round takes at least one recipient out of `pending` for good or
    // delivers to one; 452 refusals go back only after a delivery, so the
    // loop ends. The bound is a second guard.
    size_t rounds = 0;
    const size_t max_rounds = mail.envelope.size() * 2 + 4;
    // After a delivered transaction the next one reuses the connection; a
    // server that ends sessions after some messages then fails it before
    // any RCPT. Such a batch is tried once more on a new connection.
    bool had_success = false;
    bool fresh_connect = false;
    while (!pending.empty() && rounds++ < max_rounds) {
      Transaction t;
      curl_slist* rcpt_list = nullptr;
      for (int k = 0; k < max_batch && !pending.empty(); ++k) {
        RcptReply rr;
        rr.address = pending.front();
        pending.pop_front();
        std::string arg = "<" + rr.address + ">";
        rcpt_list = curl_slist_append(rcpt_list, arg.c_str());
        t.rcpts.push_back(rr);
      }
      std::unique_ptr<curl_slist, void (*)(curl_slist*)> rcpt_owner(rcpt_list, curl_slist_free_all);
      Upload upload{&mail.message, 0};
      char errbuf[CURL_ERROR_SIZE] = {0};
      std::string mail_from = "<" + mail.mail_from + ">";

      curl_easy_setopt(curl, CURLOPT_URL, smtp.url.c_str());
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mail_from.c_str());
      curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt_list);
      curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadCallback);
      curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
      curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(mail.message.size()));
      curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
      curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, DebugCallback);
      curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
      curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connect_timeout_seconds);
      curl_easy_setopt(curl, CURLOPT_TIMEOUT, options_.transfer_timeout_seconds);
      curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.low_speed_bytes);
      curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options_.low_speed_seconds);
      if (!smtp.implicit_tls) {
        curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
        // Opportunistic STARTTLS: better than plain text, which is the only
        // other way to reach such a server.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
      }
      curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, fresh_connect ? 1L : 0L);
      t.result = curl_easy_perform(curl);
      t.curl_error = SanitizeUtf8(OneLine(errbuf));
      curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
      curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
      // `t` and `upload` end with this round; the handle outlives them.
      curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
      curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);

      bool sent = t.result == CURLE_OK || t.data_accepted;
      int accepted_here = 0;
      if (sent) {
        for (const RcptReply& rr : t.rcpts) {
          if (rr.code / 100 == 2 || rr.code == 0) ++accepted_here;
        }
      }
      if (sent && accepted_here > 0) {
        had_success = true;
        fresh_connect = false;
        delivered += accepted_here;
        for (const RcptReply& rr : t.rcpts) {
          if (rr.code / 100 == 2 || rr.code == 0) continue;
          if (rr.code == 452) pending.push_back(rr.address);  // too many: next transaction
          else undelivered.emplace_back(rr.address, rr.reply);
        }
        continue;
      }
      // Nobody in this transaction got the message.
      if (!t.reached_rcpt && had_success && !fresh_connect) {
        fresh_connect = true;
        for (auto it = t.rcpts.rbegin(); it != t.rcpts.rend(); ++it) pending.push_front(it->address);
        continue;
      }
      std::string reason = TransactionFailure(t);
      if (first_failure.empty()) first_failure = reason;
      bool any_rcpt_reply = false;
      for (const RcptReply& rr : t.rcpts) any_rcpt_reply = any_rcpt_reply || rr.code != 0;
      bool all_refused = any_rcpt_reply && t.data_code == 0;
      for (const RcptReply& rr : t.rcpts) {
        bool own_reply = all_refused && rr.code / 100 != 2 && rr.code != 0;
        undelivered.emplace_back(rr.address, own_reply ? rr.reply : reason);
      }
      if (!t.reached_rcpt) {
        // Connection, greeting, EHLO, AUTH or MAIL FROM failed: another
        // transaction would fail the same way.
        for (const std::string& a : pending) undelivered.emplace_back(a, reason);
        pending.clear();
      }
    }
    for (const std::string& a : pending) undelivered.emplace_back(a, "not sent: too many transactions");

    if (delivered == 0) {
      std::string text = "SendMail failed (" + smtp.display + ") ";
      if (first_failure.empty() && !undelivered.empty()) first_failure = undelivered.front().second;
      text += first_failure;
      if (mail.envelope.size() > 1) {
        text += " [" + std::to_string(mail.envelope.size()) + " recipients, none reached]";
      }
      return text;
    }
    for (const auto& u : undelivered)
      log_.WriteLog("SendMailの宛先エラー<" + u.first + ">:" + u.second + " (" + smtp.display + ")");

    if (!mail.save_folder.empty()) {
      // The message went out: a failure to keep the copy is only logged.
      auto tnow = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
      struct tm lt;
      localtime_r(&tnow, &lt);
      char stamp[32];
      strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &lt);
      std::string base = JoinPath(mail.save_folder, std::string("sentmail_") + stamp);
      std::string path = base + ".txt";
      for (int k = 1; fs_.Exists(path) && k < 10000; ++k) path = base + "(" + std::to_string(k) + ").txt";
      Status s = fs_.Exists(path) ? Status::Error("no free name") : fs_.WriteFileAtomic(path, mail.message);
      if (!s.ok()) log_.WriteLog("SendMailの送信控え保存エラー<" + path + ">:" + s.message());
    }
    return "";
  } catch (const std::exception& e) {
    return std::string("SendMail failed: ") + e.what();
  }
}

}  // namespace kelmora
