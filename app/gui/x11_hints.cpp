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

// The X connection, or null off X11 and for a widget that is no window.
xcb_connection_t* Connection(const QWidget* window) {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 == nullptr || window == nullptr || !window->isWindow()) return nullptr;
  return x11->connection();
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

// The 32-bit values of a window property of the given type; empty when the
// window has no such property.
std::vector<uint32_t> Values(xcb_connection_t* c, xcb_window_t id, xcb_atom_t property, xcb_atom_t type) {
  std::vector<uint32_t> values;
  xcb_get_property_reply_t* reply =
      xcb_get_property_reply(c, xcb_get_property(c, 0, id, property, type, 0, 1024), nullptr);
  if (reply == nullptr) return values;
  if (reply->format == 32 && reply->type == type) {
    const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
    values.assign(data, data + xcb_get_property_value_length(reply) / sizeof(uint32_t));
  }
  std::free(reply);
  return values;
}

}  // namespace

void SkipTaskbarAndPager(QWidget* window) {
  xcb_connection_t* c = Connection(window);
  if (c == nullptr) return;
  // The native window must exist before the first map, so that the window
  // manager reads the state when it takes the window on.
  const auto id = static_cast<xcb_window_t>(window->winId());
  const xcb_atom_t state = Atom(c, "_NET_WM_STATE");
  if (state == XCB_ATOM_NONE) return;
  // Qt keeps atoms it does not manage itself when it writes the state at
  // show(), so ours are added to what is there.
  std::vector<uint32_t> atoms = Values(c, id, state, XCB_ATOM_ATOM);
  for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
    const xcb_atom_t atom = Atom(c, name);
    if (atom != XCB_ATOM_NONE && std::find(atoms.begin(), atoms.end(), atom) == atoms.end()) atoms.push_back(atom);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32, static_cast<uint32_t>(atoms.size()),
                      atoms.data());
  xcb_flush(c);
}

bool IconicOnX11(QWidget* window) {
  xcb_connection_t* c = Connection(window);
  // Not yet created: not yet taken on by the window manager either.
  if (c == nullptr || !window->testAttribute(Qt::WA_WState_Created)) return false;
  const xcb_atom_t wm_state = Atom(c, "WM_STATE");
  if (wm_state == XCB_ATOM_NONE) return false;
  // WM_STATE: the state (1 normal, 3 iconic), then the icon window.
  constexpr uint32_t kIconicState = 3;
  const std::vector<uint32_t> values = Values(c, static_cast<xcb_window_t>(window->winId()), wm_state, wm_state);
  return !values.empty() && values.front() == kIconicState;
}

#else

void SkipTaskbarAndPager(QWidget*) {}
bool IconicOnX11(QWidget*) { return false; }

#endif

}  // namespace kelmora
