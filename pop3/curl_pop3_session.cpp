// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/curl_pop3_session.h"

#include <curl/curl.h>

#include <algorithm>

#include "mime/mail_library_init.h"
#include "net/server_string.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
// The easy handle and what its callbacks collect.
class CurlPop3Session::Handle {
 public:
  Handle(const Pop3Server& server, const std::string& user, const std::string& password,
         const MailOptions& options) {
    handle_ = curl_easy_init();
    if (!handle_) return;
    errbuf_[0] = '\0';
    base_url_ = server.Url() + "/";
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "pop3,pop3s");
    curl_easy_setopt(handle_, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(handle_, CURLOPT_PASSWORD, password.c_str());
    // STLS whenever offered; a server without it gets the login only when
    // it is this machine or the server string allows it (libcurl then
    // fails before USER/PASS or AUTH).
    if (!server.implicit_tls) {
      curl_easy_setopt(handle_, CURLOPT_USE_SSL,
                       static_cast<long>(server.TlsRequired() ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    }
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, server.verify_certificate ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, server.verify_certificate ? 2L : 0L);
    if (!options.ca_file.empty()) curl_easy_setopt(handle_, CURLOPT_CAINFO, options.ca_file.c_str());
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT, options.transfer_timeout_seconds);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, options.low_speed_bytes);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, options.low_speed_seconds);
    // Also bounds the wait for the answer to QUIT when the handle goes.
    curl_easy_setopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     std::max(options.low_speed_seconds, options.connect_timeout_seconds));
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errbuf_);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &Handle::OnBody);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &Handle::OnReply);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
    TransferCancel::Watch(handle_, options.cancel);
  }
  ~Handle() {
    if (handle_) curl_easy_cleanup(handle_);  // QUIT: the server commits the DELEs
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool ok() const { return handle_ != nullptr; }

  CURLcode Run(int number, const char* command, bool no_body, std::string* body) {
    errbuf_[0] = '\0';
    refusal_.clear();
    body->clear();
    const std::string url = number > 0 ? base_url_ + std::to_string(number) : base_url_;
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, command);
    curl_easy_setopt(handle_, CURLOPT_NOBODY, no_body ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, body);
    CURLcode rc = curl_easy_perform(handle_);
    // Back to plain LIST/RETR so that a custom command never leaks into the
    // next one (a DELE left set would delete the next message fetched).
    curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    curl_easy_setopt(handle_, CURLOPT_NOBODY, 0L);
    ++runs_;
    long connects = 0;
    curl_easy_getinfo(handle_, CURLINFO_NUM_CONNECTS, &connects);
    reconnected_ = runs_ > 1 && connects > 0;
    return rc;
  }

  int runs() const { return runs_; }
  // True when the last command had to open a new connection.
  bool reconnected() const { return reconnected_; }

  // libcurl's words for the failure of the last command.
  std::string ErrorText(CURLcode rc) const {
    std::string text = errbuf_[0] ? std::string(errbuf_) : std::string(curl_easy_strerror(rc));
    return ReplyText(text);
  }
  // The server's refusal ("-ERR ...") of the last command, else "". The
  // first one counts: after a refusal libcurl closes the connection with a
  // QUIT whose "+OK" would hide it.
  std::string Refusal() const { return ReplyText(refusal_); }

  bool connected_once() const {
    curl_off_t t = 0;
    curl_easy_getinfo(handle_, CURLINFO_CONNECT_TIME_T, &t);
    return t > 0;
  }

 private:
  static size_t OnBody(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
  }
  static size_t OnReply(char* data, size_t size, size_t n, void* user) {
    auto* self = static_cast<Handle*>(user);
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (self->refusal_.empty() && StartsWith(line, "-ERR")) self->refusal_ = line;
    return size * n;
  }

  CURL* handle_ = nullptr;
  char errbuf_[CURL_ERROR_SIZE];
  std::string base_url_;
  std::string refusal_;
  int runs_ = 0;
  bool reconnected_ = false;
};

CurlPop3Session::CurlPop3Session(Pop3Server server, std::string user, std::string password, MailOptions options)
    : server_(std::move(server)), user_(std::move(user)), password_(std::move(password)), options_(options) {}

CurlPop3Session::~CurlPop3Session() = default;

Pop3Reply CurlPop3Session::Open() {
  EnsureMailLibrariesInitialized();
  handle_ = std::make_unique<Handle>(server_, user_, password_, options_);
  if (!handle_->ok()) {
    handle_.reset();
    return Pop3Reply::Failed("cannot start a session (libcurl)");
  }
  return Pop3Reply::Ok();
}

void CurlPop3Session::Quit() { handle_.reset(); }

Pop3Reply CurlPop3Session::Run(int number, const char* command, bool no_body, std::string* body) {
  body->clear();
  if (!handle_) return Pop3Reply::Failed("session not open");
  const CURLcode rc = handle_->Run(number, command, no_body, body);
  if (rc != CURLE_OK) {
    // The first command also connects and logs in: name the step that
    // failed when it was not the command itself.
    std::string step;
    if (handle_->runs() == 1) {
      if (rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT ||
          (rc == CURLE_OPERATION_TIMEDOUT && !handle_->connected_once())) {
        step = "connect";
      } else if (rc == CURLE_LOGIN_DENIED) {
        step = "login";
      } else if (rc == CURLE_USE_SSL_FAILED || rc == CURLE_SSL_CONNECT_ERROR ||
                 rc == CURLE_PEER_FAILED_VERIFICATION) {
        step = "TLS";
      }
    }
    std::string error = handle_->ErrorText(rc);
    if (rc == CURLE_USE_SSL_FAILED && server_.TlsRequired()) {
      error = "login refused: the server offers no TLS (" + error +
              "), and a password goes without TLS only to this machine's own address"
              " (plain-login=yes in the server string allows it)";
    } else if (rc == CURLE_PEER_FAILED_VERIFICATION) {
      error += " (verify=no in the server string turns the check off)";
    }
    // The server's and libcurl's words: a server may echo what it refused.
    return Pop3Reply::Failed(ScrubPassword(error, user_, password_),
                             ScrubPassword(handle_->Refusal(), user_, password_), step);
  }
  if (handle_->reconnected()) {
    return Pop3Reply::Failed("connection lost", ScrubPassword(handle_->Refusal(), user_, password_));
  }
  return Pop3Reply::Ok();
}

Pop3Reply CurlPop3Session::List(std::string* answer) { return Run(0, nullptr, false, answer); }
Pop3Reply CurlPop3Session::Uidl(std::string* answer) { return Run(0, "UIDL", false, answer); }
Pop3Reply CurlPop3Session::Retr(int number, std::string* message) { return Run(number, nullptr, false, message); }

Pop3Reply CurlPop3Session::Dele(int number) {
  std::string body;
  return Run(number, "DELE", true, &body);
}

Pop3Reply CurlPop3Session::Noop() {
  std::string body;
  return Run(0, "NOOP", true, &body);
}

std::unique_ptr<Pop3Session> CurlPop3SessionFactory::NewSession(const Pop3Server& server, const std::string& user,
                                                                const std::string& password) {
  return std::make_unique<CurlPop3Session>(server, user, password, options_);
}

}  // namespace kelmora
