// SPDX-License-Identifier: GPL-3.0-or-later
// DialogLines: the server's side of the dialog libcurl holds while it
// connects (greeting, capabilities, login) arrives in chunks of any size;
// this cuts it into whole lines for the SMTP and POP3 sessions to read.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kelmora {

class DialogLines {
 public:
  // Adds a chunk and calls `each` with every line it completes, without its
  // line end (LF or CR LF). A server that never ends a line cannot make the
  // unfinished rest grow past 64 KiB: it is dropped.
  void Take(std::string_view data, const std::function<void(std::string& line)>& each);

 private:
  std::string pending_;
};

}  // namespace kelmora
