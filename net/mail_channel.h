// SPDX-License-Identifier: GPL-3.0-or-later
// MailChannel: the byte stream under the SMTP and POP3 command layers, once
// the transport has connected, secured and logged in. The command layers
// write commands (several at once when the server pipelines) and read the
// replies line by line; they never see sockets or TLS, so their logic runs
// on a scripted channel in tests.
#pragma once

#include <string>
#include <string_view>

#include "textio/status.h"

namespace kelmora {

class MailChannel {
 public:
  virtual ~MailChannel() = default;

  // Writes all of `bytes`, in one write where the transport allows it (a
  // pipelined batch of commands goes out as one packet). A failure (an I/O
  // error) says what went wrong: "connection lost", "timed out",
  // "cancelled", the transport's words.
  [[nodiscard]] virtual Status Write(std::string_view bytes) = 0;

  // The next line the server sent, without its line end; a failure as for
  // Write. After a failure the channel is dead: every further call fails.
  [[nodiscard]] virtual Status ReadLine(std::string* line) = 0;

  // A new exchange (one transaction, one RETR window) begins: the time-out
  // for a whole transfer counts from here.
  virtual void BeginExchange() {}
};

}  // namespace kelmora
