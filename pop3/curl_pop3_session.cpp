// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/curl_pop3_session.h"

#include <curl/curl.h>

#include "net/curl_channel.h"
#include "net/dialog_lines.h"
#include "net/server_string.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// What the connecting dialog showed: the first refusal and whether the
// last CAPA listed PIPELINING.
struct Dialog {
  std::string refusal;
  DialogLines lines;
  bool in_capa = false;
  bool pipelining = false;
};

void OnSent(Dialog& d, std::string_view data) {
  // Only the verb matters; USER/PASS lines are never kept.
  if (data.substr(0, 4) == "CAPA") {
    d.in_capa = true;
    d.pipelining = false;  // the CAPA after STLS counts
  } else {
    d.in_capa = false;
  }
}

void OnReceived(Dialog& d, std::string_view data) {
  d.lines.Take(data, [&d](const std::string& line) {
    if (d.refusal.empty() && StartsWith(line, "-ERR")) d.refusal = line;
    if (d.in_capa) {
      std::string word = line.substr(0, line.find(' '));
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (word == "PIPELINING") d.pipelining = true;
      if (line == ".") d.in_capa = false;
    }
  });
}

}  // namespace

Pop3Connection ConnectPop3WithCurl(const Pop3Server& server, const std::string& user, const std::string& password,
                                   const MailOptions& options) {
  Pop3Connection out;
  auto channel = std::make_unique<CurlChannel>(options);
  Dialog d;
  const std::string url = server.Url() + "/";
  auto login = [&](void* handle) {
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  };
  // STLS whenever offered; a server without it gets the login only when it
  // is this machine or the server string allows it (libcurl then fails
  // before USER/PASS or AUTH).
  const CurlChannel::Tls tls{server.implicit_tls, server.TlsRequired(), server.verify_certificate};
  auto dialog = [&d](bool sent, std::string_view text) {
    if (sent) OnSent(d, text);
    else OnReceived(d, text);
  };
  const Status connected = channel->Connect(url, "pop3,pop3s", tls, login, dialog);
  if (!connected.ok()) {
    const int rc = channel->connect_code();
    std::string step;
    if (rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT || rc == CURLE_OPERATION_TIMEDOUT) {
      step = "connect";
    } else if (rc == CURLE_LOGIN_DENIED) {
      step = "login";
    } else if (rc == CURLE_USE_SSL_FAILED || rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_PEER_FAILED_VERIFICATION) {
      step = "TLS";
    }
    std::string error = ReplyText(connected.message());
    if (rc == CURLE_USE_SSL_FAILED && server.TlsRequired()) {
      error = "login refused: the server offers no TLS (" + error +
              "), and a password goes without TLS only to this machine's own address"
              " (plain-login=yes in the server string allows it)";
    } else if (rc == CURLE_PEER_FAILED_VERIFICATION) {
      error += " (verify=no in the server string turns the check off)";
    }
    out.failure = Pop3Reply::Failed(error, ReplyText(d.refusal), step);
    return out;
  }
  out.pipelining = d.pipelining;
  out.channel = std::move(channel);
  return out;
}

CurlPop3Session::CurlPop3Session(Pop3Server server, std::string user, std::string password, MailOptions options)
    : Pop3CommandSession(
          [server, user, password, options]() { return ConnectPop3WithCurl(server, user, password, options); },
          [user, password](const std::string& text) { return ScrubPassword(text, user, password); }) {}

std::unique_ptr<Pop3Session> CurlPop3SessionFactory::NewSession(const Pop3Server& server, const std::string& user,
                                                                const std::string& password) {
  return std::make_unique<CurlPop3Session>(server, user, password, options_);
}

}  // namespace kelmora
