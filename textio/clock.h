// Clock: where the program reads the local date and time, so that tests can
// fix the time that goes into log stamps and member records.
#pragma once

#include <string>

namespace kelmora {

struct LocalTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

class SystemClock : public Clock {
 public:
  LocalTime Now() const override;
};

// A clock that always tells the same time (tests).
class FixedClock : public Clock {
 public:
  explicit FixedClock(LocalTime t) : t_(t) {}
  LocalTime Now() const override { return t_; }
  void Set(LocalTime t) { t_ = t; }

 private:
  LocalTime t_;
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
