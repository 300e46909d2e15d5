// SPDX-License-Identifier: GPL-3.0-or-later
// Screenshots of the main window (a row with members shown) and of the
// busy window, taken from a real X server (Xvfb) into build/screenshots/.
// They must be real pictures with the Japanese captions drawn as glyphs,
// not as the empty boxes a font without them gives.
#include <QDir>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QWindow>
#include <QtTest>

#include "app/gui/busy_window.h"
#include "tests/gui/gui_fixture.h"

namespace kelmora::gui_test {
namespace {

const QString kShots = QStringLiteral(KELMORA_BUILD "/screenshots");

int DistinctColours(const QImage& image, const QRect& area) {
  QSet<QRgb> colours;
  const QRect r = area & image.rect();
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) colours.insert(image.pixel(x, y));
  }
  return colours.size();
}

// The window as the X server shows it (a null image when it never shows).
QImage Shot(QWidget* w) {
  if (!QTest::qWaitFor([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 5000)) return {};
  QTest::qWait(300);  // let the last paint reach the server
  return w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

QImage Render(const QString& text, const QFont& font) {
  QImage image(QFontMetrics(font).horizontalAdvance(text) + 8, QFontMetrics(font).height() + 8,
               QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font);
  p.setPen(Qt::black);
  p.drawText(4, 4 + QFontMetrics(font).ascent(), text);
  return image;
}

// The label's text is drawn with real glyphs: the font that draws Japanese
// for it has every character, and the drawing differs from the boxes drawn
// for characters that no font has.
void CheckGlyphs(const QLabel* label, const QString& text) {
  const QRawFont raw = QRawFont::fromFont(label->font(), QFontDatabase::Japanese);
  QVERIFY2(raw.isValid(), qPrintable(text));
  for (QChar c : text) {
    if (c.unicode() < 0x80) continue;
    QVERIFY2(raw.supportsCharacter(c), qPrintable(QString("%1 lacks %2").arg(raw.familyName(), QString(c))));
  }
  for (quint32 glyph : raw.glyphIndexesForString(text)) QVERIFY2(glyph != 0, qPrintable(text));
  QString tofu;
  for (int i = 0; i < text.size(); ++i) tofu += QString::fromUcs4(U"\U0010FFFD");
  QVERIFY(Render(text, label->font()) != Render(tofu, label->font()));
}

// The label's area of the shot holds drawn text: several colours and a
// fair share of pixels unlike the background.
void CheckInk(const QImage& shot, const QWidget* window, const QLabel* label) {
  const QRect area(label->mapTo(window, QPoint(0, 0)), label->size());
  QVERIFY2(DistinctColours(shot, area) >= 4, qPrintable(label->text()));
  const QRgb background = shot.pixel(area.bottomRight() - QPoint(1, 1));
  int ink = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) ink += shot.pixel(x, y) != background;
  }
  QVERIFY2(ink > 40, qPrintable(QString("%1: %2 pixels").arg(label->text()).arg(ink)));
}

}  // namespace

class ScreenshotTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() {
    QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
    QVERIFY(QDir().mkpath(kShots));
  }
  void MainWindowWithMembers();
  void BusyWindow();
};

void ScreenshotTest::MainWindowWithMembers() {
  // The example a first start copies, at the size the window opens with.
  GuiWorld w;
  for (const char* name : {"Master.txt", "Kelmora.ini", "club.txt"}) std::filesystem::remove(w.dir.File(name));
  w.example = KELMORA_SOURCE "/examples/club";
  QVERIFY(w.Start());
  for (QWidget* box : QApplication::topLevelWidgets()) {
    if (box->objectName() == "firstStartMessage") box->close();
  }
  w.Restore();
  w.window().move(0, 0);
  w.front.SetStatusText("ＴＯ転送遅延時間は［250］ミリ秒に設定されています。");

  const QImage shot = Shot(&w.window());
  QVERIFY(!shot.isNull());
  QVERIFY(shot.width() >= 600 && shot.height() >= 400);
  QVERIFY(DistinctColours(shot, shot.rect()) > 30);
  QVERIFY(shot.save(kShots + "/main_window.png"));

  QLabel* frame_caption = new QLabel(w.window().findChild<QGroupBox*>("fraMaster")->title(), &w.window());
  frame_caption->setFont(w.window().findChild<QGroupBox*>("fraMaster")->font());
  CheckGlyphs(frame_caption, QStringLiteral("設定ファイルの内容"));
  for (QLabel* label : w.window().findChildren<QLabel*>()) {
    if (label->text() == QStringLiteral("転送先アドレス：") || label->text() == QStringLiteral("キーワード：")) {
      CheckGlyphs(label, label->text());
      CheckInk(shot, &w.window(), label);
    }
  }
}

void ScreenshotTest::BusyWindow() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.window().hide();  // only the busy window on the screen
  w.front.ShowBusy();
  kelmora::BusyWindow* busy = w.front.busy_window();
  busy->move(300, 300);
  const QImage shot = Shot(busy);
  QVERIFY(!shot.isNull());
  QCOMPARE(shot.size(), busy->size());
  QVERIFY(shot.save(kShots + "/busy_window.png"));
  for (const char* name : {"Label1", "lblCancel"}) {
    QLabel* label = busy->findChild<QLabel*>(name);
    CheckGlyphs(label, label->text());
  }
  CheckInk(shot, busy, busy->findChild<QLabel*>("lblCancel"));
  // The top of Label1 holds its first line, above the cancel label.
  QLabel* label1 = busy->findChild<QLabel*>("Label1");
  QVERIFY(DistinctColours(shot, QRect(label1->pos(), QSize(label1->width(), 20))) >= 4);
}

}  // namespace kelmora::gui_test

QTEST_MAIN(kelmora::gui_test::ScreenshotTest)
#include "screenshot_test.moc"
