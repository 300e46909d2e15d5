// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/server_string.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "mime/local_host_name.h"
#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool ParsePort(std::string_view s, int* port) {
  if (s.empty() || s.size() > 5) return false;
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v < 1 || v > 65535) return false;
  *port = v;
  return true;
}

// A host name or address literal: letters, digits and the few marks that
// names and addresses use. Everything else would change the URL's meaning.
bool IsHostText(std::string_view host, bool v6) {
  if (host.empty() || host.size() > 253) return false;
  for (char ch : host) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                    ch == '-' || ch == '.' || ch == '_' || (v6 && (ch == ':' || ch == '%'));
    if (!ok) return false;
  }
  return true;
}

std::string Base64(std::string_view s) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < s.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(s[i]) << 16;
    if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
    if (i + 2 < s.size()) v |= static_cast<unsigned char>(s[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < s.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < s.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

// Reads the options after "?" into *out. False for a known option with a
// value other than yes or no.
bool ParseOptions(std::string_view query, ServerString* out) {
  for (const std::string& item : Split(std::string(query), "&")) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string name = AsciiLower(item.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : AsciiLower(item.substr(eq + 1));
    bool* flag = name == "verify" ? &out->verify_certificate : name == "plain-login" ? &out->plain_login : nullptr;
    if (flag == nullptr) continue;  // unknown: ignored, as such text always was
    if (value != "yes" && value != "no") return false;
    *flag = value == "yes";
  }
  return true;
}

std::string InBrackets(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::string ServerString::HostPort() const { return InBrackets(host) + ":" + std::to_string(port); }

namespace {

// Blank or control characters anywhere make the string unusable: they
// would change the URL libcurl is given.
ServerStringError CheckCharacters(const std::string& s) {
  if (s.empty()) return ServerStringError::kEmpty;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return ServerStringError::kControlCharacters;
  }
  return ServerStringError::kNone;
}

// The scheme, when one is written, must be the road's plain or TLS one;
// without one the road's plain scheme holds. *rest gets what follows it
// and *written says whether there was one.
ServerStringError ReadScheme(const std::string& s, const ServerRoad& road, ServerString* out, std::string* rest,
                             bool* written) {
  out->scheme = road.scheme;
  *rest = s;
  const size_t sep = s.find("://");
  *written = sep != std::string::npos;
  if (*written) {
    out->scheme = AsciiLower(s.substr(0, sep));
    if (out->scheme != road.scheme && out->scheme != road.tls_scheme) return ServerStringError::kUnsupportedScheme;
    *rest = s.substr(sep + 3);
  }
  out->implicit_tls = out->scheme == road.tls_scheme;
  return ServerStringError::kNone;
}

// What stands around the host: the credentials before it, the path and
// the options after it. *authority gets the host and port as written.
ServerStringError ReadAroundHost(std::string rest, bool has_extras, ServerString* out, std::string* authority) {
  // The credentials end at the last "@": a provider's user name is a full
  // address, and a password may hold "@", "/", "?" or "#" as written.
  out->userinfo.clear();
  const size_t at = has_extras ? rest.rfind('@') : std::string::npos;
  if (at != std::string::npos) {
    out->userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
  }
  const size_t end = rest.find_first_of(has_extras ? "/?#" : "?#");
  *authority = rest.substr(0, end);
  out->path.clear();
  if (end != std::string::npos && rest[end] == '/') {
    out->path = rest.substr(end + 1, rest.find_first_of("?#", end) - end - 1);
  }
  out->verify_certificate = true;
  out->plain_login = false;
  const size_t fragment = rest.find('#');
  const size_t query = end == std::string::npos ? std::string::npos : rest.find('?', end);
  if (query != std::string::npos && query < fragment) {
    const std::string_view options = std::string_view(rest).substr(query + 1, fragment - query - 1);
    if (!ParseOptions(options, out)) return ServerStringError::kBadOption;
  }
  return ServerStringError::kNone;
}

// The host (a name, an IPv4 address, an IPv6 address bare or in brackets)
// and the port, which defaults to the road's for the scheme.
ServerStringError ReadHostAndPort(const std::string& hostport, const ServerRoad& road, ServerString* out) {
  if (hostport.empty()) return ServerStringError::kNoHost;
  std::string host = hostport, port_text;
  bool has_port = false, v6 = false;
  if (hostport[0] == '[') {
    const size_t close = hostport.find(']');
    if (close == std::string::npos) return ServerStringError::kBadHost;
    host = hostport.substr(1, close - 1);
    v6 = true;
    const std::string after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return ServerStringError::kBadPort;
      port_text = after.substr(1);
      has_port = true;
    }
  } else if (CountOf(hostport, ":") == 1) {
    const size_t colon = hostport.find(':');
    host = hostport.substr(0, colon);
    port_text = hostport.substr(colon + 1);
    has_port = true;
  } else if (CountOf(hostport, ":") > 1) {
    v6 = true;  // a bare IPv6 address without a port
  }
  out->port = out->implicit_tls ? road.tls_port : road.port;
  if (has_port && !ParsePort(port_text, &out->port)) return ServerStringError::kBadPort;
  if (host.empty()) return ServerStringError::kNoHost;
  if (!IsHostText(host, v6)) return ServerStringError::kBadHost;
  out->host = host;
  return ServerStringError::kNone;
}

}  // namespace

ServerStringError ParseServerString(const std::string& text, const ServerRoad& road, ServerString* out) {
  const std::string s = Trim(text);
  ServerStringError error = CheckCharacters(s);
  if (error != ServerStringError::kNone) return error;
  std::string rest;
  bool scheme_written = false;
  error = ReadScheme(s, road, out, &rest, &scheme_written);
  if (error != ServerStringError::kNone) return error;
  std::string authority;
  error = ReadAroundHost(rest, scheme_written || road.plain_form_has_user_and_path, out, &authority);
  if (error != ServerStringError::kNone) return error;
  return ReadHostAndPort(authority, road, out);
}

bool IsLoopbackHost(const std::string& host) {
  std::string h = AsciiLower(host);
  if (!h.empty() && h.back() == '.') h.pop_back();
  if (h == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  const std::string without_zone = h.substr(0, h.find('%'));
  in6_addr v6{};
  if (inet_pton(AF_INET6, without_zone.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::string MaskPassword(const std::string& text) {
  // A scheme ends at the first ":"; a "://" further on is inside the user part.
  const size_t sep = text.find("://");
  const size_t start = sep == std::string::npos || text.find(':') != sep ? 0 : sep + 3;
  const size_t at = text.rfind('@');
  if (at != std::string::npos && at >= start) {
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
  }
  // "user:password" without its host reads as a host and a port.
  const size_t end = text.find_first_of("/?#", start);
  const std::string_view authority = std::string_view(text).substr(start, end - start);
  const size_t colon = authority.find(':');
  if (colon == std::string::npos || authority.find(':', colon + 1) != std::string::npos) return text;
  const std::string_view port = authority.substr(colon + 1);
  const bool number = port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
  if (number) return text;
  return text.substr(0, start + colon + 1) + "***";
}

std::string ScrubPassword(const std::string& text, const std::string& user, const std::string& password) {
  if (password.empty()) return text;
  std::string out = text;
  const std::string decoded = PercentDecode(password);
  const std::string decoded_user = PercentDecode(user);
  std::vector<std::string> traces = {password, decoded, Base64(decoded),
                                     Base64(std::string(1, '\0') + decoded_user + std::string(1, '\0') + decoded),
                                     Base64(decoded_user + std::string(1, '\0') + decoded_user +
                                            std::string(1, '\0') + decoded)};
  // The longest first, so that a password inside another trace leaves no
  // part of that trace behind.
  std::sort(traces.begin(), traces.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& trace : traces) {
    if (!trace.empty()) out = ReplaceAll(out, trace, "***");
  }
  return out;
}

std::string SmtpServer::Scrub(const std::string& text) const { return ScrubPassword(text, user, password); }

std::string SmtpServer::UrlFor(const std::string& mail_from, const HostNames& names) const {
  return url_base + (helo_name.empty() ? GreetingName(names, mail_from) : helo_name);
}

Status ParseSmtpServer(const std::string& text, SmtpServer* server) {
  ServerString parts;
  const ServerStringError e = ParseServerString(text, kSmtpRoad, &parts);
  const std::string s = SanitizeUtf8(OneLine(MaskPassword(Trim(text))));
  switch (e) {
    case ServerStringError::kNone: break;
    case ServerStringError::kEmpty: return Status::InvalidArgument("no SMTP server given");
    case ServerStringError::kControlCharacters:
      return Status::InvalidArgument("SMTP server <" + s + "> holds blanks or control characters");
    case ServerStringError::kUnsupportedScheme: {
      // A "scheme" with other characters is a user part holding "://".
      const bool word = parts.scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") == std::string::npos;
      return Status::InvalidArgument("SMTP server <" + s + ">: unsupported scheme" +
                                     (word ? " " + parts.scheme : std::string()));
    }
    case ServerStringError::kNoHost: return Status::InvalidArgument("SMTP server <" + s + "> names no host");
    case ServerStringError::kBadHost: return Status::InvalidArgument("SMTP server <" + s + "> names no valid host");
    case ServerStringError::kBadPort: return Status::InvalidArgument("SMTP server <" + s + "> has an invalid port");
    case ServerStringError::kBadOption:
      return Status::InvalidArgument("SMTP server <" + s +
                                     "> has an invalid option (verify=yes|no, plain-login=yes|no)");
  }
  server->helo_name = parts.path;
  server->implicit_tls = parts.implicit_tls;
  // The credentials never go into the URL: libcurl takes them as they are,
  // so no character of a user name or password can break the URL.
  server->url_base = parts.scheme + "://" + parts.HostPort() + "/";
  const size_t colon = parts.userinfo.find(':');
  const std::string shown_user = parts.userinfo.substr(0, colon);
  server->login = !parts.userinfo.empty();
  server->login_user = PercentDecode(shown_user);
  server->login_password = colon == std::string::npos ? "" : PercentDecode(parts.userinfo.substr(colon + 1));
  server->display = parts.scheme + "://" + (shown_user.empty() ? "" : shown_user + "@") + parts.HostPort();
  server->verify_certificate = parts.verify_certificate;
  server->tls_required =
      !parts.implicit_tls && !parts.userinfo.empty() && !parts.plain_login && !IsLoopbackHost(parts.host);
  server->user = shown_user;
  server->password = colon == std::string::npos ? "" : parts.userinfo.substr(colon + 1);
  return Status::OK();
}

bool Pop3Server::TlsRequired() const { return !implicit_tls && !plain_login && !IsLoopbackHost(host); }

std::string Pop3Server::Url() const {
  return std::string(implicit_tls ? "pop3s://" : "pop3://") + InBrackets(host) + ":" + std::to_string(port);
}

std::string Pop3Server::Display() const {
  std::string hp = InBrackets(host) + ":" + std::to_string(port);
  return implicit_tls ? "pop3s://" + hp : hp;
}

Status ParsePop3Server(const std::string& text, Pop3Server* server) {
  ServerString parts;
  switch (ParseServerString(text, kPop3Road, &parts)) {
    case ServerStringError::kNone: break;
    case ServerStringError::kUnsupportedScheme:
      return Status::InvalidArgument("not a POP3 server: \"" + ReplyText(MaskPassword(text)) + "\"");
    case ServerStringError::kBadPort:
      return Status::InvalidArgument("bad port in POP3 server \"" + ReplyText(MaskPassword(text)) + "\"");
    case ServerStringError::kBadOption:
      return Status::InvalidArgument("bad option in POP3 server \"" + ReplyText(MaskPassword(text)) +
                                     "\" (verify=yes|no, plain-login=yes|no)");
    default: return Status::InvalidArgument("bad POP3 server \"" + ReplyText(MaskPassword(text)) + "\"");
  }
  server->implicit_tls = parts.implicit_tls;
  server->verify_certificate = parts.verify_certificate;
  server->plain_login = parts.plain_login;
  server->host = parts.host;
  server->port = parts.port;
  const size_t colon = parts.userinfo.find(':');
  server->login_user = PercentDecode(parts.userinfo.substr(0, colon));
  server->login_password = colon == std::string::npos ? "" : PercentDecode(parts.userinfo.substr(colon + 1));
  return Status::OK();
}

std::string ReplyText(std::string_view raw) {
  std::string s = SanitizeUtf8(raw.substr(0, 300));
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  for (char& ch : s) {
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  }
  return s;
}

}  // namespace kelmora
