// SPDX-License-Identifier: GPL-3.0-or-later
// WindowFrontEnd: the desktop front end. It owns the main window, the busy
// window, the tray icon and the minute timer, carries out what the core
// asks of a front end, and runs every mail-check cycle and the shutdown.
//
// A cycle runs on a thread of its own, so the window keeps painting and
// answering while a server is slow or silent. What the cycle asks of the
// front end is handed to the window thread in the order it was asked; the
// window reaches the core only through ProgramControl, which takes the
// window's changes in at the cycle's check points. A close, a restore or
// the busy window's cancel only set the stop request (the cancel and the
// close also abort a transfer under way), and a close ends the program
// after the cycle has unwound.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/core/front_end.h"
#include "app/core/program_control.h"

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
  void Attach(ProgramControl& program);
  // On (the default): cycles run on a thread of their own. Off: on the
  // window thread, with PumpEvents running window events, for tests that
  // script what happens inside a cycle step by step.
  void set_cycle_thread(bool on) { cycle_thread_ = on; }
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
  void SequenceNumberChanged(int row, std::int32_t number) override;
  void CycleStarted() override;
  void CycleEnded() override;

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
  // Runs a cycle, then brings the window back in step and, when a close
  // arrived meanwhile, finishes the program. `tick`: started by the timer.
  void RunCycle(bool tick);
  void AfterCycle(bool tick);
  // Runs `f` on the window thread: at once when called there, else queued
  // behind what was asked before.
  void OnWindowThread(std::function<void()> f);
  // Ends a running cycle thread; the program is told to stop first.
  void JoinCycleThread();
  // The box that names the folder a first start filled and what to edit.
  void ShowFirstStartMessage(ProgramControl& program);
  void OnMinimisedChanged(bool minimised);
  void UpdateIndicators();
  void SyncMinuteTimer();
  void Finish();

  ProgramControl* program_ = nullptr;
  bool cycle_thread_ = true;
  std::thread worker_;
  // Lets a wait on the cycle thread end early when the program is closing.
  std::mutex wait_mu_;
  std::condition_variable wait_cv_;
  std::atomic<bool> closing_{false};
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
