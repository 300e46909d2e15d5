// SPDX-License-Identifier: GPL-3.0-or-later
// TransferCancel: a stop request that reaches a transfer while it waits on
// a server. The transfers run on a thread of their own; a server that
// accepts and then stays silent would otherwise hold the program until a
// time-out many seconds away. Cancel() may be called from any thread: it
// marks the request and shuts down the sockets the watched transfers have
// open, so their wait ends at once and libcurl reports the transfer as
// failed, as a dropped connection would be.
#pragma once

#include <atomic>
#include <mutex>
#include <set>

namespace kelmora {

class TransferCancel {
 public:
  TransferCancel() = default;
  TransferCancel(const TransferCancel&) = delete;
  TransferCancel& operator=(const TransferCancel&) = delete;

  void Cancel();
  // Before a new cycle: transfers may run again.
  void Reset() { cancelled_ = false; }
  bool cancelled() const { return cancelled_; }

  // Hooks a libcurl easy handle (void*: CURL*) up to this request: its
  // sockets are registered, and its progress callback aborts once the
  // request is made. A null `cancel` leaves the handle as it is.
  static void Watch(void* curl_handle, TransferCancel* cancel);

  // Socket bookkeeping for the libcurl callbacks.
  bool Opened(int fd);
  void Closed(int fd);

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mu_;
  std::set<int> sockets_;
};

}  // namespace kelmora
