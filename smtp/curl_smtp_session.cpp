// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/curl_smtp_session.h"

#include <curl/curl.h>

#include <cctype>
#include <set>

#include "mime/mime_util.h"
#include "net/curl_channel.h"
#include "net/dialog_lines.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// What the connecting dialog showed: the step it was in, the last refusal
// and the capabilities of the last EHLO.
struct Dialog {
  std::string command = "connect";
  std::string failed_step;
  std::string failed_reply;
  std::string reply_lines;
  DialogLines lines;
  bool in_ehlo = false;
  bool pipelining = false;
};

std::string CommandVerb(const std::string& line) {
  std::string upper;
  for (char c : line) {
    if (c == ' ' || c == ':') break;
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  static const std::set<std::string> kVerbs = {"EHLO", "HELO", "STARTTLS", "AUTH", "QUIT", "NOOP"};
  return kVerbs.count(upper) ? upper : "";
}

void OnSent(Dialog& d, std::string_view data) {
  for (const std::string& raw : Split(std::string(data), "\n")) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string verb = CommandVerb(line);
    // An AUTH continuation (credentials) keeps the step and is never kept.
    if (verb.empty()) continue;
    d.command = verb;
    d.in_ehlo = verb == "EHLO";
    if (d.in_ehlo) d.pipelining = false;  // the EHLO after STARTTLS counts
  }
}

void OnReceived(Dialog& d, std::string_view data) {
  d.lines.Take(data, [&d](std::string& line) {
    line = SanitizeUtf8(OneLine(line));
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2])))
      return;
    if (d.in_ehlo && EhloLineAnnounces(line, "PIPELINING")) d.pipelining = true;
    if (!d.reply_lines.empty()) d.reply_lines += " ";
    if (d.reply_lines.size() < 1000) d.reply_lines += line;
    if (line.size() > 3 && line[3] == '-') return;
    const int code = std::stoi(line.substr(0, 3));
    if (code >= 400 && d.command != "QUIT") {
      d.failed_step = d.command;
      d.failed_reply = d.reply_lines;
    }
    d.reply_lines.clear();
  });
}

std::string ConnectFailure(const Dialog& d, int code, const std::string& error, const SmtpServer& server) {
  if (!d.failed_reply.empty()) return d.failed_step + ": " + d.failed_reply;
  std::string err = SanitizeUtf8(OneLine(error));
  if (code == CURLE_USE_SSL_FAILED && server.tls_required) {
    // Only asked for when a password is at stake: say why nothing was sent.
    return "STARTTLS: login refused: the server offers no TLS (" + err +
           "), and a password goes without TLS only to this machine's own address"
           " (plain-login=yes in the server string allows it)";
  }
  if (code == CURLE_PEER_FAILED_VERIFICATION) err += " (verify=no in the server string turns the check off)";
  return d.command + ": " + err;
}

}  // namespace

SmtpConnection ConnectSmtpWithCurl(const SmtpServer& server, const MailOptions& options,
                                   const std::string& mail_from) {
  SmtpConnection out;
  auto channel = std::make_unique<CurlChannel>(options);
  Dialog d;
  const SystemHostNames system_names;
  const std::string url = server.UrlFor(mail_from, options.host_names ? *options.host_names : system_names);
  auto login = [&](void* handle) {
    if (!server.login) return;
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_setopt(curl, CURLOPT_USERNAME, server.login_user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, server.login_password.c_str());
  };
  // STARTTLS whenever offered. A server that offers none gets the mail in
  // plain text (as between mail servers), but a password only when it is
  // this machine or the server string allows it: libcurl then fails before
  // AUTH.
  const CurlChannel::Tls tls{server.implicit_tls, server.tls_required, server.verify_certificate};
  auto dialog = [&d](bool sent, std::string_view text) {
    if (sent) OnSent(d, text);
    else OnReceived(d, text);
  };
  const Status connected = channel->Connect(url, "smtp,smtps", tls, login, dialog);
  if (!connected.ok()) {
    std::string failure = server.Scrub(ConnectFailure(d, channel->connect_code(), connected.message(), server));
    // A refusal the server spoke during the opening is a refusal even when
    // libcurl reports it as a transport error.
    const bool refused = !d.failed_reply.empty() || connected.code() == Status::Code::kRefused;
    out.status = refused ? Status::Refused(std::move(failure)) : Status::IOError(std::move(failure));
    return out;
  }
  out.pipelining = d.pipelining;
  out.channel = std::move(channel);
  return out;
}

CurlSmtpSession::CurlSmtpSession(SmtpServer server, MailOptions options)
    : SmtpCommandSession(server, [server, options](const std::string& mail_from) {
        return ConnectSmtpWithCurl(server, options, mail_from);
      }) {}

std::unique_ptr<SmtpSession> CurlSmtpSessionFactory::NewSession(const SmtpServer& server) {
  return std::make_unique<CurlSmtpSession>(server, options_);
}

}  // namespace kelmora
