// SPDX-License-Identifier: GPL-3.0-or-later
// CurlChannel: a MailChannel on a libcurl connection in connect-only mode.
// libcurl connects, reads the greeting, asks for the capabilities, switches
// to TLS (implicit or STARTTLS/STLS) and logs in, with its proxy support,
// certificate checks and the connect time-out; then it hands the
// connection over and the command layer above talks on it through
// curl_easy_send/curl_easy_recv, which still go through libcurl's TLS.
//
// What the server said while libcurl connected (capabilities, refusals)
// reaches the caller through a dialog callback, so the protocol code can
// learn whether the server pipelines and name the step that failed.
//
// Time-outs (MailOptions): a wait with no byte moving for low_speed_seconds
// ends with "timed out", and so does an exchange (BeginExchange) that lasts
// longer than transfer_timeout_seconds. MailOptions::cancel, when set by
// another thread, ends any wait within about 100 ms with "cancelled" (the
// connecting step too, through libcurl's progress callback).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "net/mail_channel.h"
#include "net/mail_options.h"
#include "textio/status.h"

namespace kelmora {

class CurlChannel : public MailChannel {
 public:
  explicit CurlChannel(const MailOptions& options);
  ~CurlChannel() override;
  CurlChannel(const CurlChannel&) = delete;
  CurlChannel& operator=(const CurlChannel&) = delete;

  // `sent` is true for what libcurl wrote (commands; credentials are
  // passed too and must not be kept), false for the server's reply lines.
  using Dialog = std::function<void(bool sent, std::string_view text)>;

  // How the connection is secured (see server_string.h).
  struct Tls {
    bool implicit = false;  // TLS from the first byte (smtps, pop3s)
    // Without it, STARTTLS/STLS whenever offered, and a server that offers
    // none is talked to in plain text; with it, libcurl fails before the
    // login instead (a password is at stake).
    bool required = false;
    bool verify = true;     // the certificate is checked (MailOptions::ca_file or the system store)
  };

  // Connects to `url` (`protocols` as CURLOPT_PROTOCOLS_STR). `login` gets
  // the CURL* handle to set the credentials. On failure the message holds
  // libcurl's words ("cancelled" after a cancel); the code is kRefused for
  // a refused login, else kIOError.
  Status Connect(const std::string& url, const char* protocols, const Tls& tls,
                 const std::function<void(void* curl)>& login, const Dialog& dialog);
  // The CURLcode that ended the last Connect (0 after a success): the
  // protocol code names the failed step and adds advice from it.
  int connect_code() const { return connect_code_; }

  Status Write(std::string_view bytes) override;
  Status ReadLine(std::string* line) override;
  void BeginExchange() override;

  bool cancelled() const;

 private:
  // Inside the channel a failure is its text ("" = none), so that the one
  // that killed the channel can be handed out again by every later call.
  std::string WriteAll(std::string_view bytes);
  std::string NextLine(std::string* line);
  // Waits until the socket can be read (or written). "" or the error.
  std::string Wait(bool for_write);
  std::string Fail(std::string error);

  MailOptions options_;
  void* handle_ = nullptr;  // CURL*
  Dialog dialog_;
  std::string in_;      // received, not yet handed out
  size_t in_pos_ = 0;   // start of what is not handed out
  std::string dead_;    // the error that ended the channel
  int connect_code_ = 0;
  std::chrono::steady_clock::time_point exchange_deadline_;
};

}  // namespace kelmora
