// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/gui/x11_hints.h"

#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#endif

namespace kelmora {

#if QT_CONFIG(xcb)
namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

}  // namespace

void SkipTaskbarAndPager(QWidget* window) {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 == nullptr || window == nullptr || !window->isWindow()) return;
  xcb_connection_t* c = x11->connection();
  if (c == nullptr) return;
  // The native window must exist before the first map, so that the window
  // manager reads the state when it takes the window on.
  const auto id = static_cast<xcb_window_t>(window->winId());
  const xcb_atom_t state = Atom(c, "_NET_WM_STATE");
  if (state == XCB_ATOM_NONE) return;

  // Qt keeps atoms it does not manage itself when it writes the state at
  // show(), so ours are added to what is there.
  std::vector<xcb_atom_t> atoms;
  xcb_get_property_reply_t* current =
      xcb_get_property_reply(c, xcb_get_property(c, 0, id, state, XCB_ATOM_ATOM, 0, 1024), nullptr);
  if (current != nullptr) {
    if (current->format == 32 && current->type == XCB_ATOM_ATOM) {
      const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(current));
      atoms.assign(data, data + xcb_get_property_value_length(current) / sizeof(xcb_atom_t));
    }
    std::free(current);
  }
  for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
    const xcb_atom_t atom = Atom(c, name);
    if (atom != XCB_ATOM_NONE && std::find(atoms.begin(), atoms.end(), atom) == atoms.end()) atoms.push_back(atom);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32, static_cast<uint32_t>(atoms.size()),
                      atoms.data());
  xcb_flush(c);
}

bool IconicOnX11(QWidget* window) {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 == nullptr || window == nullptr || !window->isWindow() || !window->testAttribute(Qt::WA_WState_Created)) {
    return false;
  }
  xcb_connection_t* c = x11->connection();
  if (c == nullptr) return false;
  const xcb_atom_t wm_state = Atom(c, "WM_STATE");
  if (wm_state == XCB_ATOM_NONE) return false;
  // WM_STATE: the state (1 normal, 3 iconic) and the icon window.
  constexpr uint32_t kIconicState = 3;
  bool iconic = false;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      c, xcb_get_property(c, 0, static_cast<xcb_window_t>(window->winId()), wm_state, wm_state, 0, 2), nullptr);
  if (reply != nullptr) {
    if (reply->format == 32 && xcb_get_property_value_length(reply) >= 4) {
      iconic = *static_cast<const uint32_t*>(xcb_get_property_value(reply)) == kIconicState;
    }
    std::free(reply);
  }
  return iconic;
}

#else

void SkipTaskbarAndPager(QWidget*) {}
bool IconicOnX11(QWidget*) { return false; }

#endif

}  // namespace kelmora
