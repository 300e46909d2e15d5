// SPDX-License-Identifier: GPL-3.0-or-later
// WindowFrontEnd: the desktop front end. It owns the main window, the busy
// window, the tray icon and the minute timer, carries out what the core
// asks of a front end, and runs every mail-check cycle and the shutdown.
//
// Everything runs on the window thread. A cycle lets window events run
// (PumpEvents, Wait), so a close, a restore or the busy window's cancel
// can arrive in the middle of one; they only set the stop request, and a
// close ends the program after the cycle has unwound.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/core/front_end.h"
#include "app/core/program.h"

namespace kelmora {

class BusyWindow;
class MainWindow;
class TrayIcon;

class WindowFrontEnd : public QObject, public FrontEnd {
  Q_OBJECT
 public:
  explicit WindowFrontEnd(QObject* parent = nullptr);
  ~WindowFrontEnd() override;

  // Builds the windows around the started `program`, shows the main window
  // minimised and arms the minute timer. `program` must outlive Detach().
  void Attach(Program& program);
  // Removes the windows; nothing reaches the program afterwards.
  void Detach();

  // --- FrontEnd ---
  void SetStatusText(const std::string& text) override;
  void Flash() override;
  void ShowBusy() override;
  void CloseBusy() override;
  void SetBusyText(const std::string& text) override;
  void PumpEvents() override;
  void Wait(int ms) override;

  // --- what the user (or a signal) asks for ---
  // The minute timer fired.
  void OnMinuteTimer();
  // The test button: one cycle at once, unless one runs already.
  void RunTestCycle();
  // Closing the window, SIGINT or SIGTERM: the running cycle is asked to
  // stop; settings are saved and finished() emitted once it has unwound.
  void RequestClose();
  // The End button: save and end. During a cycle it waits like a close,
  // since ending in the middle would leave messages half handled.
  void End();
  // Opens the window from the tray.
  void Restore();

  bool shutdown_pending() const { return shutdown_pending_; }
  bool finished_already() const { return finished_; }
  int exit_code() const { return exit_code_; }
  // A main-log entry (or a failed send) is waiting to be seen.
  bool attention() const { return attention_; }
  QString status_text() const { return status_; }

  MainWindow* main_window() const { return main_.get(); }
  BusyWindow* busy_window() const { return busy_.get(); }
  TrayIcon* tray() const { return tray_.get(); }
  const QTimer& minute_timer() const { return minute_timer_; }

 signals:
  // The program has ended its work: settings saved (exit code 0) or not
  // (1). The caller leaves the event loop with this code.
  void finished(int exit_code);
  // A close was requested: waits end early.
  void shutdownRequested();

 private:
  // Runs `work`, which may run a cycle, then brings the window back in
  // step and, when a close arrived meanwhile, finishes the program.
  void RunCycleWork(const std::function<void()>& work);
  // The box that names the folder a first start filled and what to edit.
  void ShowFirstStartMessage(Program& program);
  void OnMinimisedChanged(bool minimised);
  void UpdateIndicators();
  void SyncMinuteTimer();
  void Finish();

  Program* program_ = nullptr;
  std::unique_ptr<MainWindow> main_;
  std::unique_ptr<BusyWindow> busy_;
  std::unique_ptr<TrayIcon> tray_;
  QTimer minute_timer_;
  QString status_;
  bool attention_ = false;
  bool shutdown_pending_ = false;
  bool finished_ = false;
  int exit_code_ = 0;
};

}  // namespace kelmora
