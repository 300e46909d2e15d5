// SPDX-License-Identifier: GPL-3.0-or-later
// FixedClock: a clock that tells the time it was given, for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "textio/clock.h"

namespace kelmora {

class FixedClock : public Clock {
 public:
  explicit FixedClock(LocalTime t) : t_(t) {}
  LocalTime Now() const override { return t_; }
  // Advances by one microsecond per call, so unique names stay unique.
  std::int64_t EpochMicros() const override { return ++micros_; }
  void Set(LocalTime t) { t_ = t; }
  void SetEpochMicros(std::int64_t micros) { micros_ = micros; }
  // The process id, host name and random number it tells, once set;
  // the system's until then.
  std::optional<int> pid;
  std::optional<std::string> host;
  std::optional<std::uint64_t> random;
  int ProcessId() const override { return pid ? *pid : Clock::ProcessId(); }
  std::string HostName() const override { return host ? *host : Clock::HostName(); }
  std::uint64_t Random() const override { return random ? *random : Clock::Random(); }

 private:
  LocalTime t_;
  mutable std::int64_t micros_ = 1'800'000'000'000'000;
};

}  // namespace kelmora
