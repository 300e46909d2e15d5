// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/outgoing_message.h"

#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {

bool ProgramHeaders::empty() const {
  for (const ProgramHeaderField& f : kProgramHeaderFields) {
    if (!(this->*f.field).empty()) return false;
  }
  return true;
}

void ProgramHeaders::MergeFrom(const ProgramHeaders& other) {
  for (const ProgramHeaderField& f : kProgramHeaderFields) {
    if (!(other.*f.field).empty()) this->*f.field = other.*f.field;
  }
}

bool ProgramHeaders::Set(const std::string& name, const std::string& value) {
  const std::string lower = AsciiLower(Trim(name));
  bool taken = false;
  for (const ProgramHeaderField& f : kProgramHeaderFields) {
    if (lower == AsciiLower(f.name)) {
      this->*f.field = value;
      taken = true;
    }
  }
  return taken;
}

std::string BareAddress(const std::string& item) {
  std::string s = Trim(item);
  size_t lt = s.rfind('<');
  size_t gt = s.rfind('>');
  if (lt != std::string::npos && gt != std::string::npos && lt < gt) s = Trim(s.substr(lt + 1, gt - lt - 1));
  if (s.empty() || !IsMailAddress(s)) return "";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' || c == ')' ||
        c == '"')
      return "";
  }
  return s;
}

}  // namespace kelmora
