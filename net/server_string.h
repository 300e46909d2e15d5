// SPDX-License-Identifier: GPL-3.0-or-later
// Server strings: where a mail server is and how to reach it. One grammar
// for both roads (SMTP for sending, POP3 for fetching); each road has its
// own URL schemes and default ports.
//
// Accepted forms (blanks around the string ignored):
//   "host", "host:port", "[v6addr]", "[v6addr]:port", a bare IPv6 address
//   (more than one ":", no port), or a URL "scheme://" with an optional
//   "user:password@" and an optional "/path". Any form may end in options
//   "?name=value&name=value"; what follows "#" is dropped. SMTP also takes
//   the user part and the path without a scheme; POP3 only in a URL. The
//   scheme is the road's plain one ("smtp", "pop3") or its TLS one
//   ("smtps", "pop3s"), in any case; without a scheme the plain one holds.
//   The port is 1 to 65535, and the road's default for the scheme when none
//   is given. A host is letters, digits, "-", "." and "_" (and ":" and "%"
//   inside an IPv6 address): anything else could change the meaning of the
//   URL built from it. Blanks and control characters are refused anywhere,
//   since they would end up inside a command.
//
// Security. The TLS schemes speak TLS from the first byte; the plain ones
// switch to TLS (STARTTLS, STLS) whenever the server offers it. Either way
// the server's certificate and name are checked against the system's
// certificate store. A password (SMTP AUTH, POP3 login) never goes over a
// connection without TLS, except to this machine's own address (127.0.0.0/8,
// ::1, "localhost"): a server that offers no TLS then gets no login, and the
// failure says so. Two options relax this, for the one server that names
// them:
//   verify=no        TLS without checking the certificate (a server with a
//                    self-signed certificate);
//   plain-login=yes  the password may go in clear when the server offers
//                    no TLS (anyone on the way can read it).
// Option names and values are read in any case; "yes" and "no" are the only
// values; an unknown option is ignored (such text used to be dropped).
//
// The user part ends at the last "@" before the host, so a user name may
// be a full address and a password may hold "@", "/", "?" or "#" as
// written; the user name ends at its first ":". A "%" followed by two hex
// digits in either is read as an escape ("%40", "%3A"), as in a URL; the
// transport gets both decoded, never inside a URL.
//
// SMTP: "smtp://" (port 25), "smtps://" (port 465). The user part is used
// for SMTP AUTH; the path names the EHLO name. Without one the greeting
// uses this machine's fully qualified name, or, when it has none, the
// domain of the message's sender (servers that refuse a short name would
// refuse every recipient otherwise).
//
// POP3: "pop3://" (port 110) or "pop3s://" (port 995). The path is
// ignored; a user part logs in where the account leaves its user name or
// password empty.
//
// No failure text of this file or of the sessions ever holds a password:
// texts that show a server string show it through MaskPassword, and texts
// that may echo what a server or the transport said pass ScrubPassword.
#pragma once

#include <string>
#include <string_view>

#include "textio/host_names.h"
#include "textio/status.h"

namespace kelmora {

// The parts of a server string, before a road gives them meaning.
struct ServerString {
  std::string scheme;        // lower case; the road's plain scheme when none was given
  bool implicit_tls = false; // the road's TLS scheme: TLS from the first byte
  std::string host;          // without brackets
  int port = 0;
  std::string userinfo;      // "user" or "user:password", "" when none
  std::string path;          // after the "/" that ends the host part, "" when none
  bool verify_certificate = true;  // false with "verify=no"
  bool plain_login = false;        // true with "plain-login=yes"

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
  kBadOption,          // a known option with a value other than yes or no
};

// Splits `text` by the grammar above. On an error *out may be partly set.
ServerStringError ParseServerString(const std::string& text, const ServerRoad& road, ServerString* out);

// True for a host that is this machine: an IPv4 address in 127.0.0.0/8,
// ::1 (also as ::ffff:127.x.x.x) and the name "localhost".
bool IsLoopbackHost(const std::string& host);

// `text` (a server string, well formed or not) with the password of its
// user part replaced by "***": everything between the first ":" and the
// last "@" after the scheme. Without an "@", a port that is no number
// (which may be a password given without its host) is masked too.
std::string MaskPassword(const std::string& text);

// A server reply line (or a masked server string) as it may appear in a
// failure text: valid UTF-8, no line breaks, at most 300 bytes of it.
std::string ReplyText(std::string_view raw);

// `text` with every trace of `password` replaced by "***": the password as
// given, percent-decoded, and base64-encoded as SASL PLAIN and LOGIN send it
// (a server that echoes the command it refused). Empty password: `text`.
std::string ScrubPassword(const std::string& text, const std::string& user, const std::string& password);

// ---- The SMTP road ----

struct SmtpServer {
  std::string url_base;   // scheme://host:port/
  std::string helo_name;  // the EHLO name the server string names, "" when none
  std::string display;  // for messages: scheme://[user@]host:port, never a password
  bool implicit_tls = false;
  bool verify_certificate = true;
  // The server string names a user, the server is not this machine and
  // plain-login is not allowed: STARTTLS must succeed before AUTH.
  bool tls_required = false;
  // The user part as written (percent-encoded), for Scrub only.
  std::string user;
  std::string password;
  // SMTP AUTH: the server string has a user part; the user name and
  // password as the server gets them (escapes decoded).
  bool login = false;
  std::string login_user;
  std::string login_password;

  // `text` without the password (see ScrubPassword).
  std::string Scrub(const std::string& text) const;
  // What libcurl gets for a message from `mail_from`:
  // scheme://host:port/ehlo-name, the EHLO name after the rule above, on a
  // machine called `names`.
  std::string UrlFor(const std::string& mail_from, const HostNames& names) const;
};
// Fails (invalid argument, the message a text for the failure message) when
// `text` is no usable SMTP server string.
[[nodiscard]] Status ParseSmtpServer(const std::string& text, SmtpServer* server);

// ---- The POP3 road ----

struct Pop3Server {
  bool implicit_tls = false;  // pop3s: TLS from the first byte
  std::string host;           // without brackets
  int port = 110;
  bool verify_certificate = true;
  bool plain_login = false;
  // The user part of a URL, escapes decoded ("" when none).
  std::string login_user;
  std::string login_password;
  // The login must wait for TLS: neither pop3s nor a loopback server nor
  // plain-login allowed.
  bool TlsRequired() const;
  std::string Url() const;      // "pop3://host:port" or "pop3s://host:port"
  std::string Display() const;  // "host:port", or "pop3s://host:port"
};
// Fails (invalid argument) when `text` is no usable POP3 server string.
[[nodiscard]] Status ParsePop3Server(const std::string& text, Pop3Server* server);

}  // namespace kelmora
