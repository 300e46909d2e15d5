// SPDX-License-Identifier: GPL-3.0-or-later
// TrayIcon: the program's icon in the desktop's system tray, where the
// desktop has one. Its picture tells whether a cycle runs and whether the
// main log got an entry since the window was last opened; its menu opens
// the window, starts a test run or ends the program. Without a tray the
// menu and state still exist (nothing is shown), so callers need not care.
#pragma once

#include <QIcon>
#include <QObject>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace kelmora {

class TrayIcon : public QObject {
  Q_OBJECT
 public:
  enum class State { kIdle, kCycleRunning, kAttention };

  explicit TrayIcon(QObject* parent = nullptr);
  ~TrayIcon() override;

  // A running cycle is shown before a pending log entry.
  void Update(bool cycle_running, bool attention);
  State state() const { return state_; }
  bool shown() const { return tray_ != nullptr; }
  void Hide();

  QAction* restore_action() const { return restore_; }
  QAction* test_action() const { return test_; }
  QAction* end_action() const { return end_; }
  QAction* log_action() const { return log_; }

  static QIcon IconFor(State state);

 signals:
  void restoreRequested();
  void testRunRequested();
  void endRequested();
  void logRequested();

 private:
  QMenu* menu_;
  QAction* restore_;
  QAction* test_;
  QAction* end_;
  QAction* log_;
  QSystemTrayIcon* tray_ = nullptr;
  State state_ = State::kIdle;
};

}  // namespace kelmora
