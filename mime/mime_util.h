// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the message reader and the message builder.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <string>
#include <string_view>

namespace kelmora {

// Owns a GObject (GMime objects are GObjects) and unrefs it.
struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// The object as GMime writes it, with CR LF line breaks where GMime puts
// line breaks of its own.
std::string WriteWithCrLf(GMimeObject* object);

// The raw (undecoded, possibly folded) value of the first header `name` of
// a message or part; null when there is none. Borrowed from `object`.
const char* RawHeader(GMimeObject* object, const char* name);

// ASCII lower case (header names, charset labels).
std::string AsciiLower(std::string_view s);

// Control characters (CR, LF, TAB, NUL ...) become blanks, so that a value
// never starts a new header line or SMTP command.
std::string OneLine(std::string_view text);

// Every CR, LF or CR LF becomes CR LF; NUL characters are dropped when
// `drop_nul` is set.
std::string ToCrLf(std::string_view text, bool drop_nul = false);

}  // namespace kelmora
