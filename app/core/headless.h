// SPDX-License-Identifier: GPL-3.0-or-later
// The headless front end: no window; the status bar goes to standard
// output and SIGINT/SIGTERM act as closing the window.
#pragma once

#include <string>

#include "app/core/exit_status.h"
#include "app/core/front_end.h"
#include "app/core/program.h"

namespace kelmora {

class HeadlessFrontEnd : public FrontEnd {
 public:
  // `program` learns of a stop request (a signal) through PumpEvents and
  // Wait; it may be set after construction.
  void set_program(Program* program) { program_ = program; }

  void SetStatusText(const std::string& text) override;
  void Flash() override {}
  void ShowBusy() override {}
  void CloseBusy() override {}
  void PumpEvents() override;
  void Wait(int ms) override;

 private:
  Program* program_ = nullptr;
};

// Installs the SIGINT/SIGTERM handlers; true once a signal has arrived.
void InstallStopSignals();
bool StopSignalReceived();

// The text shown when start-up finds a fatal fault, then the exit status.
[[noreturn]] void ExitWithMessageHeadless(const std::string& text, int status = kExitStartupFault);

// Runs the program without a window until a stop signal (or, with `once`,
// for exactly one cycle), then saves the settings. Returns the exit status:
// kExitCheckFailed when the settings could not be saved, or, with `once`,
// when the check wrote a failure to the main log.
int RunHeadless(Program& program, bool once);

}  // namespace kelmora
