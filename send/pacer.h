// SPDX-License-Identifier: GPL-3.0-or-later
// Pacer: the few duties the sending and processing loops ask of whatever
// shows the program (the window, or nothing when headless): let pending
// user events run, wait while staying responsive, show progress, draw
// attention, and tell whether the user asked to stop.
#pragma once

#include <string>

namespace kelmora {

class Pacer {
 public:
  virtual ~Pacer() = default;
  virtual void PumpEvents() = 0;
  virtual void Wait(int ms) = 0;
  virtual void SetBusyText(const std::string& text) = 0;
  virtual void Flash() = 0;
  // True once a stop was asked for (window closed or restored, cancel,
  // signal); loops check it between members and rows.
  virtual bool StopRequested() const = 0;
};

}  // namespace kelmora
