// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/window_app.h"

#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/gui/fatal_message.h"
#include "app/gui/stop_signals.h"
#include "app/gui/tray_icon.h"
#include "app/gui/window_front_end.h"

namespace kelmora {
namespace {

bool Set(const char* v) { return v != nullptr && *v != '\0'; }

}  // namespace

bool DisplayAvailable(const char* display, const char* wayland_display, const char* qpa_platform) {
  if (Set(display) || Set(wayland_display)) return true;
  if (!Set(qpa_platform)) return false;
  // "name[:options]", several separated by ";": any name other than the
  // two display-server ones needs no display.
  for (const QString& entry : QString::fromLocal8Bit(qpa_platform).split(';', Qt::SkipEmptyParts)) {
    const QString name = entry.section(':', 0, 0).trimmed();
    if (name.isEmpty()) continue;
    if (name != "xcb" && !name.startsWith("wayland")) return true;
  }
  return false;
}

bool DisplayAvailable() {
  return DisplayAvailable(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"), std::getenv("QT_QPA_PLATFORM"));
}

std::string NoDisplayMessage() {
  return "kelmora: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset); "
         "run it with --headless, or --once for a single mail check";
}

struct WindowApp::Impl {
  Impl(int& argc, char** argv) : app(argc, argv) {}
  QApplication app;
  WindowFrontEnd front;
};

WindowApp::WindowApp(int& argc, char** argv) {
  QApplication::setApplicationName("Kelmora");
  QApplication::setApplicationVersion(KELMORA_VERSION);
  QGuiApplication::setDesktopFileName("kelmora");
  impl_ = std::make_unique<Impl>(argc, argv);
  // The program ends through its own shutdown (settings saved), never
  // because the last window went away.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(TrayIcon::IconFor(TrayIcon::State::kIdle));
}

WindowApp::~WindowApp() = default;

FrontEnd& WindowApp::front_end() { return impl_->front; }

void WindowApp::ExitWithMessage(const std::string& text, int status) {
  // Also on standard error, for a start from a terminal or a service log.
  std::cout.flush();
  std::cerr << text << "\n終了します。" << std::endl;
  ShowFatalMessage(QString::fromStdString(text));
  std::fflush(nullptr);
  std::_Exit(status);
}

int WindowApp::Run(ProgramControl& program) {
  StopSignals stop_signals;
  WindowFrontEnd& front = impl_->front;
  QObject::connect(&stop_signals, &StopSignals::stopRequested, &front, &WindowFrontEnd::RequestClose);
  QObject::connect(&front, &WindowFrontEnd::finished, &impl_->app, [](int code) { QCoreApplication::exit(code); });
  front.Attach(program);
  // A signal may already have ended the program while the window opened.
  const int code = front.finished_already() ? front.exit_code() : QApplication::exec();
  front.Detach();
  return code;
}

}  // namespace kelmora
