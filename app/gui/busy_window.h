// SPDX-License-Identifier: GPL-3.0-or-later
// BusyWindow: the small always-on-top panel shown while a mail-check cycle
// runs. It tells the user that mail is being sent and offers a way to stop
// the cycle; it keeps no state of its own.
#pragma once

#include <QLabel>
#include <QPainterPath>
#include <QWidget>

namespace kelmora {

// A label that reports a click of the left mouse button.
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class BusyWindow : public QWidget {
  Q_OBJECT
 public:
  // The text Label1 shows until one-by-one forwarding reports progress.
  static QString InitialText();

  explicit BusyWindow(QWidget* parent = nullptr);

  // Puts the window into its freshly loaded state (initial text, outline)
  // and shows it on top of other windows without taking the focus.
  void ShowLoaded();

  void SetText(const QString& text);
  QString text() const { return label1_->text(); }

  // The rounded panel that is the window's outline, for a window rect.
  static QPainterPath Panel(const QRectF& rect);

  // What clicking "処理を中止" does (also Esc in the main window): the
  // window closes and cancelled() follows. Nothing when it is not shown.
  void Cancel();

 signals:
  // The user clicked "処理を中止". The window has already closed itself.
  void cancelled();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* label1_;
  ClickableLabel* cancel_;
};

}  // namespace kelmora
