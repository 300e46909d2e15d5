#include "receive/server_string.h"

#include "receive/local_host_name.h"
#include "receive/mime_util.h"
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

// The server string as it may appear in a failure text: valid UTF-8, no
// line breaks, bounded length.
std::string Shown(std::string_view raw) {
  std::string s = SanitizeUtf8(raw.substr(0, 300));
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  for (char& ch : s) {
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  }
  return s;
}

std::string InBrackets(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::string ServerString::HostPort() const { return InBrackets(host) + ":" + std::to_string(port); }

ServerStringError ParseServerString(const std::string& text, const ServerRoad& road, ServerString* out) {
  const std::string s = Trim(text);
  if (s.empty()) return ServerStringError::kEmpty;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return ServerStringError::kControlCharacters;
  }
  out->scheme = road.scheme;
  std::string rest = s;
  const size_t sep = s.find("://");
  if (sep != std::string::npos) {
    out->scheme = AsciiLower(s.substr(0, sep));
    if (out->scheme != road.scheme && out->scheme != road.tls_scheme) return ServerStringError::kUnsupportedScheme;
    rest = s.substr(sep + 3);
  }
  out->implicit_tls = out->scheme == road.tls_scheme;

  const bool has_extras = sep != std::string::npos || road.plain_form_has_user_and_path;
  const size_t end = has_extras ? rest.find_first_of("/?#") : std::string::npos;
  std::string authority = rest.substr(0, end);
  out->path.clear();
  if (end != std::string::npos && rest[end] == '/') {
    out->path = rest.substr(end + 1, rest.find_first_of("?#", end) - end - 1);
  }
  out->userinfo.clear();
  std::string hostport = authority;
  const size_t at = has_extras ? authority.rfind('@') : std::string::npos;
  if (at != std::string::npos) {
    out->userinfo = authority.substr(0, at);
    hostport = authority.substr(at + 1);
  }
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

bool ParseSmtpServer(const std::string& text, SmtpServer* server, std::string* error) {
  ServerString parts;
  const ServerStringError e = ParseServerString(text, kSmtpRoad, &parts);
  const std::string s = SanitizeUtf8(OneLine(Trim(text)));
  switch (e) {
    case ServerStringError::kNone: break;
    case ServerStringError::kEmpty: *error = "no SMTP server given"; return false;
    case ServerStringError::kControlCharacters:
      *error = "SMTP server <" + s + "> holds blanks or control characters";
      return false;
    case ServerStringError::kUnsupportedScheme:
      *error = "SMTP server <" + s + ">: unsupported scheme " + SanitizeUtf8(parts.scheme);
      return false;
    case ServerStringError::kNoHost: *error = "SMTP server <" + s + "> names no host"; return false;
    case ServerStringError::kBadHost: *error = "SMTP server <" + s + "> names no valid host"; return false;
    case ServerStringError::kBadPort: *error = "SMTP server <" + s + "> has an invalid port"; return false;
  }
  const std::string path = parts.path.empty() ? LocalHostName() : parts.path;
  server->implicit_tls = parts.implicit_tls;
  server->url = parts.scheme + "://" + (parts.userinfo.empty() ? "" : parts.userinfo + "@") + parts.HostPort() +
                "/" + path;
  const std::string shown_user = parts.userinfo.substr(0, parts.userinfo.find(':'));
  server->display = parts.scheme + "://" + (shown_user.empty() ? "" : shown_user + "@") + parts.HostPort();
  return true;
}

std::string Pop3Server::Url() const {
  return std::string(implicit_tls ? "pop3s://" : "pop3://") + InBrackets(host) + ":" + std::to_string(port);
}

std::string Pop3Server::Display() const {
  std::string hp = InBrackets(host) + ":" + std::to_string(port);
  return implicit_tls ? "pop3s://" + hp : hp;
}

bool ParsePop3Server(const std::string& text, Pop3Server* server, std::string* error) {
  ServerString parts;
  switch (ParseServerString(text, kPop3Road, &parts)) {
    case ServerStringError::kNone: break;
    case ServerStringError::kUnsupportedScheme: *error = "not a POP3 server: \"" + Shown(text) + "\""; return false;
    case ServerStringError::kBadPort: *error = "bad port in POP3 server \"" + Shown(text) + "\""; return false;
    default: *error = "bad POP3 server \"" + Shown(text) + "\""; return false;
  }
  server->implicit_tls = parts.implicit_tls;
  server->host = parts.host;
  server->port = parts.port;
  return true;
}

}  // namespace kelmora
