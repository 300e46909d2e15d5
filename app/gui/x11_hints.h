// SPDX-License-Identifier: GPL-3.0-or-later
// Window-manager hints that Qt has no portable call for. Each one acts only
// when the application runs on X11 and does nothing elsewhere (offscreen,
// Wayland), where the compositor decides by itself.
#pragma once

class QWidget;

namespace kelmora {

// Keeps a top-level window out of the taskbar and the pager. Call it before
// every show(): window managers drop the window's state when it is hidden.
void SkipTaskbarAndPager(QWidget* window);

// Whether the window manager keeps `window` iconic (its WM_STATE says so).
// False before the window manager has taken the window on, and off X11.
bool IconicOnX11(QWidget* window);

}  // namespace kelmora
