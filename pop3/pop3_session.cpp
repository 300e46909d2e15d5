// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/pop3_session.h"

#include <algorithm>

namespace kelmora {

// Pages not yet written cost nothing, so the buffer is reserved for the
// size LIST gave, up to a bound a lying server cannot push past.
constexpr std::uint64_t kReserveLimit = 1u << 30;

Pop3Reply Pop3Session::RetrMany(const std::vector<Wanted>& wanted, std::string* buffer,
                                const std::function<bool(size_t index)>& each, size_t* handed) {
  *handed = 0;
  for (size_t i = 0; i < wanted.size(); ++i) {
    buffer->reserve(static_cast<size_t>(std::min(wanted[i].size, kReserveLimit)) + 4096);
    const Pop3Reply fetched = Retr(wanted[i].number, buffer);
    if (!fetched.ok()) return fetched;
    if (buffer->size() != wanted[i].size && !Noop().ok()) {
      // A RETR cut off by a dropped connection may end without an error
      // (libcurl does that); only a connection still in step proves that
      // the end mark arrived and LIST's size was merely inexact.
      return Pop3Reply::Failed("message incomplete (" + std::to_string(buffer->size()) + " of " +
                               std::to_string(wanted[i].size) + " bytes), connection lost");
    }
    *handed = i + 1;
    if (!each(i)) break;
  }
  return Pop3Reply::Ok();
}

Pop3Reply Pop3Session::DeleMany(const std::vector<int>& numbers, size_t* deleted) {
  *deleted = 0;
  for (int number : numbers) {
    const Pop3Reply r = Dele(number);
    if (!r.ok()) return r;
    ++*deleted;
  }
  return Pop3Reply::Ok();
}

}  // namespace kelmora
