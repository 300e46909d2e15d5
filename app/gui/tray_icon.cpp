// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/tray_icon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace kelmora {
namespace {

// An envelope; a running cycle adds a green dot, a log entry a red one.
QPixmap Envelope(int size, const QColor& badge) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;
  QRectF body(2 * s, 7 * s, 28 * s, 19 * s);
  p.setPen(QPen(QColor(40, 60, 110), 1.6 * s));
  p.setBrush(QColor(245, 240, 225));
  p.drawRoundedRect(body, 2 * s, 2 * s);
  QPainterPath flap;
  flap.moveTo(body.topLeft());
  flap.lineTo(body.center().x(), body.top() + 11 * s);
  flap.lineTo(body.topRight());
  p.setBrush(Qt::NoBrush);
  p.drawPath(flap);
  if (badge.isValid()) {
    p.setPen(QPen(Qt::white, 1.2 * s));
    p.setBrush(badge);
    p.drawEllipse(QPointF(24 * s, 24 * s), 7 * s, 7 * s);
  }
  return pm;
}

}  // namespace

QIcon TrayIcon::IconFor(State state) {
  QColor badge;
  if (state == State::kCycleRunning) badge = QColor(40, 160, 60);
  if (state == State::kAttention) badge = QColor(210, 40, 40);
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) icon.addPixmap(Envelope(size, badge));
  return icon;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), menu_(new QMenu) {
  restore_ = menu_->addAction(QStringLiteral("ウィンドウを開く"));
  test_ = menu_->addAction(QStringLiteral("メール処理実行テスト"));
  log_ = menu_->addAction(QStringLiteral("ログを見る"));
  menu_->addSeparator();
  end_ = menu_->addAction(QStringLiteral("終了"));
  connect(restore_, &QAction::triggered, this, &TrayIcon::restoreRequested);
  connect(test_, &QAction::triggered, this, &TrayIcon::testRunRequested);
  connect(log_, &QAction::triggered, this, &TrayIcon::logRequested);
  connect(end_, &QAction::triggered, this, &TrayIcon::endRequested);

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(IconFor(state_), this);
    tray_->setContextMenu(menu_);
    tray_->setToolTip("Kelmora");
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit restoreRequested();
    });
    tray_->show();
  }
}

TrayIcon::~TrayIcon() {
  delete tray_;
  delete menu_;
}

void TrayIcon::Update(bool cycle_running, bool attention) {
  test_->setEnabled(!cycle_running);
  const State next = cycle_running ? State::kCycleRunning : attention ? State::kAttention : State::kIdle;
  if (next == state_) return;
  state_ = next;
  if (tray_ == nullptr) return;
  tray_->setIcon(IconFor(state_));
  switch (state_) {
    case State::kIdle: tray_->setToolTip("Kelmora"); break;
    case State::kCycleRunning: tray_->setToolTip(QStringLiteral("Kelmora： メール処理中")); break;
    case State::kAttention: tray_->setToolTip(QStringLiteral("Kelmora： ログに記録があります")); break;
  }
}

void TrayIcon::Hide() {
  if (tray_ != nullptr) tray_->hide();
}

}  // namespace kelmora
