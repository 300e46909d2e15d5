// HoldProcessor: leaves every received message stored in log/receive and
// tells the mail component it has been dealt with. Used while no rule
// dispatcher is attached.
#pragma once

#include "app/core/message_processor.h"
#include "app/core/program.h"

namespace kelmora {

class HoldProcessor : public MessageProcessor {
 public:
  explicit HoldProcessor(Program& program) : program_(program) {}
  void ProcessMessages(int count, const std::vector<std::string>& stored_names) override {
    if (program_.mail() == nullptr) return;
    for (int i = 1; i <= count && i < static_cast<int>(stored_names.size()); ++i) {
      program_.mail()->MarkSettled(program_.logger().ReceiveFolder(), stored_names[i]);
    }
  }

 private:
  Program& program_;
};

}  // namespace kelmora
