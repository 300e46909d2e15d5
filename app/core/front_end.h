// SPDX-License-Identifier: GPL-3.0-or-later
// FrontEnd: the few duties the core asks of whatever shows the program to
// the user (the Qt window, or standard output when headless).
#pragma once

#include <string>

namespace kelmora {

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

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
};

}  // namespace kelmora
