// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/transfer_cancel.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelmora {
namespace {

int OnProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TransferCancel*>(data)->cancelled() ? 1 : 0;
}

curl_socket_t OnOpenSocket(void* data, curlsocktype, curl_sockaddr* address) {
  auto* cancel = static_cast<TransferCancel*>(data);
  if (cancel->cancelled()) return CURL_SOCKET_BAD;
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  if (!cancel->Opened(fd)) {
    ::close(fd);
    return CURL_SOCKET_BAD;
  }
  return fd;
}

int OnCloseSocket(void* data, curl_socket_t fd) {
  // Unregistered before the number is freed, so that Cancel() never shuts
  // down a socket that another part of the program has been given since.
  static_cast<TransferCancel*>(data)->Closed(fd);
  return ::close(fd);
}

}  // namespace

void TransferCancel::Cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_ = true;
  for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
}

bool TransferCancel::Opened(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  // Checked again under the lock: a Cancel() between the first check and
  // here would not have seen this socket.
  if (cancelled_) return false;
  sockets_.insert(fd);
  return true;
}

void TransferCancel::Closed(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  sockets_.erase(fd);
}

void TransferCancel::Watch(void* curl_handle, TransferCancel* cancel) {
  if (curl_handle == nullptr || cancel == nullptr) return;
  CURL* curl = static_cast<CURL*>(curl_handle);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cancel);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, cancel);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, cancel);
}

}  // namespace kelmora
