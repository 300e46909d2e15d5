// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/busy_window.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app/gui/x11_hints.h"

namespace kelmora {
namespace {

// The panel's corner radius and the room between its outline and the
// labels, in device-independent pixels (Qt scales them with the screen).
constexpr int kCornerRadius = 15;
constexpr int kPadding = 12;

QFont BusyFont() {
  QFont font;
  // The proportional gothic face the panel was designed with, or the free
  // face closest to it.
  font.setFamilies({"IPAPGothic", "ＭＳ Ｐゴシック", "IPAGothic"});
  font.setPixelSize(12);
  return font;
}

}  // namespace

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

QString BusyWindow::InitialText() { return QStringLiteral("Kelmora　： メール送信中"); }

BusyWindow::BusyWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus) {
  setObjectName("frmBusy");
  setWindowTitle("Kelmora");
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFont(BusyFont());

  label1_ = new QLabel(this);
  label1_->setObjectName("Label1");
  label1_->setAlignment(Qt::AlignCenter);

  cancel_ = new ClickableLabel(QStringLiteral("処理を中止"), this);
  cancel_->setObjectName("lblCancel");
  cancel_->setAlignment(Qt::AlignCenter);
  cancel_->setCursor(Qt::PointingHandCursor);
  cancel_->setStyleSheet("color: #1a4fa0; text-decoration: underline;");

  // Both labels in a column inside the panel, sized from the font, so that
  // they stay inside the outline at any scale factor and any text width.
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kPadding + kCornerRadius / 3, kPadding, kPadding + kCornerRadius / 3, kPadding);
  column->setSpacing(kPadding / 2);
  column->addWidget(label1_);
  column->addWidget(cancel_, 0, Qt::AlignHCenter);
  column->setSizeConstraint(QLayout::SetFixedSize);
  // Room for the longest progress text ("…(999/999)") without resizing.
  label1_->setMinimumWidth(label1_->fontMetrics().horizontalAdvance(QStringLiteral("　Kelmora： メール送信中(999/999)")));

  connect(cancel_, &ClickableLabel::clicked, this, &BusyWindow::Cancel);
}

void BusyWindow::Cancel() {
  if (!isVisible()) return;
  hide();
  emit cancelled();
}

QPainterPath BusyWindow::Panel(const QRectF& rect) {
  QPainterPath panel;
  panel.addRoundedRect(rect, kCornerRadius, kCornerRadius);
  return panel;
}

void BusyWindow::ShowLoaded() {
  label1_->setText(InitialText());
  adjustSize();
  // Frameless: the outline is the rounded panel itself.
  setMask(QRegion(Panel(QRectF(rect())).toFillPolygon().toPolygon()));
  // A passing notice, not a window of its own to switch to.
  SkipTaskbarAndPager(this);
  show();
  raise();
}

void BusyWindow::SetText(const QString& text) { label1_->setText(text); }

void BusyWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), palette().window());
  p.setPen(QPen(palette().mid().color(), 1));
  p.drawPath(Panel(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5)));
}

}  // namespace kelmora
