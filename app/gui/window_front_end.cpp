// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/window_front_end.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QWindow>
#include <iostream>

#include "app/gui/busy_window.h"
#include "app/gui/main_window.h"
#include "app/gui/tray_icon.h"

namespace kelmora {

WindowFrontEnd::WindowFrontEnd(QObject* parent) : QObject(parent) {
  minute_timer_.setInterval(60000);
  connect(&minute_timer_, &QTimer::timeout, this, &WindowFrontEnd::OnMinuteTimer);
}

WindowFrontEnd::~WindowFrontEnd() { Detach(); }

void WindowFrontEnd::Attach(Program& program) {
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

  program.set_before_save([this](Settings* s) {
    if (main_) main_->CopyLogonInto(s);
  });
  // The program waits minimised; minimising switches the timer on. An X11
  // window asked to open minimised opens normal, so it is minimised once
  // the window system shows it.
  main_->show();
  QElapsedTimer waited;
  waited.start();
  while (!finished_ && main_->windowHandle() != nullptr && !main_->windowHandle()->isExposed() &&
         waited.elapsed() < 3000) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  if (!finished_) main_->setWindowState(main_->windowState() | Qt::WindowMinimized);
  SyncMinuteTimer();
  UpdateIndicators();
  if (!program.first_start_message().empty()) ShowFirstStartMessage(program);
}

void WindowFrontEnd::ShowFirstStartMessage(Program& program) {
  // Not modal: the program already runs (minimised, checking the store) and
  // the owner may read the box while editing the files it names.
  auto* box = new QMessageBox(QMessageBox::Information, "Kelmora",
                              QString::fromStdString(program.first_start_message()), QMessageBox::Ok);
  box->setObjectName("firstStartMessage");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void WindowFrontEnd::Detach() {
  minute_timer_.stop();
  if (program_ != nullptr) program_->set_before_save(nullptr);
  if (main_) main_->disconnect(this);
  tray_.reset();
  busy_.reset();
  main_.reset();
  program_ = nullptr;
}

void WindowFrontEnd::SetStatusText(const std::string& text) {
  status_ = QString::fromStdString(text);
  if (main_) main_->SetStatusText(status_);
}

void WindowFrontEnd::Flash() {
  attention_ = true;
  if (main_) QApplication::alert(main_.get(), 0);  // until the window is opened
  UpdateIndicators();
}

void WindowFrontEnd::ShowBusy() {
  if (!busy_) {
    busy_ = std::make_unique<BusyWindow>();
    busy_->setWindowIcon(TrayIcon::IconFor(TrayIcon::State::kCycleRunning));
    connect(busy_.get(), &BusyWindow::cancelled, this, [this] {
      if (program_ != nullptr) program_->RequestStop();
    });
  }
  busy_->ShowLoaded();
  UpdateIndicators();
}

void WindowFrontEnd::CloseBusy() {
  if (busy_) busy_->hide();
}

void WindowFrontEnd::SetBusyText(const std::string& text) {
  // A cancelled window stays closed; only its text follows.
  if (busy_) busy_->SetText(QString::fromStdString(text));
}

void WindowFrontEnd::PumpEvents() {
  UpdateIndicators();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  // The senders call this after every send, so the viewed list's number
  // follows them.
  if (main_) main_->RefreshSerialNo();
}

void WindowFrontEnd::Wait(int ms) {
  if (ms <= 0 || shutdown_pending_) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  // A program that is ending does not sit out its pauses.
  connect(this, &WindowFrontEnd::shutdownRequested, &loop, &QEventLoop::quit);
  UpdateIndicators();
  loop.exec();
}

void WindowFrontEnd::OnMinuteTimer() {
  if (program_ == nullptr || finished_) return;
  RunCycleWork([this] { program_->OnMinuteTick(); });
}

void WindowFrontEnd::RunTestCycle() {
  if (program_ == nullptr || shutdown_pending_ || program_->cycle_running()) return;
  main_->SetCycleRunning(true);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  SetStatusText("");
  RunCycleWork([this] { program_->RunMailCheck(); });
  QApplication::restoreOverrideCursor();
}

void WindowFrontEnd::RunCycleWork(const std::function<void()>& work) {
  work();
  // Work that arrived through the event pump of a running cycle returns at
  // once; the outermost call finishes up.
  if (program_ == nullptr || program_->cycle_running()) return;
  // The core switches the timer on again after a tick-started cycle; while
  // the window is open automatic checking stays paused.
  if (main_ && !main_->isMinimized() && program_->timer_enabled()) program_->OnRestore();
  SyncMinuteTimer();
  UpdateIndicators();
  if (main_) {
    main_->RefreshSerialNo();
    main_->RefreshLogCount();
  }
  if (shutdown_pending_) Finish();
}

void WindowFrontEnd::RequestClose() {
  if (finished_) return;
  if (program_ != nullptr) program_->OnCloseRequest();
  shutdown_pending_ = true;
  emit shutdownRequested();
  if (program_ != nullptr && program_->cycle_running()) {
    // The cycle stops at its next check point; RunCycleWork finishes then.
    minute_timer_.stop();
    if (main_) main_->hide();
    if (tray_) tray_->Hide();
    return;
  }
  Finish();
}

void WindowFrontEnd::End() {
  if (program_ != nullptr && program_->cycle_running()) {
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
  const bool running = program_ != nullptr && program_->cycle_running();
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
