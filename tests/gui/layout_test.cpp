// SPDX-License-Identifier: GPL-3.0-or-later
// Layout rules of the windows on the offscreen platform; ctest runs this
// once at scale factor 1 and once at QT_SCALE_FACTOR=2. The rule viewer
// opens at a size that shows the example's rows, and every value box
// either shows its value whole or carries it as its tooltip; the busy
// window's labels lie inside its rounded outline; a maximised window keeps
// the rows of both columns together at the top.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "app/gui/busy_window.h"
#include "tests/gui/gui_fixture.h"

namespace kelmora::gui_test {

namespace {

// Measured here, not by the window's own rule: the text's advance against
// the box less its frame and Qt's inner margin.
bool Fits(const QLineEdit* box) {
  const int room = box->contentsRect().width() - 2 * (box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2);
  return box->fontMetrics().horizontalAdvance(box->text()) <= room;
}

bool Inside(const QPainterPath& outline, const QRect& r) {
  return outline.contains(QRectF(r));
}

// How far down a frame its visible controls and captions reach.
int ContentBottom(const QWidget* frame) {
  int bottom = 0;
  for (const QWidget* w : frame->findChildren<QWidget*>()) {
    if (w->isWindow() || !w->isVisible()) continue;
    bottom = std::max(bottom, w->mapTo(frame, QPoint(0, w->height())).y());
  }
  return bottom;
}

}  // namespace

class LayoutTest : public QObject {
  Q_OBJECT
 private slots:
  void ViewerShowsWholeValuesOrTooltips();
  void BusyLabelsInsideTheOutline();
  void MaximisedKeepsRowsTogether();
};

void LayoutTest::ViewerShowsWholeValuesOrTooltips() {
  GuiWorld w;
  for (const char* name : {"Master.txt", "Kelmora.ini", "club.txt"}) std::filesystem::remove(w.dir.File(name));
  w.example = KELMORA_SOURCE "/examples/club";
  QVERIFY(w.Start());
  w.Restore();
  const QSize available = w.window().screen()->availableGeometry().size();
  QVERIFY(w.window().width() <= available.width() && w.window().height() <= available.height());
  QVERIFY(w.window().width() >= std::min(1000, available.width()));
  QVERIFY(w.window().height() >= std::min(620, available.height()));

  auto* scroll = w.Find<QScrollBar>("HScroll1");
  auto* viewer = w.Find<QGroupBox>("fraMaster");
  auto* members = w.Find<QListWidget>("TransList");
  int whole = 0, tipped = 0;
  for (int row = 0; row <= scroll->maximum(); ++row) {
    scroll->setValue(row);
    for (QLineEdit* box : viewer->findChildren<QLineEdit*>()) {
      if (box->text().isEmpty()) continue;
      if (Fits(box)) {
        ++whole;
      } else {
        QVERIFY2(box->toolTip() == box->text(), qPrintable(box->objectName() + ": " + box->text()));
        ++tipped;
      }
    }
    for (int i = 0; i < members->count(); ++i) {
      const QString address = members->item(i)->text();
      QVERIFY2(members->fontMetrics().horizontalAdvance(address) <= members->viewport()->width(), qPrintable(address));
    }
    // Every caption shows its text whole.
    for (QLabel* label : viewer->findChildren<QLabel*>()) {
      QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
               qPrintable(label->text()));
    }
  }
  QVERIFY(whole > 0);
  qInfo("values shown whole: %d, as tooltip: %d", whole, tipped);
}

void LayoutTest::BusyLabelsInsideTheOutline() {
  BusyWindow busy;
  busy.ShowLoaded();
  const QPainterPath outline = BusyWindow::Panel(QRectF(busy.rect()));
  QVERIFY(!busy.mask().contains(QPoint(0, 0)));
  for (const QString& text : {BusyWindow::InitialText(), QStringLiteral("　Kelmora： メール送信中(120/250)")}) {
    busy.SetText(text);
    for (const char* name : {"Label1", "lblCancel"}) {
      auto* label = busy.findChild<QLabel*>(name);
      QVERIFY2(Inside(outline, label->geometry()), name);
      QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(), name);
    }
  }
}

void LayoutTest::MaximisedKeepsRowsTogether() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Restore();
  const int opening_height = w.window().height();
  const char* const frames[] = {"fraMaster", "fraSettings"};
  std::map<std::string, std::pair<int, int>> opening;  // frame height, content bottom
  for (const char* name : frames) {
    auto* frame = w.Find<QGroupBox>(name);
    opening[name] = {frame->height(), ContentBottom(frame)};
  }
  w.window().showMaximized();
  QTRY_VERIFY(w.window().height() >= w.window().screen()->availableGeometry().height() * 9 / 10);
  const int gained = w.window().height() - opening_height;
  QVERIFY(gained >= 50);
  for (const char* name : frames) {
    auto* frame = w.Find<QGroupBox>(name);
    QVERIFY2(frame->height() >= opening[name].first + gained / 2, name);  // the frames did grow
    // The room gained stays below the last row, whichever control that is.
    QVERIFY2(std::abs(ContentBottom(frame) - opening[name].second) <= 2,
             qPrintable(QStringLiteral("%1: rows end at %2, at the opening size at %3")
                            .arg(name)
                            .arg(ContentBottom(frame))
                            .arg(opening[name].second)));
  }
}

}  // namespace kelmora::gui_test

QTEST_MAIN(kelmora::gui_test::LayoutTest)
#include "layout_test.moc"
