// MessageProcessor: what a mail-check cycle does with the messages it
// received. The rule dispatcher implements it; tests use fakes.
#pragma once

#include <string>
#include <vector>

namespace kelmora {

class MessageProcessor {
 public:
  virtual ~MessageProcessor() = default;
  // `stored_names` has element 0 = "" and the stored names of the cycle's
  // messages at 1..count (POP3); in local-store mode it holds only "".
  virtual void ProcessMessages(int count, const std::vector<std::string>& stored_names) = 0;
};

}  // namespace kelmora
