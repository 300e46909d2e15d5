// SPDX-License-Identifier: GPL-3.0-or-later
// The warning box of a fatal start-up finding.
#pragma once

#include <QString>

class QWidget;

namespace kelmora {

// The text of the box: the finding, a line break and "終了します。".
QString FatalMessageText(const QString& text);

// Beeps and shows the modal warning box; returns when it is closed.
void ShowFatalMessage(const QString& text, QWidget* parent = nullptr);

}  // namespace kelmora
