// SPDX-License-Identifier: GPL-3.0-or-later
// The window front end driving the program: the minute timer and the
// window state, cycles with the busy window, the cancel label during
// one-by-one forwarding, flashing, closing in the middle of a cycle, and
// the fatal-message box. Runs on the offscreen platform.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/gui/busy_window.h"
#include "app/gui/fatal_message.h"
#include "app/gui/tray_icon.h"
#include "app/gui/window_app.h"
#include "mail/mail_component.h"
#include "tests/support/fake_mail_component.h"
#include "send/send_email_to.h"
#include "tests/gui/gui_fixture.h"

namespace kelmora::gui_test {
namespace {


// One-by-one forwarding of a message by rule row 1.
bool ForwardOneByOne(Program& program) {
  OutgoingMail m;
  m.MasterIndex = 0;
  m.OriginalSender = "<s@example.test>";
  m.ReceivedSubject = "hello";
  m.Msg = "Body";
  return SendEMailTo(program.send_context(), m).ok();
}

}  // namespace

class WindowFrontEndTest : public QObject {
  Q_OBJECT
 private slots:
  void MinimiseAndRestoreDriveTheTimer();
  void TicksRunCyclesOnlyAtTheInterval();
  void TickCycleEndingWithTheWindowOpenLeavesTimerOff();
  void BusyWindowDuringACycle();
  void NoBusyWindowWhenChkBusyDisp();
  void CancelLabelStopsOneByOneForwarding();
  void NoSecondCycleWhileOneRuns();
  void CycleThreadLeavesTheWindowFree();
  void LogEntryFlashesUntilRestored();
  void CloseDuringCycleEndsAfterItUnwinds();
  void EndWithoutCycleSavesAndFinishes();
  void FatalMessageBox();
  void FirstStartBoxNamesTheFolderAndTheFiles();
  void DisplayDetection();
};

void WindowFrontEndTest::MinimiseAndRestoreDriveTheTimer() {
  GuiWorld w;
  QVERIFY(w.Start());
  QVERIFY(w.window().isMinimized());
  QVERIFY(w.program->timer_enabled());
  QVERIFY(w.front.minute_timer().isActive());
  QCOMPARE(w.front.minute_timer().interval(), 60000);

  w.front.OnMinuteTimer();
  w.front.OnMinuteTimer();
  w.Restore();
  QVERIFY(!w.window().isMinimized());
  QVERIFY(!w.program->timer_enabled());
  QVERIFY(!w.front.minute_timer().isActive());
  QVERIFY(w.program->stop_requested());
  // Ticks that still arrive while the window is open count nothing.
  w.front.OnMinuteTimer();
  QCOMPARE(w.program->minute_count(), 2);

  w.window().showMaximized();
  w.Settle();
  QVERIFY(!w.front.minute_timer().isActive());

  QTest::mouseClick(w.Find<QPushButton>("cmdMin"), Qt::LeftButton);
  w.Settle();
  QVERIFY(w.window().isMinimized());
  QVERIFY(w.program->timer_enabled());
  QVERIFY(w.front.minute_timer().isActive());
  QVERIFY(!w.program->stop_requested());
  QCOMPARE(w.program->minute_count(), 2);  // kept across the pause
}

void WindowFrontEndTest::TicksRunCyclesOnlyAtTheInterval() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.program->OnIntervalChosen(2);  // three minutes
  for (int i = 0; i < 2; ++i) w.front.OnMinuteTimer();
  QCOMPARE(w.processor.calls, 0);
  w.front.OnMinuteTimer();
  QCOMPARE(w.processor.calls, 1);
  QCOMPARE(w.program->minute_count(), 0);
  QVERIFY(w.front.minute_timer().isActive());
  QVERIFY(!w.program->cycle_running());
}

void WindowFrontEndTest::TickCycleEndingWithTheWindowOpenLeavesTimerOff() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.program->OnIntervalChosen(0);
  bool stop_seen = false;
  w.processor.work = [&] {
    w.front.Restore();
    w.front.PumpEvents();
    stop_seen = w.program->stop_requested();
  };
  w.front.OnMinuteTimer();
  QCOMPARE(w.processor.calls, 1);
  QVERIFY(stop_seen);
  // The open window keeps automatic checking paused after the cycle.
  QVERIFY(!w.program->timer_enabled());
  QVERIFY(!w.front.minute_timer().isActive());
  w.window().showMinimized();
  QVERIFY(w.front.minute_timer().isActive());
}

void WindowFrontEndTest::BusyWindowDuringACycle() {
  GuiWorld w;
  QVERIFY(w.Start());
  BusyWindow* seen = nullptr;
  bool visible = false, test_button_enabled = true;
  TrayIcon::State tray_state = TrayIcon::State::kIdle;
  QString text, serial;
  w.processor.work = [&] {
    // A list post moves the viewed row's number; the window follows.
    w.program->settings().MlSequenceNumbers[0] = 8;
    w.program->send_context().pacer.PumpEvents();
    serial = w.Find<QLineEdit>("txtSerialNo")->text();
    seen = w.front.busy_window();
    visible = seen != nullptr && seen->isVisible();
    text = seen ? seen->findChild<QLabel*>("Label1")->text() : QString();
    test_button_enabled = w.Find<QPushButton>("cmdReceive")->isEnabled();
    tray_state = w.front.tray()->state();
  };
  w.front.RunTestCycle();
  QVERIFY(visible);
  QCOMPARE(text, QStringLiteral("Kelmora　： メール送信中"));
  QCOMPARE(serial, QString("8"));
  QVERIFY(!test_button_enabled);
  QCOMPARE(tray_state, TrayIcon::State::kCycleRunning);
  QVERIFY(!seen->isVisible());
  QVERIFY(w.Find<QPushButton>("cmdReceive")->isEnabled());
  QCOMPARE(w.front.tray()->state(), TrayIcon::State::kIdle);

  // Frameless, on top, no taskbar button, and cut to a rounded panel.
  QVERIFY(seen->windowFlags() & Qt::FramelessWindowHint);
  QVERIFY(seen->windowFlags() & Qt::WindowStaysOnTopHint);
  QCOMPARE(seen->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
  QCOMPARE(seen->findChild<QLabel*>("lblCancel")->text(), QStringLiteral("処理を中止"));
  const QRegion mask = seen->mask();
  QVERIFY(mask.contains(seen->rect().center()));
  QVERIFY(!mask.contains(QPoint(1, 1)));  // a rounded corner
  QVERIFY(!mask.contains(QPoint(seen->width() - 2, seen->height() - 2)));
}

void WindowFrontEndTest::NoBusyWindowWhenChkBusyDisp() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Tick(w.Find<QCheckBox>("chkBusyDisp"));
  bool shown = true;
  w.processor.work = [&] { shown = w.front.busy_window() != nullptr && w.front.busy_window()->isVisible(); };
  w.front.RunTestCycle();
  QCOMPARE(w.processor.calls, 1);
  QVERIFY(!shown);
}

void WindowFrontEndTest::CancelLabelStopsOneByOneForwarding() {
  GuiWorld w;
  FakeMailComponent mail;
  w.roads.mail = &mail;
  QVERIFY(w.Start());
  QString text_after_cancel;
  mail.on_send = [&](const SentMail&) {
    const int n = static_cast<int>(mail.sent.size());
    if (n != 2) return;
    QLabel* cancel = w.front.busy_window()->findChild<QLabel*>("lblCancel");
    QTest::mouseClick(cancel, Qt::LeftButton);
  };
  bool visible_after_click = true;
  w.processor.work = [&] {
    ForwardOneByOne(*w.program);
    visible_after_click = w.front.busy_window()->isVisible();
    text_after_cancel = w.front.busy_window()->text();
  };
  w.front.RunTestCycle();
  // Stopped before the third of five members; the window closed at once
  // and stayed closed while forwarding reported its progress.
  std::vector<std::string> first;
  for (const SentMail& s : mail.sent) first.push_back(s.recipients.substr(0, s.recipients.find('\t')));
  QCOMPARE(first, (std::vector<std::string>{"a@example.test", "b@example.test"}));
  QVERIFY(w.program->stop_requested());
  QVERIFY(!visible_after_click);
  QCOMPARE(text_after_cancel, QStringLiteral("　Kelmora： メール送信中(2/5)"));
}

void WindowFrontEndTest::NoSecondCycleWhileOneRuns() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.processor.work = [&] {
    // The tray's test run and ticks arrive through the event pump.
    w.front.tray()->test_action()->trigger();
    w.front.RunTestCycle();
    w.program->OnIntervalChosen(0);
    w.front.OnMinuteTimer();
    w.front.PumpEvents();
  };
  w.front.RunTestCycle();
  QCOMPARE(w.processor.calls, 1);
  QVERIFY(!w.program->cycle_running());
}

void WindowFrontEndTest::CycleThreadLeavesTheWindowFree() {
  GuiWorld w(/*cycle_thread=*/true);
  std::atomic<bool> inside{false};
  std::atomic<int> checked_rcv{-1};
  // A transfer that hangs until it is stopped, on the cycle's thread; then
  // a check point, where the window's change is taken in.
  w.processor.work = [&] {
    inside = true;
    for (int i = 0; i < 1000 && !w.program->stop_requested(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    w.program->send_context().pacer.PumpEvents();
    checked_rcv = w.program->settings().LogReceivedMail;
  };
  QVERIFY(w.Start());
  w.Restore();
  w.front.RunTestCycle();  // returns while the cycle runs
  QTRY_VERIFY_WITH_TIMEOUT(inside.load(), 2000);
  QTRY_VERIFY_WITH_TIMEOUT(w.front.busy_window() != nullptr && w.front.busy_window()->isVisible(), 2000);
  QVERIFY(!w.Find<QPushButton>("cmdReceive")->isEnabled());
  QCOMPARE(w.front.tray()->state(), TrayIcon::State::kCycleRunning);
  // The window answers: a click changes the option, taken in at the
  // cycle's next check point.
  w.Tick(w.Find<QCheckBox>("chkRcv"));
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w.front.busy_window()->findChild<QLabel*>("lblCancel"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!w.program->cycle_running() && w.Find<QPushButton>("cmdReceive")->isEnabled(), 1000);
  QVERIFY(clock.elapsed() < 1000);
  QCOMPARE(checked_rcv.load(), 1);
  QVERIFY(!w.front.busy_window()->isVisible());
  QCOMPARE(w.front.tray()->state(), TrayIcon::State::kIdle);
}

void WindowFrontEndTest::LogEntryFlashesUntilRestored() {
  GuiWorld w;
  QVERIFY(w.Start());
  QVERIFY(!w.front.attention());
  w.program->logger().WriteLog("送信エラー");
  QVERIFY(w.front.attention());
  QCOMPARE(w.front.tray()->state(), TrayIcon::State::kAttention);
  QVERIFY(w.window().StatusText().startsWith(QStringLiteral("送信エラー at 20261207-090503")));
  w.Restore();
  QVERIFY(!w.front.attention());
  QCOMPARE(w.front.tray()->state(), TrayIcon::State::kIdle);
}

void WindowFrontEndTest::CloseDuringCycleEndsAfterItUnwinds() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Restore();
  QSignalSpy finished(&w.front, &WindowFrontEnd::finished);
  int rounds = 0;
  int finished_inside = -1;
  w.processor.work = [&] {
    w.program->settings().MlSequenceNumbers[0] = 99;
    QTimer::singleShot(0, &w.window(), [&] { w.window().close(); });
    // A dispatcher's loop: one message per round, checking for a stop.
    for (; rounds < 50 && !w.program->stop_requested(); ++rounds) {
      w.front.PumpEvents();
      w.front.Wait(1000);  // cut short: the program is ending
    }
    finished_inside = finished.count();
  };
  QElapsedTimer clock;
  clock.start();
  w.front.RunTestCycle();
  QVERIFY(rounds < 3);
  QCOMPARE(finished_inside, 0);
  QCOMPARE(finished.count(), 1);
  QCOMPARE(finished.at(0).at(0).toInt(), 0);
  QVERIFY(clock.elapsed() < 900);
  QVERIFY(!w.window().isVisible());
  QVERIFY2(w.Read("Kelmora.ini").find("\r\n99,41,0") != std::string::npos, w.Read("Kelmora.ini").c_str());
  // Nothing more happens after the end.
  w.front.OnMinuteTimer();
  w.front.RequestClose();
  QCOMPARE(finished.count(), 1);
}

void WindowFrontEndTest::EndWithoutCycleSavesAndFinishes() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Restore();
  w.front.RunTestCycle();  // leaves the stop request cleared
  w.program->OnIntervalChosen(4);
  QSignalSpy finished(&w.front, &WindowFrontEnd::finished);
  QTest::mouseClick(w.Find<QPushButton>("End"), Qt::LeftButton);
  QCOMPARE(finished.count(), 1);
  QCOMPARE(finished.at(0).at(0).toInt(), 0);
  QVERIFY(!w.program->stop_requested());  // End is no close request
  QVERIFY(w.Read("Kelmora.ini").rfind("u,secret,5,", 0) == 0);

  // A settings file that cannot be written ends with status 1.
  GuiWorld v;
  QVERIFY(v.Start());
  std::filesystem::remove(v.dir.File("Kelmora.ini"));
  std::filesystem::create_directory(v.dir.File("Kelmora.ini"));
  QSignalSpy failed(&v.front, &WindowFrontEnd::finished);
  v.front.RequestClose();
  QCOMPARE(failed.count(), 1);
  QCOMPARE(failed.at(0).at(0).toInt(), 1);
}

void WindowFrontEndTest::FatalMessageBox() {
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    text = box->text();
    icon = box->icon();
    box->accept();
  });
  ShowFatalMessage(QStringLiteral("Form Load Error。"));
  QCOMPARE(text, QStringLiteral("Form Load Error。\n終了します。"));
  QCOMPARE(icon, QMessageBox::Warning);
}

void WindowFrontEndTest::FirstStartBoxNamesTheFolderAndTheFiles() {
  auto first_start_box = [] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() == "firstStartMessage" && w->isVisible()) return qobject_cast<QMessageBox*>(w);
    }
    return static_cast<QMessageBox*>(nullptr);
  };
  TempFolder example;
  std::filesystem::create_directories(example.File("data"));
  {
    // A folder with its rule table: no first start, no box. Its files are
    // the example of the next start.
    GuiWorld w;
    for (const char* name : {"Master.txt", "Kelmora.ini", "club.txt", "data/list.txt"}) {
      std::filesystem::copy_file(w.dir.File(name), example.File(name));
    }
    QVERIFY(w.Start());
    QCOMPARE(first_start_box(), static_cast<QMessageBox*>(nullptr));
  }
  GuiWorld w;
  for (const char* name : {"Master.txt", "Kelmora.ini", "club.txt"}) std::filesystem::remove(w.dir.File(name));
  w.example = example.path();
  QVERIFY(w.Start());
  QMessageBox* box = first_start_box();
  QVERIFY(box != nullptr);
  QVERIFY(!box->isModal());
  QVERIFY(box->text().contains(QString::fromStdString(w.dir.path())));
  QVERIFY(box->text().contains(QStringLiteral("Master.txt（ルール表")));
  QVERIFY(box->text().contains(QStringLiteral("Kelmora.ini（設定")));
  // The program runs meanwhile: minimised, its timer armed.
  QVERIFY(w.window().isMinimized());
  QVERIFY(w.front.minute_timer().isActive());
  box->close();
}

void WindowFrontEndTest::DisplayDetection() {
  QVERIFY(DisplayAvailable(":0", nullptr, nullptr));
  QVERIFY(DisplayAvailable(nullptr, "wayland-0", nullptr));
  QVERIFY(!DisplayAvailable(nullptr, nullptr, nullptr));
  QVERIFY(!DisplayAvailable("", "", ""));
  QVERIFY(DisplayAvailable(nullptr, nullptr, "offscreen"));
  QVERIFY(DisplayAvailable(nullptr, nullptr, "vnc:size=800x600"));
  QVERIFY(!DisplayAvailable(nullptr, nullptr, "xcb"));
  QVERIFY(!DisplayAvailable(nullptr, nullptr, "wayland-egl;xcb"));
}

}  // namespace kelmora::gui_test

QTEST_MAIN(kelmora::gui_test::WindowFrontEndTest)
#include "window_front_end_test.moc"
