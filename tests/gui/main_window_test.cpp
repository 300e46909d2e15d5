// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as the user sees it: captions, the rule viewer with its
// two row selectors, the member list, the settings controls and the count
// of saved mail. Runs on the offscreen platform.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QtTest>

#include "app/gui/tray_icon.h"
#include "tests/gui/gui_fixture.h"

namespace kelmora::gui_test {
namespace {

QStringList Items(QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

QStringList Items(QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
  return out;
}

// The caption of the label paired with `w`.
QString LabelOf(QWidget* w) {
  for (QLabel* label : w->window()->findChildren<QLabel*>()) {
    if (label->buddy() == w) return label->text();
  }
  return "<no label>";
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void CaptionsAndEveryControl();
  void StartShowsFirstRowAndTheSettings();
  void RowFollowsNumberAndScrollBar();
  void MemberListSkipsEmptySlots();
  void LogCountFollowsChkLog();
  void OptionsTakeEffectAtOnceLogonAtSave();
  void DelayArgumentInStatusBar();
  void LogViewerShowsNewestEntryFirst();
};

void MainWindowTest::CaptionsAndEveryControl() {
  GuiWorld w;
  QVERIFY(w.Start());
  QCOMPARE(w.window().windowTitle(), QStringLiteral("Tesh 私設メーリングリスト"));
  QCOMPARE(w.Find<QLabel>("lblProduct")->text(), QStringLiteral("Kelmora Ver1.05"));
  QStringList frames;
  for (QGroupBox* g : w.window().findChildren<QGroupBox*>()) frames << g->title();
  QCOMPARE(frames, (QStringList{"設定ファイルの内容", "各種設定"}));

  const std::pair<const char*, const char*> labelled[] = {
      {"Number", "マスターMaster.txtの行位置："}, {"ToAddr", "受信メールの宛先アドレス："},
      {"RecAddr", "同上用差出人アドレス："},       {"Keyword", "キーワード："},
      {"AddrFile", "転送先アドレスファイル："},    {"TransList", "転送先アドレス："},
      {"OrigAddr", "転送メール差出人アドレス："},  {"ServerName", "同上用サーバー名："},
      {"ToName", "転送メールの宛名："},            {"Tittle", "転送時の件名："},
      {"AddTop", "先頭付加文字："},                {"AddBottom", "最後付加文字："},
      {"Delete", "削除指示："},                    {"Process", "処理区分："},
      {"Msg", "本文用ファイル名："},               {"File", "保存ファイル名："},
      {"Attatch", "添付ファイルの処理："},         {"txtUserID", "現ユーザー："},
      {"txtPassword", "パスワード："},             {"cmbInterval", "メールチェックの間隔："},
      {"txtSerialNo", "現在のML一貫番号："},       {"txtLog", "現在のメール数："},
  };
  for (const auto& [name, label] : labelled) {
    QWidget* control = w.Find<QWidget>(name);
    QVERIFY2(control != nullptr, name);
    QCOMPARE(LabelOf(control), QString::fromUtf8(label));
  }
  const std::pair<const char*, const char*> captioned[] = {
      {"chkServer", "サーバーからダウンロードする"}, {"chkMailDel", "正常処理後メールを削除する"},
      {"chkBusyDisp", "Busy Windowを表示しない"},    {"chkLog", "送信メールをログに残す"},
      {"chkRcv", "受信メールをログに残す"},          {"cmdReceive", "メール処理実行テスト"},
      {"cmdMin", "最小化"},                          {"End", "終了"},
  };
  for (const auto& [name, caption] : captioned) {
    auto* button = w.Find<QAbstractButton>(name);
    QVERIFY2(button != nullptr, name);
    // A push button's access key follows its caption in brackets.
    QString text = button->text();
    if (qobject_cast<QPushButton*>(button) != nullptr) {
      QVERIFY2(text.contains(QRegularExpression("\\(&[A-Z]\\)$")), qPrintable(text));
      text.chop(4);
    }
    QCOMPARE(text, QString::fromUtf8(caption));
  }
  QVERIFY(w.Find<QScrollBar>("HScroll1") != nullptr);
  QVERIFY(w.Find<QComboBox>("Account") != nullptr);
  QCOMPARE(w.window().statusBar()->objectName(), QString("StatusBar1"));
}

void MainWindowTest::StartShowsFirstRowAndTheSettings() {
  GuiWorld w;
  QVERIFY(w.Start());
  QVERIFY(w.window().isMinimized());
  QCOMPARE(Items(w.Find<QComboBox>("Number")), (QStringList{"1", "2", "3"}));
  QCOMPARE(w.Find<QComboBox>("Number")->currentIndex(), 0);
  QCOMPARE(w.Find<QScrollBar>("HScroll1")->minimum(), 0);
  QCOMPARE(w.Find<QScrollBar>("HScroll1")->maximum(), 2);
  QCOMPARE(w.Find<QLineEdit>("ToAddr")->text(), QString("list@example.test"));
  QCOMPARE(w.Find<QLineEdit>("AddTop")->text(), QStringLiteral("From ＠＠"));
  QCOMPARE(w.Find<QLineEdit>("Process")->text(), QStringLiteral("ＴＯ転送"));
  QCOMPARE(w.Find<QLineEdit>("txtSerialNo")->text(), QString("7"));

  auto* interval = w.Find<QComboBox>("cmbInterval");
  QCOMPARE(interval->count(), 60);
  QCOMPARE(interval->itemText(59), QString("60"));
  QCOMPARE(interval->currentText(), QString("20"));
  QCOMPARE(Items(w.Find<QComboBox>("Account")),
           (QStringList{"pop.example.test/alice/****", "pop2.example.test/bob/****"}));
  QCOMPARE(w.Find<QComboBox>("Account")->currentIndex(), 0);
  QCOMPARE(w.Find<QLineEdit>("txtUserID")->text(), QString("u"));
  // The password is never shown: every character is a star.
  QCOMPARE(w.Find<QLineEdit>("txtPassword")->displayText(), QString("******"));
  QCOMPARE(w.Find<QCheckBox>("chkLog")->isChecked(), true);
  QCOMPARE(w.Find<QCheckBox>("chkBusyDisp")->isChecked(), false);
  QCOMPARE(w.Find<QLineEdit>("txtLog")->text(), QString("0"));
  QCOMPARE(w.window().StatusText(), QString());
}

void MainWindowTest::RowFollowsNumberAndScrollBar() {
  GuiWorld w;
  QVERIFY(w.Start());
  auto* number = w.Find<QComboBox>("Number");
  auto* scroll = w.Find<QScrollBar>("HScroll1");
  auto* to_addr = w.Find<QLineEdit>("ToAddr");
  auto* serial = w.Find<QLineEdit>("txtSerialNo");

  scroll->setValue(1);
  QCOMPARE(w.program->current_rule_index(), 1);
  QCOMPARE(number->currentIndex(), 1);
  QCOMPARE(to_addr->text(), QString("club@example.test"));
  QCOMPARE(serial->text(), QString("41"));

  // A pick in the list: the scroll bar moves along, so its arrows step on
  // from the shown row.
  emit number->activated(2);
  QCOMPARE(w.program->current_rule_index(), 2);
  QCOMPARE(to_addr->text(), QString("spam@example.test"));
  QCOMPARE(w.Find<QLineEdit>("Delete")->text(), QStringLiteral("削除"));
  QCOMPARE(serial->text(), QString("0"));
  QCOMPARE(scroll->value(), 2);

  // Picking the shown row again does nothing, except for the first row,
  // which is shown again.
  to_addr->setText("typed over");
  emit number->activated(2);
  QCOMPARE(to_addr->text(), QString("typed over"));
  scroll->setValue(0);
  to_addr->setText("typed over");
  emit number->activated(0);
  QCOMPARE(to_addr->text(), QString("list@example.test"));
  QCOMPARE(w.program->current_rule_index(), 0);

  // The keyboard on the closed list picks the next row.
  number->setFocus();
  QTest::keyClick(number, Qt::Key_Down);
  QCOMPARE(w.program->current_rule_index(), 1);
  QCOMPARE(to_addr->text(), QString("club@example.test"));
}

void MainWindowTest::MemberListSkipsEmptySlots() {
  GuiWorld w;
  QVERIFY(w.Start());
  MemberTable& members = w.program->members();
  const int list = members.FindList("data/list.txt");
  QVERIFY(list >= 0);
  // Lists change inside a cycle (unsubscribes, bounces); the window shows
  // them as the cycle leaves them.
  w.processor.work = [&] {
    members.RemoveLoadedMember(list, "b@example.test");
    members.RemoveLoadedMember(list, "d@example.test");
  };
  w.front.RunTestCycle();
  auto* trans = w.Find<QListWidget>("TransList");
  QCOMPARE(Items(trans), (QStringList{"a@example.test", "c@example.test", "e@example.test"}));

  // One member among five slots.
  w.Find<QScrollBar>("HScroll1")->setValue(1);
  QCOMPARE(Items(trans), QStringList{"solo@example.test"});
  // No destination list at all.
  w.Find<QScrollBar>("HScroll1")->setValue(2);
  QCOMPARE(trans->count(), 0);
}

void MainWindowTest::LogCountFollowsChkLog() {
  GuiWorld w;
  QVERIFY(w.Start());
  namespace fs = std::filesystem;
  const fs::path log = fs::path(w.dir.path()) / "log";
  w.Write("log/a.txt", "x");
  w.Write("log/B.TXT", "x");
  w.Write("log/.hidden.txt", "x");
  w.Write("log/c.eml", "x");
  fs::create_directory(log / "folder.txt");
  auto* chk = w.Find<QCheckBox>("chkLog");
  auto* count = w.Find<QLineEdit>("txtLog");

  w.Tick(chk);
  QVERIFY(!chk->isChecked());
  QCOMPARE(count->text(), QString());
  QCOMPARE(w.program->settings().LogSentMail, 0);
  w.Tick(chk);
  QCOMPARE(count->text(), QString("2"));
  QCOMPARE(w.program->settings().LogSentMail, 1);

  // The folder is made again, with its receive folder, and counts 0.
  fs::remove_all(log);
  w.Tick(chk);
  w.Tick(chk);
  QCOMPARE(count->text(), QString("0"));
  QVERIFY(fs::is_directory(log / "receive"));
}

void MainWindowTest::OptionsTakeEffectAtOnceLogonAtSave() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Tick(w.Find<QCheckBox>("chkBusyDisp"));
  QCOMPARE(w.program->settings().HideBusyWindow, 1);
  w.Tick(w.Find<QCheckBox>("chkServer"));
  QCOMPARE(w.program->settings().DownloadFromServer, 1);

  auto* interval = w.Find<QComboBox>("cmbInterval");
  interval->setFocus();
  QTest::keyClick(interval, Qt::Key_Down);
  QCOMPARE(w.program->settings().CheckIntervalMinutes, 21);

  auto* user = w.Find<QLineEdit>("txtUserID");
  user->selectAll();
  QTest::keyClicks(user, "club");
  QCOMPARE(w.program->settings().MapiUserName, std::string("u"));
  QVERIFY(w.program->SaveSettings().ok());
  QCOMPARE(w.program->settings().MapiUserName, std::string("club"));
  const std::string ini = w.Read("Kelmora.ini");
  QVERIFY2(ini.rfind("club,secret,21,1,0,1,1,0,", 0) == 0, ini.c_str());
}

void MainWindowTest::DelayArgumentInStatusBar() {
  GuiWorld w;
  QVERIFY(w.Start("9000"));
  QCOMPARE(w.window().StatusText(),
           QStringLiteral("ＴＯ転送遅延時間は［5000］ミリ秒に設定されています。"));
}

void MainWindowTest::LogViewerShowsNewestEntryFirst() {
  GuiWorld w;
  QVERIFY(w.Start());
  w.Restore();
  w.Write("log/Kelmoralog.txt", "古い at 20261207-090000\r\n送信エラー\r\n二行目 at 20261207-090503\r\n");
  QTest::mouseClick(w.Find<QPushButton>("cmdLog"), Qt::LeftButton);
  auto* view = w.Find<QPlainTextEdit>("logView");
  QVERIFY(view != nullptr && view->isVisible());
  QCOMPARE(view->toPlainText(), QStringLiteral("送信エラー\n二行目 at 20261207-090503\n古い at 20261207-090000"));
  // The tray menu's action opens the same viewer.
  view->hide();
  w.front.tray()->log_action()->trigger();
  QVERIFY(view->isVisible());
}

}  // namespace kelmora::gui_test

QTEST_MAIN(kelmora::gui_test::MainWindowTest)
#include "main_window_test.moc"
