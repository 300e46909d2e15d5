// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace kelmora {
namespace {

// The write end of the pipe from the signal handler to the event loop: a
// handler may only do async-signal-safe work such as write().
int g_signal_fds[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  if (g_signal_fds[1] >= 0) (void)!::write(g_signal_fds[1], &byte, 1);
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_fds) != 0) return;
  notifier_ = new QSocketNotifier(g_signal_fds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    while (::read(g_signal_fds[0], buf, sizeof buf) > 0) {
    }
    emit stopRequested();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

StopSignals::~StopSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  delete notifier_;
  for (int& fd : g_signal_fds) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

}  // namespace kelmora
