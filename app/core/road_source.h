// SPDX-License-Identifier: GPL-3.0-or-later
// Roads: the collaborators a Program receives and sends mail through, and
// RoadSource, which builds them once the program has its logger and
// settings (they write to the one and read the logon from the other).
// Production builds them in app/core/program_factory; tests hand in fakes.
#pragma once

namespace kelmora {

class DeliveryQueue;
class LocalMailReception;
class MailComponent;
class MailStore;
class MessageProcessor;
class Program;

// A null road is closed: the cycle skips it, and a send through it fails.
struct Roads {
  MailComponent* mail = nullptr;
  LocalMailReception* local = nullptr;
  MailStore* store = nullptr;
  MessageProcessor* processor = nullptr;
  DeliveryQueue* queue = nullptr;  // flushed at the start of every cycle
};

class RoadSource {
 public:
  virtual ~RoadSource() = default;
  // Called once, from Program's constructor; the roads must outlive the
  // program.
  virtual Roads Open(Program& program) = 0;
};

}  // namespace kelmora
