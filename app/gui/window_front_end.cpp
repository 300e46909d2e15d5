// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/window_front_end.h"

#include <QApplication>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QShortcut>
#include <QThread>
#include <QWindow>
#include <iostream>

#include "app/gui/busy_window.h"
#include "app/gui/main_window.h"
#include "app/gui/tray_icon.h"
#include "app/gui/x11_hints.h"

namespace kelmora {

WindowFrontEnd::WindowFrontEnd(QObject* parent) : QObject(parent) {
  minute_timer_.setInterval(60000);
  connect(&minute_timer_, &QTimer::timeout, this, &WindowFrontEnd::OnMinuteTimer);
}

WindowFrontEnd::~WindowFrontEnd() { Detach(); }

void WindowFrontEnd::OnWindowThread(std::function<void()> f) {
  if (QThread::currentThread() == thread()) {
    f();
    return;
  }
  // Dropped if the front end is gone by then.
  QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

void WindowFrontEnd::Attach(ProgramControl& program) {
  closing_ = false;
  program_ = &program;
  main_ = std::make_unique<MainWindow>(program);
  main_->setWindowIcon(TrayIcon::IconFor(TrayIcon::State::kIdle));
  main_->Fill();
  if (!status_.isEmpty()) main_->SetStatusText(status_);
  connect(main_.get(), &MainWindow::minimisedChanged, this, &WindowFrontEnd::OnMinimisedChanged);
  connect(main_.get(), &MainWindow::testRunRequested, this, &WindowFrontEnd::RunTestCycle);
  connect(main_.get(), &MainWindow::endRequested, this, &WindowFrontEnd::End);
  connect(main_.get(), &MainWindow::closeRequested, this, &WindowFrontEnd::RequestClose);

  tray_ = std::make_unique<TrayIcon>();
  connect(tray_.get(), &TrayIcon::restoreRequested, this, &WindowFrontEnd::Restore);
  connect(tray_.get(), &TrayIcon::testRunRequested, this, &WindowFrontEnd::RunTestCycle);
  connect(tray_.get(), &TrayIcon::endRequested, this, &WindowFrontEnd::End);
  connect(tray_.get(), &TrayIcon::logRequested, main_.get(), &MainWindow::ShowLog);
  // Esc stands for "処理を中止" while the busy window is up.
  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), main_.get());
  connect(esc, &QShortcut::activated, this, [this] {
    if (busy_ && busy_->isVisible()) busy_->Cancel();
  });

  // The program waits minimised; minimising switches the timer on. The
  // window asks to be mapped iconic, so that it never shows before going to
  // the taskbar. A window manager that maps it normal all the same gets it
  // minimised once it shows; the wait ends as soon as either is seen.
  main_->setWindowState(main_->windowState() | Qt::WindowMinimized);
  main_->show();
  QElapsedTimer waited;
  waited.start();
  while (!finished_ && main_->windowHandle() != nullptr && !main_->windowHandle()->isExposed() &&
         !IconicOnX11(main_.get()) && waited.elapsed() < 3000) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  if (!finished_) main_->setWindowState(main_->windowState() | Qt::WindowMinimized);
  SyncMinuteTimer();
  UpdateIndicators();
  if (!program.first_start_message().empty()) ShowFirstStartMessage(program);
}

void WindowFrontEnd::ShowFirstStartMessage(ProgramControl& program) {
  // Not modal: the program already runs (minimised, checking the store) and
  // the owner may read the box while editing the files it names.
  auto* box = new QMessageBox(QMessageBox::Information, "Kelmora",
                              QString::fromStdString(program.first_start_message()), QMessageBox::Ok);
  box->setObjectName("firstStartMessage");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void WindowFrontEnd::JoinCycleThread() {
  if (!worker_.joinable()) return;
  if (program_ != nullptr) program_->OnCloseRequest();
  closing_ = true;
  wait_cv_.notify_all();
  // Nothing the cycle thread asks of this thread blocks it, so it ends.
  worker_.join();
}

void WindowFrontEnd::Detach() {
  minute_timer_.stop();
  JoinCycleThread();
  if (main_) main_->disconnect(this);
  tray_.reset();
  busy_.reset();
  main_.reset();
  program_ = nullptr;
}

void WindowFrontEnd::SetStatusText(const std::string& text) {
  OnWindowThread([this, text] {
    status_ = QString::fromStdString(text);
    if (main_) main_->SetStatusText(status_);
  });
}

void WindowFrontEnd::Flash() {
  OnWindowThread([this] {
    attention_ = true;
    if (main_) QApplication::alert(main_.get(), 0);  // until the window is opened
    UpdateIndicators();
  });
}

void WindowFrontEnd::ShowBusy() {
  OnWindowThread([this] {
    if (!busy_) {
      busy_ = std::make_unique<BusyWindow>();
      busy_->setWindowIcon(TrayIcon::IconFor(TrayIcon::State::kCycleRunning));
      connect(busy_.get(), &BusyWindow::cancelled, this, [this] {
        if (program_ != nullptr) program_->RequestStop();
      });
    }
    busy_->ShowLoaded();
    UpdateIndicators();
  });
}

void WindowFrontEnd::CloseBusy() {
  OnWindowThread([this] {
    if (busy_) busy_->hide();
  });
}

void WindowFrontEnd::SetBusyText(const std::string& text) {
  // A cancelled window stays closed; only its text follows.
  OnWindowThread([this, text] {
    if (busy_) busy_->SetText(QString::fromStdString(text));
  });
}

void WindowFrontEnd::SequenceNumberChanged(int row, std::int32_t number) {
  OnWindowThread([this, row, number] {
    if (main_) main_->SetSequenceNumber(row, number);
  });
}

void WindowFrontEnd::CycleStarted() {
  OnWindowThread([this] { UpdateIndicators(); });
}

void WindowFrontEnd::CycleEnded() {
  OnWindowThread([this] {
    UpdateIndicators();
    if (main_) main_->ShowRule();  // the cycle may have changed the viewed list
  });
}

void WindowFrontEnd::PumpEvents() {
  // On the cycle thread there is nothing to pump: the window thread runs
  // its events all the time.
  if (QThread::currentThread() != thread()) return;
  UpdateIndicators();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WindowFrontEnd::Wait(int ms) {
  if (ms <= 0 || closing_) return;
  if (QThread::currentThread() != thread()) {
    // A program that is ending does not sit out its pauses.
    std::unique_lock<std::mutex> lock(wait_mu_);
    wait_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return closing_.load(); });
    return;
  }
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  connect(this, &WindowFrontEnd::shutdownRequested, &loop, &QEventLoop::quit);
  UpdateIndicators();
  loop.exec();
}

void WindowFrontEnd::OnMinuteTimer() {
  if (program_ == nullptr || finished_) return;
  if (!program_->TickStartsCycle()) return;
  RunCycle(true);
}

void WindowFrontEnd::RunTestCycle() {
  if (program_ == nullptr || shutdown_pending_ || program_->cycle_running() || worker_.joinable()) return;
  main_->SetCycleRunning(true);
  SetStatusText("");
  RunCycle(false);
}

void WindowFrontEnd::RunCycle(bool tick) {
  if (!cycle_thread_) {
    program_->RunMailCheck();
    AfterCycle(tick);
    return;
  }
  if (worker_.joinable()) {
    // One cycle at a time; a tick that finds one running counts as run.
    if (tick) program_->EndTickCycle();
    return;
  }
  if (!tick) QApplication::setOverrideCursor(Qt::BusyCursor);
  ProgramControl* program = program_;
  worker_ = std::thread([this, program, tick] {
    program->RunMailCheck();
    QMetaObject::invokeMethod(
        this,
        [this, tick] {
          if (worker_.joinable()) worker_.join();
          if (!tick) QApplication::restoreOverrideCursor();
          AfterCycle(tick);
        },
        Qt::QueuedConnection);
  });
  UpdateIndicators();
}

void WindowFrontEnd::AfterCycle(bool tick) {
  if (program_ == nullptr) return;
  // Work that arrived through the event pump of a running cycle returns at
  // once; the outermost call finishes up.
  if (program_->cycle_running()) {
    if (tick) program_->EndTickCycle();
    return;
  }
  if (tick) program_->EndTickCycle();
  // The core switches the timer on again after a tick-started cycle; while
  // the window is open automatic checking stays paused.
  if (main_ && !main_->isMinimized() && program_->timer_enabled()) program_->OnRestore();
  SyncMinuteTimer();
  UpdateIndicators();
  if (main_) main_->RefreshLogCount();
  if (shutdown_pending_) Finish();
}

void WindowFrontEnd::RequestClose() {
  if (finished_) return;
  if (program_ != nullptr) program_->OnCloseRequest();
  shutdown_pending_ = true;
  closing_ = true;
  wait_cv_.notify_all();
  emit shutdownRequested();
  if (program_ != nullptr && (program_->cycle_running() || worker_.joinable())) {
    // The cycle stops at its next check point (a transfer under way is
    // aborted); AfterCycle finishes then.
    minute_timer_.stop();
    if (main_) main_->hide();
    if (tray_) tray_->Hide();
    return;
  }
  Finish();
}

void WindowFrontEnd::End() {
  if (program_ != nullptr && (program_->cycle_running() || worker_.joinable())) {
    RequestClose();
    return;
  }
  Finish();
}

void WindowFrontEnd::Restore() {
  if (!main_ || finished_) return;
  main_->showNormal();
  main_->raise();
  main_->activateWindow();
}

void WindowFrontEnd::OnMinimisedChanged(bool minimised) {
  if (program_ == nullptr || finished_) return;
  if (minimised) {
    program_->OnMinimise();
  } else {
    program_->OnRestore();
    attention_ = false;  // the user has seen the window
  }
  SyncMinuteTimer();
  UpdateIndicators();
}

void WindowFrontEnd::UpdateIndicators() {
  const bool running = program_ != nullptr && (program_->cycle_running() || worker_.joinable());
  if (main_) main_->SetCycleRunning(running);
  if (tray_) tray_->Update(running, attention_);
}

void WindowFrontEnd::SyncMinuteTimer() {
  const bool on = program_ != nullptr && program_->timer_enabled() && !shutdown_pending_;
  // Switching the timer on starts a fresh minute, as re-enabling it would.
  if (on && !minute_timer_.isActive()) minute_timer_.start();
  if (!on) minute_timer_.stop();
}

void WindowFrontEnd::Finish() {
  if (finished_) return;
  finished_ = true;
  shutdown_pending_ = true;
  minute_timer_.stop();
  int code = 0;
  if (program_ != nullptr) {
    Status s = program_->SaveSettings();
    if (!s.ok()) {
      std::cerr << "kelmora: Kelmora.ini could not be saved: " << s.message() << std::endl;
      code = 1;
    }
  }
  if (busy_) busy_->hide();
  if (tray_) tray_->Hide();
  if (main_) main_->hide();
  exit_code_ = code;
  emit finished(code);
}

}  // namespace kelmora
