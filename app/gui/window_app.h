// SPDX-License-Identifier: GPL-3.0-or-later
// WindowApp: what main() needs to run Kelmora with its window, without
// seeing the window toolkit. Typical use:
//
//   if (!DisplayAvailable()) { ...suggest --headless...; return 1; }
//   WindowApp app(argc, argv);
//   Program program(..., app.front_end(), ...);
//   Status s = program.Start(delay);
//   if (!s.ok()) app.ExitWithMessage(s.message(), StartupExitStatus(s));
//   return app.Run(program);
#pragma once

#include <memory>
#include <string>

#include "app/core/exit_status.h"
#include "app/core/front_end.h"
#include "app/core/program_control.h"

namespace kelmora {

// Whether a window can be opened: an X11 or Wayland display is named, or
// QT_QPA_PLATFORM names a platform that needs neither (offscreen, vnc, ...).
// Null pointers stand for unset variables.
bool DisplayAvailable(const char* display, const char* wayland_display, const char* qpa_platform);
bool DisplayAvailable();  // from the environment

// The one line shown when there is no display.
std::string NoDisplayMessage();

class WindowApp {
 public:
  WindowApp(int& argc, char** argv);
  ~WindowApp();
  WindowApp(const WindowApp&) = delete;
  WindowApp& operator=(const WindowApp&) = delete;

  FrontEnd& front_end();

  // A fatal start-up finding: beep, warning box with `text` and
  // "終了します。", then the exit status. Nothing is saved.
  [[noreturn]] void ExitWithMessage(const std::string& text, int status = kExitStartupFault);

  // Opens the window for the started program and runs until the user (or
  // SIGINT/SIGTERM) ends it. Returns the exit status.
  int Run(ProgramControl& program);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelmora
