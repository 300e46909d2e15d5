// SPDX-License-Identifier: GPL-3.0-or-later
// StopSignals: SIGINT and SIGTERM delivered as a Qt signal on the window
// thread, so that they can act exactly as closing the window does.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace kelmora {

class StopSignals : public QObject {
  Q_OBJECT
 public:
  // Installs the handlers; only one object may exist at a time.
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;

 signals:
  void stopRequested();

 private:
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kelmora
