// Server strings: where a mail server is and how to reach it. One grammar
// for both roads (SMTP for sending, POP3 for fetching); each road has its
// own URL schemes and default ports.
//
// Accepted forms (blanks around the string ignored):
//   "host", "host:port", "[v6addr]", "[v6addr]:port", a bare IPv6 address
//   (more than one ":", no port), or a URL "scheme://" with an optional
//   "user:password@" and an optional "/path" (what follows "?" or "#" is
//   dropped). SMTP also takes the user part and the path without a scheme;
//   POP3 only in a URL. The scheme is the road's plain one ("smtp", "pop3") or its
//   TLS one ("smtps", "pop3s"), in any case; without a scheme the plain one
//   holds. The port is 1 to 65535, and the road's default for the scheme
//   when none is given. A host is letters, digits, "-", "." and "_" (and
//   ":" and "%" inside an IPv6 address): anything else could change the
//   meaning of the URL built from it. Blanks and control characters are
//   refused anywhere, since they would end up inside a command.
//
// SMTP: "smtp://" (port 25) uses STARTTLS whenever the server offers it;
// that encryption is opportunistic (the certificate is not checked, since
// the alternative would be plain text), while "smtps://" (port 465) checks
// the certificate. The user part is used for SMTP AUTH; the path is the
// EHLO name (default: this host's name).
//
// POP3: "pop3://" (port 110) or "pop3s://" (port 995). A user part and a
// path are ignored: the account names the user.
#pragma once

#include <string>

namespace kelmora {

// The parts of a server string, before a road gives them meaning.
struct ServerString {
  std::string scheme;        // lower case; the road's plain scheme when none was given
  bool implicit_tls = false; // the road's TLS scheme: TLS from the first byte
  std::string host;          // without brackets
  int port = 0;
  std::string userinfo;      // "user" or "user:password", "" when none
  std::string path;          // after the "/" that ends the host part, "" when none

  // "host:port", an IPv6 address in brackets.
  std::string HostPort() const;
};

// The schemes and default ports of one road.
struct ServerRoad {
  const char* scheme;
  const char* tls_scheme;
  int port;
  int tls_port;
  bool plain_form_has_user_and_path;  // "user@host/path" without a scheme
};
inline constexpr ServerRoad kSmtpRoad{"smtp", "smtps", 25, 465, true};
inline constexpr ServerRoad kPop3Road{"pop3", "pop3s", 110, 995, false};

enum class ServerStringError {
  kNone,
  kEmpty,              // nothing but blanks
  kControlCharacters,  // blanks or control characters inside
  kUnsupportedScheme,  // a URL of another road (out->scheme tells which)
  kNoHost,
  kBadHost,            // characters a host cannot have
  kBadPort,
};

// Splits `text` by the grammar above. On an error *out may be partly set.
ServerStringError ParseServerString(const std::string& text, const ServerRoad& road, ServerString* out);

// ---- The SMTP road ----

struct SmtpServer {
  std::string url;      // what libcurl gets: scheme://[userinfo@]host:port/ehlo-name
  std::string display;  // for messages: scheme://[user@]host:port, never a password
  bool implicit_tls = false;
};
// False (with *error set to a text for the failure message) when `text` is
// no usable SMTP server string.
bool ParseSmtpServer(const std::string& text, SmtpServer* server, std::string* error);

// ---- The POP3 road ----

struct Pop3Server {
  bool implicit_tls = false;  // pop3s: TLS from the first byte
  std::string host;           // without brackets
  int port = 110;
  std::string Url() const;      // "pop3://host:port" or "pop3s://host:port"
  std::string Display() const;  // "host:port", or "pop3s://host:port"
};
// False (with *error set) when `text` is no usable POP3 server string.
bool ParsePop3Server(const std::string& text, Pop3Server* server, std::string* error);

}  // namespace kelmora
