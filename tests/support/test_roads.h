// SPDX-License-Identifier: GPL-3.0-or-later
// TestRoads: the roads a test hands to MakeProgram, the same factory the
// program uses. The pointers set before the program is made are its roads;
// the processor and the local reception may be switched between cycles
// (the program holds forwarders to them). `build` runs when the program
// asks for its roads, for fakes that need its logger or settings.
#pragma once

#include <functional>
#include <memory>

#include "app/core/program_factory.h"
#include "tests/support/counted_inbox.h"

namespace kelmora {

class TestRoads : public RoadSource {
 public:
  MailComponent* mail = nullptr;
  MailStore* store = nullptr;
  DeliveryQueue* queue = nullptr;
  MessageProcessor* processor = nullptr;
  LocalMailReception* local = nullptr;
  std::function<void(Program&)> build;

  Roads Open(Program& program) override {
    if (build) build(program);
    return Roads{mail, &local_, store, processor != nullptr ? &processor_ : nullptr, queue};
  }

  std::unique_ptr<Program> Make(FileSystem& fs, const Clock& clock, FrontEnd& front, const std::string& folder,
                                bool no_wait = false, const std::string& example = "") {
    return MakeProgram(ProgramSetup{fs, clock, front, folder, example, no_wait}, *this);
  }

 private:
  class Processor : public MessageProcessor {
   public:
    explicit Processor(TestRoads& roads) : roads_(roads) {}
    void ProcessMessages(Inbox& inbox) override {
      if (roads_.processor != nullptr) roads_.processor->ProcessMessages(inbox);
    }

   private:
    TestRoads& roads_;
  };
  // Without a reception set it behaves as a closed road: nothing fetched,
  // no session.
  class Local : public LocalMailReception {
   public:
    explicit Local(TestRoads& roads) : roads_(roads) {}
    Status FetchMail(int* count) override {
      *count = 0;
      return roads_.local ? roads_.local->FetchMail(count) : Status::OK();
    }
    Inbox& inbox() override { return roads_.local ? roads_.local->inbox() : none_; }
    bool OpenForSending() override { return roads_.local ? roads_.local->OpenForSending() : false; }
    bool SessionOpen() const override { return roads_.local ? roads_.local->SessionOpen() : false; }
    void SignOff() override {
      if (roads_.local) roads_.local->SignOff();
    }

   private:
    TestRoads& roads_;
    CountedInbox none_;
  };
  Processor processor_{*this};
  Local local_{*this};
};

}  // namespace kelmora
