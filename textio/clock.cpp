// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/clock.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

#include "textio/host_names.h"

namespace kelmora {

int Clock::ProcessId() const { return static_cast<int>(::getpid()); }

std::string Clock::HostName() const { return SystemHostName(); }

std::uint64_t Clock::Random() const {
  std::random_device random;
  return (static_cast<std::uint64_t>(random()) << 32) ^ random();
}

LocalTime SystemClock::Now() const {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t SystemClock::EpochMicros() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatDate8(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
  return buf;
}

std::string FormatTimeDash6(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "-%02d%02d%02d", t.hour, t.minute, t.second);
  return buf;
}

std::string FormatStamp14(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

std::string FormatMemberStamp(const LocalTime& t) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d-%02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
  return buf;
}

}  // namespace kelmora
