// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/recipient_items.h"

#include <set>

#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsForbiddenHeader(const std::string& name) {
  static const std::set<std::string> kForbidden = {"bcc",  "resent-bcc", "to",      "cc",           "from",
                                                   "sender", "date",     "subject", "mime-version", "message-id",
                                                   "return-path"};
  std::string lower = AsciiLower(name);
  return kForbidden.count(lower) > 0 || StartsWith(lower, "content-");
}

// The program's own headers in the order they are written, with the field
// of ProgramHeaders each one fills.
struct ProgramHeaderField {
  const char* name;
  std::string ProgramHeaders::*field;
};
constexpr ProgramHeaderField kProgramHeaderFields[] = {
    {"List-Id", &ProgramHeaders::list_id},
    {"List-Post", &ProgramHeaders::list_post},
    {"List-Unsubscribe", &ProgramHeaders::list_unsubscribe},
    {"X-Loop", &ProgramHeaders::x_loop},
    {"Precedence", &ProgramHeaders::precedence},
    {"Auto-Submitted", &ProgramHeaders::auto_submitted},
    {"In-Reply-To", &ProgramHeaders::in_reply_to},
    {"References", &ProgramHeaders::references},
};

bool IsHeaderName(const std::string& name) {
  if (name.empty() || name.size() > 76) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || c == ':') return false;
  }
  return true;
}

}  // namespace

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

std::string ProgramHeaderItems(const ProgramHeaders& headers) {
  std::string items;
  for (const ProgramHeaderField& f : kProgramHeaderFields) {
    const std::string value = Trim(OneLine(headers.*f.field));
    if (!value.empty()) items += std::string("\t;") + f.name + ": " + value;
  }
  return items;
}

bool IsProgramHeaderName(const std::string& name) {
  const std::string lower = AsciiLower(Trim(name));
  if (StartsWith(lower, "list-")) return true;
  for (const ProgramHeaderField& f : kProgramHeaderFields) {
    if (lower == AsciiLower(f.name)) return true;
  }
  return false;
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

RecipientItems ParseRecipientItems(const std::string& recipients) {
  RecipientItems r;
  std::set<std::string> seen;  // lower-cased envelope addresses
  auto add_envelope = [&](const std::string& addr) {
    if (seen.insert(AsciiLower(addr)).second) r.envelope.push_back(addr);
  };
  bool blind = false;
  std::vector<std::string> items = Split(recipients, "\t");
  for (size_t i = 0; i < items.size(); ++i) {
    std::string item = Trim(items[i]);
    // Line breaks inside an item (a stray CR LF from a data file) are blanks.
    item = Trim(OneLine(item));
    if (item.empty()) continue;
    if (item[0] == '>') {
      std::string line = item.substr(1);
      if (StartsWith(line, "#save ")) {
        r.save_folder = Trim(line.substr(6));
      } else if (StartsWith(line, "#")) {
        // other program-internal items: nothing to do here
      } else {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = Trim(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (AsciiLower(name) == "message-id") {
          r.message_id_text = value;
        } else if (IsHeaderName(name) && !IsForbiddenHeader(name) && !IsProgramHeaderName(name)) {
          r.headers.emplace_back(name, SanitizeUtf8(value));
        }
      }
      continue;
    }
    if (item[0] == ';') {
      // The program's own headers: set only through this channel.
      size_t colon = item.find(':');
      bool taken = false;
      if (colon != std::string::npos) {
        const std::string name = AsciiLower(Trim(item.substr(1, colon - 1)));
        for (const ProgramHeaderField& f : kProgramHeaderFields) {
          if (name == AsciiLower(f.name)) {
            r.program.*f.field = SanitizeUtf8(Trim(item.substr(colon + 1)));
            taken = true;
          }
        }
      }
      if (!taken) r.invalid.push_back(SanitizeUtf8(item));
      continue;
    }
    if (AsciiLower(item) == "bcc") {
      blind = true;
      continue;
    }
    if (i == 0 && item[0] == '@') {
      r.visible_group = true;
      r.group_name = SanitizeUtf8(Trim(item.substr(1)));
      if (r.group_name.empty()) r.group_name = "undisclosed-recipients";
      continue;
    }
    std::string addr = BareAddress(item);
    if (addr.empty()) {
      r.invalid.push_back(SanitizeUtf8(item));
      continue;
    }
    if (!blind) {
      // The first item and every plain address before "bcc" are shown.
      bool shown = false;
      for (const std::string& v : r.visible) shown = shown || AsciiLower(v) == AsciiLower(addr);
      if (!shown) r.visible.push_back(addr);
    }
    add_envelope(addr);
  }
  return r;
}

}  // namespace kelmora
