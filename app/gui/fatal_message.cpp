// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/fatal_message.h"

#include <QApplication>
#include <QMessageBox>

namespace kelmora {

QString FatalMessageText(const QString& text) { return text + "\n" + QStringLiteral("終了します。"); }

void ShowFatalMessage(const QString& text, QWidget* parent) {
  QApplication::beep();
  QMessageBox box(QMessageBox::Warning, "Kelmora", FatalMessageText(text), QMessageBox::Ok, parent);
  box.setObjectName("fatalMessage");
  box.exec();
}

}  // namespace kelmora
