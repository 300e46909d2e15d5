// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/curl_channel.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <exception>

#include "mime/mail_library_init.h"

namespace kelmora {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks at the cancel flag.
constexpr int kPollSliceMs = 100;
// A line longer than this is no reply of a sane server (a message line
// included): the channel gives up rather than grow without bound.
constexpr size_t kMaxLine = 64u << 20;
constexpr size_t kReadChunk = 64u << 10;

int DialogCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (user == nullptr) return 0;
  const auto& dialog = *static_cast<const CurlChannel::Dialog*>(user);
  try {
    if (type == CURLINFO_HEADER_OUT) dialog(true, std::string_view(data, size));
    else if (type == CURLINFO_HEADER_IN) dialog(false, std::string_view(data, size));
  } catch (const std::exception&) {
    // Bookkeeping only: it must not break the connection.
  }
  return 0;
}

}  // namespace

CurlChannel::CurlChannel(const MailOptions& options) : options_(options) { BeginExchange(); }

CurlChannel::~CurlChannel() {
  if (handle_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

bool CurlChannel::cancelled() const { return options_.cancel != nullptr && options_.cancel->cancelled(); }

void CurlChannel::BeginExchange() {
  exchange_deadline_ = Clock::now() + std::chrono::seconds(std::max(1L, options_.transfer_timeout_seconds));
}

Status CurlChannel::Connect(const std::string& url, const char* protocols, const Tls& tls,
                            const std::function<void(void* curl)>& login, const Dialog& dialog) {
  EnsureMailLibrariesInitialized();
  if (handle_ == nullptr) handle_ = curl_easy_init();
  if (handle_ == nullptr) {
    connect_code_ = CURLE_FAILED_INIT;
    return Status::IOError("libcurl cannot start");
  }
  CURL* curl = static_cast<CURL*>(handle_);
  dialog_ = dialog;
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, protocols);
  login(curl);
  if (!tls.implicit) {
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(tls.required ? CURLUSESSL_ALL : CURLUSESSL_TRY));
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, tls.verify ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, tls.verify ? 2L : 0L);
  if (!options_.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options_.ca_file.c_str());
  // The credentials go with the AUTH command: one round trip less.
  curl_easy_setopt(curl, CURLOPT_SASL_IR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, DialogCallback);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &dialog_);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connect_timeout_seconds);
  // Greeting, capabilities, TLS and login together.
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, std::max(options_.connect_timeout_seconds, options_.low_speed_seconds) * 2);
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   std::max(options_.low_speed_seconds, options_.connect_timeout_seconds));
  // Aborts the opening once cancelled, and shuts the socket down at the
  // moment of the cancel, so a later wait ends at once too.
  TransferCancel::Watch(curl, options_.cancel);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  // The dialog ends here: what the command layer writes is its own business
  // (and libcurl no longer sees it in plain text anyway).
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
  connect_code_ = rc;
  BeginExchange();
  if (rc == CURLE_OK) return Status::OK();
  std::string error = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
  if (rc == CURLE_ABORTED_BY_CALLBACK || cancelled()) error = "cancelled";
  dead_ = error;
  return rc == CURLE_LOGIN_DENIED ? Status::Refused(std::move(error)) : Status::IOError(std::move(error));
}

std::string CurlChannel::Fail(std::string error) {
  // A cancel shuts the socket down under the wait, which then reads as a
  // lost connection: name the cause instead.
  if (dead_.empty()) dead_ = cancelled() ? std::string("cancelled") : std::move(error);
  return dead_;
}

std::string CurlChannel::Wait(bool for_write) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(static_cast<CURL*>(handle_), CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    return Fail("connection lost");
  }
  const auto stall_deadline = Clock::now() + std::chrono::seconds(std::max(1L, options_.low_speed_seconds));
  for (;;) {
    if (cancelled()) return Fail("cancelled");
    const auto now = Clock::now();
    if (now >= stall_deadline || now >= exchange_deadline_) return Fail("timed out");
    pollfd p{socket, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&p, 1, kPollSliceMs);
    if (n > 0) return "";  // readable, writable, or an error the next call reports
    if (n < 0 && errno != EINTR) return Fail("connection lost");
  }
}

namespace {

Status ChannelStatus(const std::string& failure) {
  return failure.empty() ? Status::OK() : Status::IOError(failure);
}

}  // namespace

Status CurlChannel::Write(std::string_view bytes) { return ChannelStatus(WriteAll(bytes)); }

Status CurlChannel::ReadLine(std::string* line) { return ChannelStatus(NextLine(line)); }

std::string CurlChannel::WriteAll(std::string_view bytes) {
  if (!dead_.empty()) return dead_;
  if (handle_ == nullptr) return Fail("not connected");
  CURL* curl = static_cast<CURL*>(handle_);
  while (!bytes.empty()) {
    if (cancelled()) return Fail("cancelled");
    size_t sent = 0;
    const CURLcode rc = curl_easy_send(curl, bytes.data(), bytes.size(), &sent);
    if (rc == CURLE_AGAIN) {
      const std::string waited = Wait(true);
      if (!waited.empty()) return waited;
      continue;
    }
    if (rc != CURLE_OK) return Fail("connection lost (" + std::string(curl_easy_strerror(rc)) + ")");
    bytes.remove_prefix(sent);
  }
  return "";
}

std::string CurlChannel::NextLine(std::string* line) {
  if (!dead_.empty()) return dead_;
  if (handle_ == nullptr) return Fail("not connected");
  CURL* curl = static_cast<CURL*>(handle_);
  size_t searched = in_pos_;
  for (;;) {
    const size_t nl = in_.find('\n', searched);
    if (nl != std::string::npos) {
      size_t end = nl;
      if (end > in_pos_ && in_[end - 1] == '\r') --end;
      line->assign(in_, in_pos_, end - in_pos_);
      in_pos_ = nl + 1;
      return "";
    }
    if (in_.size() - in_pos_ > kMaxLine) return Fail("line too long");
    // Keep the buffer small: drop what was handed out before reading more.
    if (in_pos_ > 0 && in_pos_ * 2 >= in_.size()) {
      in_.erase(0, in_pos_);
      in_pos_ = 0;
    }
    searched = in_.size();
    const size_t old = in_.size();
    in_.resize(old + kReadChunk);
    size_t got = 0;
    const CURLcode rc = curl_easy_recv(curl, in_.data() + old, kReadChunk, &got);
    in_.resize(old + (rc == CURLE_OK ? got : 0));
    if (rc == CURLE_AGAIN) {
      const std::string waited = Wait(false);
      if (!waited.empty()) return waited;
      continue;
    }
    if (rc != CURLE_OK) return Fail("connection lost (" + std::string(curl_easy_strerror(rc)) + ")");
    if (got == 0) return Fail("connection lost");
    if (cancelled()) return Fail("cancelled");
  }
}

}  // namespace kelmora
