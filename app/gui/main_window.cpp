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
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QGuiApplication>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>
#include <algorithm>


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

constexpr int kOpeningWidth = 1000;
constexpr int kOpeningHeight = 620;

QLabel* Caption(const char* text, QWidget* buddy) {
  auto* label = new QLabel(QString::fromUtf8(text));
  label->setBuddy(buddy);
  return label;
}

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

// A captioned row of the settings column.
void AddRow(QGridLayout* grid, int* row, const char* label, QWidget* w) {
  grid->addWidget(Caption(label, w), *row, 0);
  grid->addWidget(w, (*row)++, 1);
}

}  // namespace

QString MainWindow::Caption() { return QStringLiteral("Tesh 私設メーリングリスト"); }
QString MainWindow::ProductLabel() { return QStringLiteral("Kelmora") + " Ver" + "1.05"; }

MainWindow::MainWindow(ProgramControl& program, QWidget* parent) : QMainWindow(parent), program_(program) {
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
  auto* top = new QHBoxLayout;
  top->addWidget(product);
  top->addStretch(1);
  auto* log = new QPushButton(QStringLiteral("ログを見る(&L)"));
  log->setObjectName("cmdLog");
  connect(log, &QPushButton::clicked, this, &MainWindow::ShowLog);
  top->addWidget(log);
  outer->addLayout(top);

  auto* row = new QHBoxLayout;
  auto* viewer = new QGroupBox(QStringLiteral("設定ファイルの内容"));
  viewer->setObjectName("fraMaster");
  BuildViewer(viewer);
  auto* settings = new QGroupBox(QStringLiteral("各種設定"));
  settings->setObjectName("fraSettings");
  BuildSettings(settings);
  // The settings keep their natural width; the viewer takes the rest.
  row->addWidget(viewer, 1);
  row->addWidget(settings, 0);
  outer->addLayout(row);
  setCentralWidget(central);

  statusBar()->setObjectName("StatusBar1");
  statusBar()->setSizeGripEnabled(true);
  status_ = new QLabel;
  status_->setObjectName("statusText");
  // Elided to the bar's width; the whole entry is the tooltip.
  status_->setMinimumWidth(1);
  status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar()->addWidget(status_, 1);

  // A size that shows a typical row whole, within the screen's free area.
  QSize size(kOpeningWidth, kOpeningHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen()) size = size.boundedTo(screen->availableGeometry().size());
  resize(size);
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
    // Room for an address or a file name at the smallest size.
    box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 14);
    // A viewer: nothing reads these boxes back.
    box->setReadOnly(true);
    // Its tooltip follows its width, whatever resized it.
    box->installEventFilter(this);
    grid->addWidget(::kelmora::Caption(f.label, box), r, c);
    grid->addWidget(box, r, c + 1);
    fields_.emplace_back(box, f.column);
  };
  int r = 2;
  for (const ViewerField& f : kLeftFields) add_field(f, r++, 0);
  trans_list_ = new QListWidget;
  trans_list_->setObjectName("TransList");
  trans_list_->setMinimumWidth(trans_list_->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 24);
  grid->addWidget(::kelmora::Caption("転送先アドレス：", trans_list_), r, 0, Qt::AlignTop);
  grid->addWidget(trans_list_, r, 1, 11 - r, 1);
  r = 0;
  for (const ViewerField& f : kRightFields) add_field(f, r++, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  // A maximised window keeps its rows together at the top.
  grid->setRowStretch(static_cast<int>(std::size(kRightFields)), 1);

  connect(number_, &QComboBox::activated, this, &MainWindow::OnNumberChosen);
  connect(hscroll_, &QScrollBar::valueChanged, this, &MainWindow::OnScrolled);
}

void MainWindow::BuildSettings(QWidget* frame) {
  auto* grid = new QGridLayout(frame);
  int r = 0;
  AddLogonRows(grid, &r);
  AddOptionBoxes(grid, &r);
  AddCheckRows(grid, &r);
  grid->addLayout(NewButtonRow(), r++, 0, 1, 2);
  // A maximised window keeps the buttons with the rows they act on, as in
  // the viewer beside it: the room gained goes below them.
  grid->setRowStretch(r, 1);
}

void MainWindow::AddLogonRows(QGridLayout* grid, int* row) {
  user_ = new QLineEdit;
  user_->setObjectName("txtUserID");
  AddRow(grid, row, "現ユーザー：", user_);
  password_ = new QLineEdit;
  password_->setObjectName("txtPassword");
  password_->setEchoMode(QLineEdit::Password);
  password_->setStyleSheet("lineedit-password-character: 42;");  // "*"
  AddRow(grid, row, "パスワード：", password_);
  // The logon takes effect from the next cycle and is saved with the rest.
  for (QLineEdit* box : {user_, password_}) {
    connect(box, &QLineEdit::textChanged, this, [this] {
      if (!filling_) program_.SetLogon(user_->text().toStdString(), password_->text().toStdString());
    });
  }
}

void MainWindow::AddOptionBoxes(QGridLayout* grid, int* row) {
  auto add_box = [&](QCheckBox*& box, const char* name, const char* text, WindowOption field) {
    box = new QCheckBox(QString::fromUtf8(text));
    box->setObjectName(name);
    grid->addWidget(box, (*row)++, 0, 1, 2);
    BindCheckBox(box, field);
  };
  add_box(chk_server_, "chkServer", "サーバーからダウンロードする", WindowOption::kDownloadFromServer);
  add_box(chk_mail_del_, "chkMailDel", "正常処理後メールを削除する", WindowOption::kDeleteAfterProcessing);
  add_box(chk_busy_disp_, "chkBusyDisp", "Busy Windowを表示しない", WindowOption::kHideBusyWindow);
  add_box(chk_log_, "chkLog", "送信メールをログに残す", WindowOption::kLogSentMail);
  add_box(chk_rcv_, "chkRcv", "受信メールをログに残す", WindowOption::kLogReceivedMail);
  connect(chk_log_, &QCheckBox::toggled, this, [this] {
    if (!filling_) RefreshLogCount();
  });
}

// The account, the check interval and the two counters.
void MainWindow::AddCheckRows(QGridLayout* grid, int* row) {
  account_ = new QComboBox;
  account_->setObjectName("Account");
  account_->setPlaceholderText(QStringLiteral("アカウントの設定無し"));
  // The placeholder is a hint about the settings file, not a greyed-out
  // control: in the ordinary text colour.
  QPalette hint = account_->palette();
  hint.setColor(QPalette::PlaceholderText, hint.color(QPalette::Text));
  account_->setPalette(hint);
  grid->addWidget(account_, (*row)++, 0, 1, 2);

  interval_ = new QComboBox;
  interval_->setObjectName("cmbInterval");
  interval_->setMaxVisibleItems(15);
  // Without this a style may show the whole list as one pop-up.
  interval_->setStyleSheet("combobox-popup: 0;");
  AddRow(grid, row, "メールチェックの間隔：", interval_);
  connect(interval_, &QComboBox::activated, this, [this](int position) { program_.OnIntervalChosen(position); });

  serial_no_ = new QLineEdit;
  serial_no_->setObjectName("txtSerialNo");
  serial_no_->setReadOnly(true);
  AddRow(grid, row, "現在のML一貫番号：", serial_no_);
  log_count_ = new QLineEdit;
  log_count_->setObjectName("txtLog");
  log_count_->setReadOnly(true);
  AddRow(grid, row, "現在のメール数：", log_count_);
}

QHBoxLayout* MainWindow::NewButtonRow() {
  // Japanese captions carry their access key in brackets, as usual there.
  receive_ = new QPushButton(QStringLiteral("メール処理実行テスト(&T)"));
  receive_->setObjectName("cmdReceive");
  auto* minimise = new QPushButton(QStringLiteral("最小化(&N)"));
  minimise->setObjectName("cmdMin");
  auto* end = new QPushButton(QStringLiteral("終了(&X)"));
  end->setObjectName("End");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(receive_);
  buttons->addWidget(minimise);
  buttons->addWidget(end);
  connect(receive_, &QPushButton::clicked, this, &MainWindow::testRunRequested);
  connect(minimise, &QPushButton::clicked, this, [this] { setWindowState(windowState() | Qt::WindowMinimized); });
  connect(end, &QPushButton::clicked, this, &MainWindow::endRequested);
  return buttons;
}

void MainWindow::BindCheckBox(QCheckBox* box, WindowOption option) {
  // A click takes effect at once, or at a running cycle's next check point.
  connect(box, &QCheckBox::toggled, this, [this, option](bool on) {
    if (!filling_) program_.SetOption(option, on);
  });
}

void MainWindow::Fill() {
  filling_ = true;
  const int rows = program_.RuleCount();
  const int current = program_.current_rule_index();
  number_->clear();
  for (int i = 1; i <= rows; ++i) number_->addItem(QString::number(i));
  number_->setCurrentIndex(current < rows ? current : -1);
  hscroll_->setRange(0, std::max(0, rows - 1));
  hscroll_->setEnabled(rows > 1);
  hscroll_->setValue(current);

  const WindowSettings s = program_.CurrentSettings();
  interval_->clear();
  for (int i = 1; i <= 60; ++i) interval_->addItem(QString::number(i));
  interval_->setCurrentIndex(s.interval_minutes - 1);

  account_->clear();
  for (const std::string& a : s.accounts) account_->addItem(FromStd(a));
  account_->setCurrentIndex(s.accounts.empty() ? -1 : 0);

  user_->setText(FromStd(s.user));
  password_->setText(FromStd(s.password));
  chk_server_->setChecked(s.option(WindowOption::kDownloadFromServer));
  chk_mail_del_->setChecked(s.option(WindowOption::kDeleteAfterProcessing));
  chk_busy_disp_->setChecked(s.option(WindowOption::kHideBusyWindow));
  chk_log_->setChecked(s.option(WindowOption::kLogSentMail));
  chk_rcv_->setChecked(s.option(WindowOption::kLogReceivedMail));
  filling_ = false;

  RefreshLogCount();
  ShowRule();
}

void MainWindow::ShowRule() {
  const RuleView view = program_.ViewRule(program_.current_rule_index());
  trans_list_->clear();
  for (auto& [box, column] : fields_) {
    box->setText(FromStd(view.rule.*column));
    box->setCursorPosition(0);
  }
  UpdateToolTips();
  for (const std::string& address : view.members) {
    auto* item = new QListWidgetItem(FromStd(address), trans_list_);
    item->setToolTip(item->text());
  }
  if (view.has_sequence_number) {
    serial_no_->setText(QString::number(view.sequence_number));
  } else {
    serial_no_->clear();
  }
}

bool MainWindow::ShowsWhole(const QLineEdit* box) {
  // A line edit shows a value with line breaks on one line, not as it is.
  if (box->text().contains(QLatin1Char('\n')) || box->text().contains(QLatin1Char('\r'))) return false;
  QStyleOptionFrame option;
  option.initFrom(box);
  option.lineWidth = box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box) : 0;
  const QRect contents = box->style()->subElementRect(QStyle::SE_LineEditContents, &option, box);
  const QMargins margins = box->textMargins();
  // Qt's line edit keeps two pixels of its own on either side.
  const int room = contents.width() - margins.left() - margins.right() - 4;
  return box->fontMetrics().horizontalAdvance(box->text()) <= room;
}

void MainWindow::UpdateToolTips() {
  for (auto& [box, column] : fields_) box->setToolTip(ShowsWhole(box) ? QString() : box->text());
  UpdateStatusText();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  UpdateStatusText();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Resize) {
    if (auto* box = qobject_cast<QLineEdit*>(watched)) box->setToolTip(ShowsWhole(box) ? QString() : box->text());
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::ShowLog() {
  if (log_view_ == nullptr) {
    log_view_ = new QPlainTextEdit(this);
    log_view_->setWindowFlag(Qt::Window);
    log_view_->setObjectName("logView");
    log_view_->setWindowTitle(QStringLiteral("Kelmora ― ログ"));
    log_view_->setReadOnly(true);
    log_view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_view_->resize(760, 420);
  }
  QStringList entries;
  for (const std::string& entry : program_.MainLogEntries()) entries << FromStd(entry);
  log_view_->setPlainText(entries.join('\n'));
  log_view_->show();
  log_view_->raise();
  log_view_->activateWindow();
}

void MainWindow::SetSequenceNumber(int row, std::int32_t number) {
  if (row == program_.current_rule_index()) serial_no_->setText(QString::number(number));
}

void MainWindow::RefreshLogCount() {
  if (!chk_log_->isChecked()) {
    log_count_->clear();
    return;
  }
  log_count_->setText(QString::number(program_.SavedMailCount()));
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
  status_line_ = text;
  status_line_.replace("\r\n", " ").replace('\n', ' ').replace('\r', ' ');
  UpdateStatusText();
}

QString MainWindow::StatusText() const { return status_line_; }

void MainWindow::UpdateStatusText() {
  if (status_ == nullptr) return;
  const int width = std::max(status_->width(), 1);
  const QString shown = status_->fontMetrics().elidedText(status_line_, Qt::ElideMiddle, width);
  status_->setText(shown);
  status_->setToolTip(shown == status_line_ ? QString() : status_line_);
}

void MainWindow::SetCycleRunning(bool running) { receive_->setEnabled(!running); }

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
