// SPDX-License-Identifier: GPL-3.0-or-later
// MainWindow: the program's one permanent window. It shows one row of the
// rule table with the members of its destination list, edits the live
// settings and offers the test run. It keeps no data of its own: rows,
// lists and settings belong to the core, which outlives the window and is
// reached only through ProgramControl.
#pragma once

#include <QMainWindow>
#include <QString>

#include "app/core/program_control.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QPlainTextEdit;
class QScrollBar;

namespace kelmora {

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  static QString Caption();
  static QString ProductLabel();

  explicit MainWindow(ProgramControl& program, QWidget* parent = nullptr);

  // Fills the lists and the settings controls from the started program and
  // shows the viewed row.
  void Fill();

  // Shows row current_rule_index() of the rule table in the viewer.
  void ShowRule();
  // Shows the number of saved-mail files while chkLog is on.
  void RefreshLogCount();
  // A list post took number `number` of row `row`; shown when it is the
  // viewed row.
  void SetSequenceNumber(int row, std::int32_t number);

  void SetStatusText(const QString& text);
  // The whole status entry (the bar may show it elided).
  QString StatusText() const;
  // Whether `box` shows its whole text at its present width.
  static bool ShowsWhole(const QLineEdit* box);
  // Opens (or raises) the log viewer with the main log as it is now.
  void ShowLog();
  // While a cycle runs the test button cannot start another.
  void SetCycleRunning(bool running);

 signals:
  // The window was minimised (true) or brought to any other state (false).
  void minimisedChanged(bool minimised);
  void testRunRequested();
  void endRequested();
  // 「ログを見る」: the main log, newest entry first.
  void logRequested();
  // The user closed the window; the close is never refused.
  void closeRequested();

 protected:
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildViewer(QWidget* frame);
  void BuildSettings(QWidget* frame);
  // The parts of the settings column, each from grid row *row on.
  void AddLogonRows(QGridLayout* grid, int* row);
  void AddOptionBoxes(QGridLayout* grid, int* row);
  void AddCheckRows(QGridLayout* grid, int* row);
  QHBoxLayout* NewButtonRow();
  void OnNumberChosen(int position);
  void OnScrolled(int value);
  void BindCheckBox(QCheckBox* box, WindowOption option);
  // Values that do not fit their box carry it as their tooltip.
  void UpdateToolTips();
  void UpdateStatusText();

  ProgramControl& program_;
  bool filling_ = false;

  QComboBox* number_ = nullptr;
  QScrollBar* hscroll_ = nullptr;
  std::vector<std::pair<QLineEdit*, std::string MasterRule::*>> fields_;
  QListWidget* trans_list_ = nullptr;

  QLineEdit* user_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* chk_server_ = nullptr;
  QCheckBox* chk_mail_del_ = nullptr;
  QCheckBox* chk_busy_disp_ = nullptr;
  QCheckBox* chk_log_ = nullptr;
  QCheckBox* chk_rcv_ = nullptr;
  QComboBox* account_ = nullptr;
  QComboBox* interval_ = nullptr;
  QLineEdit* serial_no_ = nullptr;
  QLineEdit* log_count_ = nullptr;
  QPushButton* receive_ = nullptr;
  QLabel* status_ = nullptr;
  QPlainTextEdit* log_view_ = nullptr;
  QString status_line_;
};

}  // namespace kelmora
