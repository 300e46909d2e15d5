// SPDX-License-Identifier: GPL-3.0-or-later
// SilentFrontEnd: a front end that shows nothing and records what it was
// asked to show, for tests and benchmarks.
#pragma once

#include <string>

#include "app/core/front_end.h"

namespace kelmora {

class SilentFrontEnd : public FrontEnd {
 public:
  void SetStatusText(const std::string& text) override { status = text; }
  void Flash() override { ++flashes; }
  void ShowBusy() override {
    busy = true;
    ++busy_shown;
  }
  void CloseBusy() override { busy = false; }
  void PumpEvents() override {}
  void Wait(int) override {}

  std::string status;
  int flashes = 0;
  int busy_shown = 0;
  bool busy = false;
};

}  // namespace kelmora
