// SPDX-License-Identifier: GPL-3.0-or-later
// FrontEnd: the few duties the core asks of whatever shows the program to
// the user (the Qt window, or standard output when headless), and the
// events it reports to it.
//
// A front end may run the cycle on a thread of its own: then every call
// below that a cycle makes arrives on that thread, and the front end hands
// it to its own thread in the order it arrived.
#pragma once

#include <cstdint>
#include <string>

namespace kelmora {

// What the core tells whoever watches it. Nothing is asked back.
class ProgramEvents {
 public:
  virtual ~ProgramEvents() = default;
  // A list post took the next number of rule row `row` (0-based).
  virtual void SequenceNumberChanged(int row, std::int32_t number) { (void)row, (void)number; }
  // The main log got `entry` (with its time stamp).
  virtual void LogEntryWritten(const std::string& entry) { (void)entry; }
  virtual void CycleStarted() {}
  virtual void CycleEnded() {}
};

class FrontEnd : public ProgramEvents {
 public:
  // The status bar text.
  virtual void SetStatusText(const std::string& text) = 0;
  // Draws attention after a main-log entry (the taskbar button flashes).
  virtual void Flash() = 0;
  // The busy window shown during a mail-check cycle.
  virtual void ShowBusy() = 0;
  virtual void CloseBusy() = 0;
  virtual void SetBusyText(const std::string& text) { (void)text; }
  // Lets pending user events run (a stop request may arrive through them).
  virtual void PumpEvents() = 0;
  // Waits `ms` milliseconds while staying responsive.
  virtual void Wait(int ms) = 0;

  // A main-log entry is shown in the status bar and draws attention.
  void LogEntryWritten(const std::string& entry) override {
    Flash();
    SetStatusText(entry);
  }
};

}  // namespace kelmora
