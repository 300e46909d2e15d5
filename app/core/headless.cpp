// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/core/headless.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stop_token>
#include <thread>

namespace kelmora {
namespace {

volatile sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int) { g_stop_signal = 1; }

// Sleeps until `deadline` or a stop signal, in short slices so that a
// signal is noticed quickly.
void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  while (!g_stop_signal) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(200));
    std::this_thread::sleep_for(slice);
  }
}

}  // namespace

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool StopSignalReceived() { return g_stop_signal != 0; }

void HeadlessFrontEnd::SetStatusText(const std::string& text) {
  std::cout << text << std::endl;
}

void HeadlessFrontEnd::PumpEvents() {
  if (g_stop_signal && program_ != nullptr) program_->OnCloseRequest();
}

void HeadlessFrontEnd::Wait(int ms) {
  if (ms <= 0) return;
  SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
  PumpEvents();
}

void ExitWithMessageHeadless(const std::string& text, int status) {
  std::cout.flush();
  std::cerr << text << "\n終了します。" << std::endl;
  std::_Exit(status);
}

int RunHeadless(Program& program, bool once) {
  // A signal aborts a transfer that waits on a silent server at once, not
  // only at the cycle's next check point.
  std::jthread watcher([&program](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (g_stop_signal) {
        program.OnCloseRequest();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  if (once) {
    program.RunMailCheck();
  } else {
    auto next_tick = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!g_stop_signal) {
      SleepUntil(next_tick);
      if (g_stop_signal) break;
      program.OnMinuteTick();
      // A long cycle must not cause a burst of catch-up ticks.
      next_tick += std::chrono::minutes(1);
      auto now = std::chrono::steady_clock::now();
      if (next_tick < now) next_tick = now + std::chrono::minutes(1);
    }
  }
  watcher.request_stop();
  watcher.join();
  Status s = program.SaveSettings();
  if (!s.ok()) {
    std::cerr << "Kelmora.ini could not be saved: " << s.message() << std::endl;
    return kExitCheckFailed;
  }
  // A service that runs until stopped reports its failures in the main log
  // as they happen; a single check hands them to its caller (cron, a timer).
  if (once && program.logger().failures_logged() > 0) return kExitCheckFailed;
  return kExitOk;
}

}  // namespace kelmora
