// SPDX-License-Identifier: GPL-3.0-or-later
// Clock: where the program reads the local date and time, so that tests can
// fix the time that goes into log stamps and member records.
#pragma once

#include <cstdint>
#include <string>

namespace kelmora {

struct LocalTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The local date and time, to the second.
  virtual LocalTime Now() const = 0;
  // Microseconds since the Unix epoch (UTC): unique names, Message-IDs,
  // ages of records.
  virtual std::int64_t EpochMicros() const = 0;
  // What else makes a name unique across processes and hosts (stored
  // messages, Message-IDs, Maildir files): this process's id, the system's
  // host name ("" when unknown) and a fresh random number. The system's by
  // default; a test may fix them.
  virtual int ProcessId() const;
  virtual std::string HostName() const;
  virtual std::uint64_t Random() const;
};

class SystemClock : public Clock {
 public:
  LocalTime Now() const override;
  std::int64_t EpochMicros() const override;
};

// "yyyymmdd"
std::string FormatDate8(const LocalTime& t);
// "-hhmmss"
std::string FormatTimeDash6(const LocalTime& t);
// "yyyymmddhhmmss"
std::string FormatStamp14(const LocalTime& t);
// "yyyy/mm/dd-hh:mm" (the stamp of a member record)
std::string FormatMemberStamp(const LocalTime& t);

}  // namespace kelmora
