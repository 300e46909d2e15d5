// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/busy_window.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace kelmora {
namespace {

// Geometry in pixels: the window was laid out in twips, 15 to a pixel.
constexpr int kWidth = 3495 / 15;
constexpr int kHeight = 1110 / 15;
const QRect kLabel1Rect(120 / 15, 120 / 15, 3255 / 15, 855 / 15);
const QRect kCancelRect(840 / 15, 480 / 15, 1575 / 15, 375 / 15);
// The panel: corners (3, 25) and (220, 90), corner ellipses 30 by 30.
const QRect kPanelRect(QPoint(3, 25), QPoint(220 - 1, 90 - 1));
constexpr int kPanelCornerRadius = 15;

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
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName("frmBusy");
  setWindowTitle("Kelmora");
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(kWidth, kHeight);
  setFont(BusyFont());

  label1_ = new QLabel(this);
  label1_->setObjectName("Label1");
  label1_->setGeometry(kLabel1Rect);
  label1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label1_->setWordWrap(true);

  cancel_ = new ClickableLabel(QStringLiteral("処理を中止"), this);
  cancel_->setObjectName("lblCancel");
  cancel_->setGeometry(kCancelRect);
  cancel_->setAlignment(Qt::AlignCenter);
  cancel_->setCursor(Qt::PointingHandCursor);
  cancel_->setStyleSheet("color: #1a4fa0; text-decoration: underline;");
  cancel_->raise();

  connect(cancel_, &ClickableLabel::clicked, this, [this] {
    hide();
    emit cancelled();
  });
}

QRegion BusyWindow::Outline(const QList<QRect>& control_rects) {
  QRegion region;
  for (const QRect& r : control_rects) region += r;
  QPainterPath panel;
  panel.addRoundedRect(QRectF(kPanelRect), kPanelCornerRadius, kPanelCornerRadius);
  region += QRegion(panel.toFillPolygon().toPolygon());
  return region;
}

void BusyWindow::ShowLoaded() {
  label1_->setText(InitialText());
  // The frame is already gone (frameless), so the outline is the controls
  // plus the panel, clipped to the window.
  setMask(Outline({label1_->geometry(), cancel_->geometry()}) & QRegion(rect()));
  show();
  raise();
}

void BusyWindow::SetText(const QString& text) { label1_->setText(text); }

void BusyWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), palette().window());
  p.setPen(QPen(palette().mid().color(), 1));
  p.drawRoundedRect(QRectF(kPanelRect).adjusted(0.5, 0.5, -0.5, -0.5), kPanelCornerRadius, kPanelCornerRadius);
}

}  // namespace kelmora
