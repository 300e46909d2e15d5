// SPDX-License-Identifier: GPL-3.0-or-later
// The composition root: the one place where a Program and its roads are
// put together. MakeProgram takes any RoadSource (tests hand in fakes);
// BuildKelmora wires the real ones: the disk, the system clock, SMTP and
// POP3 over libcurl with the deferred-delivery queue, the local mail store
// with its commands, and the dispatcher.
#pragma once

#include <memory>
#include <string>

#include "app/core/program.h"
#include "app/core/road_source.h"

namespace kelmora {

std::unique_ptr<Program> MakeProgram(const ProgramSetup& setup, RoadSource& roads);

// The program with everything it runs on, the same whichever front end
// shows it.
class Kelmora {
 public:
  virtual ~Kelmora() = default;
  virtual Program& program() = 0;
};

std::unique_ptr<Kelmora> BuildKelmora(FrontEnd& front, const std::string& folder, const std::string& bundled_example,
                                      bool no_wait);

}  // namespace kelmora
