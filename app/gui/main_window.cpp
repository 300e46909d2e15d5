// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>

#include "net/server_string.h"
#include "textio/file_system.h"

namespace kelmora {
namespace {

struct ViewerField {
  const char* name;
  const char* label;
  std::string MasterRule::*column;
};

// The columns shown beside the list of members, in the order of the form.
const ViewerField kLeftFields[] = {
    {"ToAddr", "受信メールの宛先アドレス：", &MasterRule::ToAddress},
    {"RecAddr", "同上用差出人アドレス：", &MasterRule::SenderFilter},
    {"Keyword", "キーワード：", &MasterRule::Keyword},
    {"AddrFile", "転送先アドレスファイル：", &MasterRule::Destination},
};
const ViewerField kRightFields[] = {
    {"OrigAddr", "転送メール差出人アドレス：", &MasterRule::SendFrom},
    {"ServerName", "同上用サーバー名：", &MasterRule::SendServer},
    {"ToName", "転送メールの宛名：", &MasterRule::ToName},
    {"Tittle", "転送時の件名：", &MasterRule::ForwardSubject},
    {"AddTop", "先頭付加文字：", &MasterRule::TextBefore},
    {"AddBottom", "最後付加文字：", &MasterRule::TextAfter},
    {"Delete", "削除指示：", &MasterRule::DeleteText},
    {"Process", "処理区分：", &MasterRule::ActionText},
    {"Msg", "本文用ファイル名：", &MasterRule::BodyFile},
    {"File", "保存ファイル名：", &MasterRule::DataFile},
    {"Attatch", "添付ファイルの処理：", &MasterRule::AttachmentsText},
};

QLabel* Caption(const char* text, QWidget* buddy) {
  auto* label = new QLabel(QString::fromUtf8(text));
  label->setBuddy(buddy);
  return label;
}

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

// The saved-mail files of the log folder: "*.txt" as a file list box shows
// them, without hidden files and without case distinction.
bool CountsAsLogFile(const DirEntry& e) {
  if (!e.is_file || e.name.empty() || e.name[0] == '.') return false;
  return QString::fromStdString(e.name).endsWith(".txt", Qt::CaseInsensitive);
}

}  // namespace

QString MainWindow::Caption() { return QStringLiteral("Tesh 私設メーリングリスト"); }
QString MainWindow::ProductLabel() { return QStringLiteral("Kelmora") + " Ver" + "1.05"; }

MainWindow::MainWindow(Program& program, QWidget* parent) : QMainWindow(parent), program_(program) {
  setObjectName("frmMain");
  setWindowTitle(Caption());

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  auto* product = new QLabel(ProductLabel());
  product->setObjectName("lblProduct");
  QFont product_font = product->font();
  product_font.setBold(true);
  product_font.setPointSizeF(product_font.pointSizeF() * 1.3);
  product->setFont(product_font);
  outer->addWidget(product);

  auto* row = new QHBoxLayout;
  auto* viewer = new QGroupBox(QStringLiteral("設定ファイルの内容"));
  viewer->setObjectName("fraMaster");
  BuildViewer(viewer);
  auto* settings = new QGroupBox(QStringLiteral("各種設定"));
  settings->setObjectName("fraSettings");
  BuildSettings(settings);
  row->addWidget(viewer, 3);
  row->addWidget(settings, 2);
  outer->addLayout(row);
  setCentralWidget(central);

  statusBar()->setObjectName("StatusBar1");
  statusBar()->setSizeGripEnabled(true);
}

void MainWindow::BuildViewer(QWidget* frame) {
  auto* grid = new QGridLayout(frame);
  number_ = new QComboBox;
  number_->setObjectName("Number");
  grid->addWidget(::kelmora::Caption("マスターMaster.txtの行位置：", number_), 0, 0);
  grid->addWidget(number_, 0, 1);
  hscroll_ = new QScrollBar(Qt::Horizontal);
  hscroll_->setObjectName("HScroll1");
  hscroll_->setPageStep(1);
  grid->addWidget(hscroll_, 1, 0, 1, 2);

  auto add_field = [&](const ViewerField& f, int r, int c) {
    auto* box = new QLineEdit;
    box->setObjectName(f.name);
    // A viewer: nothing reads these boxes back.
    box->setReadOnly(true);
    grid->addWidget(::kelmora::Caption(f.label, box), r, c);
    grid->addWidget(box, r, c + 1);
    fields_.emplace_back(box, f.column);
  };
  int r = 2;
  for (const ViewerField& f : kLeftFields) add_field(f, r++, 0);
  trans_list_ = new QListWidget;
  trans_list_->setObjectName("TransList");
  grid->addWidget(::kelmora::Caption("転送先アドレス：", trans_list_), r, 0, Qt::AlignTop);
  grid->addWidget(trans_list_, r, 1, 11 - r, 1);
  r = 0;
  for (const ViewerField& f : kRightFields) add_field(f, r++, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);

  connect(number_, &QComboBox::activated, this, &MainWindow::OnNumberChosen);
  connect(hscroll_, &QScrollBar::valueChanged, this, &MainWindow::OnScrolled);
}

void MainWindow::BuildSettings(QWidget* frame) {
  auto* grid = new QGridLayout(frame);
  int r = 0;
  auto add_row = [&](const char* label, QWidget* w) {
    grid->addWidget(::kelmora::Caption(label, w), r, 0);
    grid->addWidget(w, r++, 1);
  };
  auto add_box = [&](QCheckBox*& box, const char* name, const char* text, int Settings::*field) {
    box = new QCheckBox(QString::fromUtf8(text));
    box->setObjectName(name);
    grid->addWidget(box, r++, 0, 1, 2);
    BindCheckBox(box, field);
  };

  user_ = new QLineEdit;
  user_->setObjectName("txtUserID");
  add_row("現ユーザー：", user_);
  password_ = new QLineEdit;
  password_->setObjectName("txtPassword");
  password_->setEchoMode(QLineEdit::Password);
  password_->setStyleSheet("lineedit-password-character: 42;");  // "*"
  add_row("パスワード：", password_);

  add_box(chk_server_, "chkServer", "サーバーからダウンロードする", &Settings::DownloadFromServer);
  add_box(chk_mail_del_, "chkMailDel", "正常処理後メールを削除する", &Settings::DeleteAfterProcessing);
  add_box(chk_busy_disp_, "chkBusyDisp", "Busy Windowを表示しない", &Settings::HideBusyWindow);
  add_box(chk_log_, "chkLog", "送信メールをログに残す", &Settings::LogSentMail);
  add_box(chk_rcv_, "chkRcv", "受信メールをログに残す", &Settings::LogReceivedMail);
  connect(chk_log_, &QCheckBox::toggled, this, [this] {
    if (!filling_) RefreshLogCount();
  });

  account_ = new QComboBox;
  account_->setObjectName("Account");
  account_->setPlaceholderText(QStringLiteral("アカウントの設定無し"));
  grid->addWidget(account_, r++, 0, 1, 2);

  interval_ = new QComboBox;
  interval_->setObjectName("cmbInterval");
  add_row("メールチェックの間隔：", interval_);
  connect(interval_, &QComboBox::activated, this, [this](int position) { program_.OnIntervalChosen(position); });

  serial_no_ = new QLineEdit;
  serial_no_->setObjectName("txtSerialNo");
  serial_no_->setReadOnly(true);
  add_row("現在のML一貫番号：", serial_no_);
  log_count_ = new QLineEdit;
  log_count_->setObjectName("txtLog");
  log_count_->setReadOnly(true);
  add_row("現在のメール数：", log_count_);

  // Counts the saved-mail files; never shown.
  file_list_ = new QListWidget(frame);
  file_list_->setObjectName("FileListBox");
  file_list_->hide();

  receive_ = new QPushButton(QStringLiteral("メール処理実行テスト"));
  receive_->setObjectName("cmdReceive");
  auto* minimise = new QPushButton(QStringLiteral("最小化"));
  minimise->setObjectName("cmdMin");
  auto* end = new QPushButton(QStringLiteral("終了"));
  end->setObjectName("End");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(receive_);
  buttons->addWidget(minimise);
  buttons->addWidget(end);
  grid->setRowStretch(r++, 1);
  grid->addLayout(buttons, r++, 0, 1, 2);

  connect(receive_, &QPushButton::clicked, this, &MainWindow::testRunRequested);
  connect(minimise, &QPushButton::clicked, this, [this] { setWindowState(windowState() | Qt::WindowMinimized); });
  connect(end, &QPushButton::clicked, this, &MainWindow::endRequested);
}

void MainWindow::BindCheckBox(QCheckBox* box, int Settings::*field) {
  // The cycle reads these options from the settings, so a click takes
  // effect at once.
  connect(box, &QCheckBox::toggled, this, [this, field](bool on) {
    if (!filling_) program_.settings().*field = on ? 1 : 0;
  });
}

void MainWindow::Fill() {
  filling_ = true;
  const int rows = static_cast<int>(program_.master().size());
  const int current = program_.current_rule_index();
  number_->clear();
  for (int i = 1; i <= rows; ++i) number_->addItem(QString::number(i));
  number_->setCurrentIndex(current < rows ? current : -1);
  hscroll_->setRange(0, std::max(0, rows - 1));
  hscroll_->setEnabled(rows > 1);
  hscroll_->setValue(current);

  const Settings& s = program_.settings();
  interval_->clear();
  for (int i = 1; i <= 60; ++i) interval_->addItem(QString::number(i));
  interval_->setCurrentIndex(s.CheckIntervalMinutes - 1);

  account_->clear();
  for (const Pop3Account& a : s.Pop3Accounts) account_->addItem(FromStd(MaskPassword(a.Server) + "/" + a.User + "/****"));
  account_->setCurrentIndex(s.Pop3Accounts.empty() ? -1 : 0);

  user_->setText(FromStd(s.MapiUserName));
  password_->setText(FromStd(s.MapiPassword));
  chk_server_->setChecked(s.DownloadFromServer != 0);
  chk_mail_del_->setChecked(s.DeleteAfterProcessing != 0);
  chk_busy_disp_->setChecked(s.HideBusyWindow != 0);
  chk_log_->setChecked(s.LogSentMail != 0);
  chk_rcv_->setChecked(s.LogReceivedMail != 0);
  filling_ = false;

  RefreshLogCount();
  ShowRule();
}

void MainWindow::ShowRule() {
  const int row = program_.current_rule_index();
  const MasterTable& table = program_.master();
  trans_list_->clear();
  if (row < 0 || row >= static_cast<int>(table.size())) {
    for (auto& [box, column] : fields_) box->clear();
    serial_no_->clear();
    return;
  }
  const MasterRule& rule = table[static_cast<size_t>(row)];
  for (auto& [box, column] : fields_) {
    // A server string may carry a login: its password never goes on screen.
    const std::string& value = rule.*column;
    box->setText(FromStd(column == &MasterRule::SendServer ? MaskPassword(value) : value));
    box->setCursorPosition(0);
  }
  if (!rule.Destination.empty()) {
    const MemberTable& members = program_.members();
    const int list = members.FindList(rule.Destination);
    if (list >= 0) {
      members.ForEachMember(list, [&](std::string_view address) { trans_list_->addItem(FromStd(std::string(address))); });
    }
  }
  RefreshSerialNo();
}

void MainWindow::RefreshSerialNo() {
  const int row = program_.current_rule_index();
  const auto& numbers = program_.settings().MlSequenceNumbers;
  if (row < 0 || row >= static_cast<int>(numbers.size())) {
    serial_no_->clear();
  } else {
    serial_no_->setText(QString::number(numbers[static_cast<size_t>(row)]));
  }
}

void MainWindow::RefreshLogCount() {
  // A missing folder is made again here; if that fails the count is 0.
  (void)program_.logger().EnsureLogFolders();
  if (!chk_log_->isChecked()) {
    log_count_->clear();
    return;
  }
  std::vector<DirEntry> entries;
  QStringList names;
  if (program_.fs().ListDir(program_.logger().LogFolder(), &entries).ok()) {
    for (const DirEntry& e : entries) {
      if (CountsAsLogFile(e)) names << FromStd(e.name);
    }
  }
  names.sort(Qt::CaseInsensitive);
  file_list_->clear();
  file_list_->addItems(names);
  log_count_->setText(QString::number(file_list_->count()));
}

void MainWindow::OnNumberChosen(int position) {
  if (position < 0) return;
  // Picking the shown row again shows it again only for the first row.
  if (position == program_.current_rule_index() && position != 0) return;
  program_.set_current_rule_index(position);
  // Keep the scroll bar on the shown row, so that its arrows step from
  // there and not from a row shown earlier.
  const QSignalBlocker quiet(hscroll_);
  hscroll_->setValue(position);
  ShowRule();
}

void MainWindow::OnScrolled(int value) {
  if (filling_) return;
  program_.set_current_rule_index(value);
  number_->setCurrentIndex(value);
  ShowRule();
}

void MainWindow::SetStatusText(const QString& text) {
  // The bar holds one line; an entry that spans lines is shown on one.
  QString line = text;
  line.replace("\r\n", " ").replace('\n', ' ').replace('\r', ' ');
  statusBar()->showMessage(line);
}

void MainWindow::SetCycleRunning(bool running) { receive_->setEnabled(!running); }

void MainWindow::CopyLogonInto(Settings* settings) const {
  settings->MapiUserName = user_->text().toStdString();
  settings->MapiPassword = password_->text().toStdString();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  // Only the step into or out of the minimised state counts: maximising
  // the open window must not stop a test run.
  const bool was = static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized;
  if (was != isMinimized()) emit minimisedChanged(isMinimized());
}

void MainWindow::closeEvent(QCloseEvent* event) {
  emit closeRequested();
  event->accept();
}

}  // namespace kelmora
