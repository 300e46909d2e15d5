// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/mail_classifier.h"

#include "mime/mime_util.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// The first token of a header value: "auto-replied; owner=x" gives
// "auto-replied"; comments and case do not count.
std::string Keyword(const std::string& value) {
  std::string v = value;
  const size_t paren = v.find('(');
  if (paren != std::string::npos) v.resize(paren);
  const size_t semicolon = v.find(';');
  if (semicolon != std::string::npos) v.resize(semicolon);
  return AsciiLower(Trim(v));
}

// The text between the first "<" and the next ">", or the whole value when
// it has no angle brackets.
std::string Bracketed(const std::string& value) {
  const size_t open = value.find('<');
  if (open == std::string::npos) return Trim(value);
  const size_t close = value.find('>', open);
  if (close == std::string::npos) return Trim(value.substr(open + 1));
  return Trim(value.substr(open + 1, close - open - 1));
}

bool IsDaemonAddress(const std::string& address) {
  const std::string local = AsciiLower(address.substr(0, address.find('@')));
  return local == "mailer-daemon" || local == "postmaster";
}

}  // namespace

MailClass ClassifyMail(const ReceivedMail& mail) {
  MailClass c;
  const std::string auto_submitted = Keyword(mail.AutoSubmitted);
  const std::string precedence = Keyword(mail.Precedence);
  if (!auto_submitted.empty() && auto_submitted != "no") {
    c.machine = c.automatic = true;
    c.reason = "Auto-Submitted: " + Trim(mail.AutoSubmitted);
  } else if (precedence == "bulk" || precedence == "junk") {
    c.machine = c.automatic = true;
    c.reason = "Precedence: " + Trim(mail.Precedence);
  } else if (precedence == "list") {
    c.machine = true;
    c.reason = "Precedence: " + Trim(mail.Precedence);
  } else if (!Trim(mail.ListId).empty()) {
    c.machine = true;
    c.reason = "List-Id: " + Trim(mail.ListId);
  } else if (mail.HasReturnPath) {
    const std::string path = Bracketed(mail.ReturnPath);
    if (path.empty() || IsDaemonAddress(path)) {
      c.machine = true;
      c.reason = "Return-Path: " + (Trim(mail.ReturnPath).empty() ? std::string("<>") : Trim(mail.ReturnPath));
    }
  }
  return c;
}

std::string LoopReason(const ReceivedMail& mail, const std::string& list_address, const std::string& list_id) {
  const std::string address = AsciiLower(Trim(list_address));
  for (const std::string& value : Split(mail.XLoop, "\t")) {
    if (!address.empty() && AsciiLower(Bracketed(value)) == address) return "X-Loop: " + Trim(value);
  }
  if (!Trim(mail.ListId).empty() && !list_id.empty() && AsciiLower(Bracketed(mail.ListId)) == AsciiLower(list_id)) {
    return "List-Id: " + Trim(mail.ListId);
  }
  return "";
}

}  // namespace kelmora
