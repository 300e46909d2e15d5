// SPDX-License-Identifier: GPL-3.0-or-later
#include "send/list_headers.h"

#include "config/process_types.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Lower case; every character (not byte) outside a-z, 0-9, "-" and those
// in `also` becomes one "-".
std::string IdText(const std::string& text, const std::string& also) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsContinuation(text[i])) continue;
    const char c = LowerAscii(text[i]);
    const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      also.find(c) != std::string::npos;
    out += keep ? c : '-';
  }
  return out;
}

}  // namespace

std::string ListIdentifier(const MasterRule& rule) {
  const std::string address = Trim(rule.ToAddress);
  const size_t at = address.rfind('@');
  const std::string local = at == std::string::npos ? address : address.substr(0, at);
  std::string domain = at == std::string::npos ? "" : address.substr(at + 1);
  for (char& c : domain) c = LowerAscii(c);
  std::string id;
  if (IsMLIDKeyword(rule.Keyword)) id = IdText(rule.Keyword.substr(1, rule.Keyword.size() - 2), "");
  // A local part may hold dots; they stay, as they are legal in a List-Id.
  if (id.empty()) id = IdText(local, ".");
  return domain.empty() ? id : id + "." + domain;
}

std::string PercentEncode(const std::string& text) {
  // Lower-case hex: spam filters take "%BC" in a header for a mail
  // template whose fields were never filled in.
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

ProgramHeaders PostHeaders(const MasterTable& master, int master_index) {
  const MasterRule& rule = master.at(static_cast<size_t>(master_index));
  const std::string list_address = Trim(rule.ToAddress);
  ProgramHeaders h;
  h.list_id = "<" + ListIdentifier(rule) + ">";
  h.list_post = "<mailto:" + list_address + ">";
  h.x_loop = list_address;
  h.precedence = "list";
  if (!rule.Destination.empty()) {
    for (const MasterRule& other : master) {
      if (other.Action == RuleAction::kExistingDelete && other.DataFile == rule.Destination) {
        h.list_unsubscribe = "<mailto:" + Trim(other.ToAddress) + "?subject=" + PercentEncode(other.Keyword) + ">";
        break;
      }
    }
  }
  return h;
}

ProgramHeaders PostHeaders(const MasterTable& master, const OutgoingMail& mail) {
  ProgramHeaders h = PostHeaders(master, mail.MasterIndex);
  // The tag number changes the subject, so mail programs can thread a
  // reply to a post only by these.
  const std::string in_reply_to = Trim(mail.ReceivedInReplyTo);
  std::string references = Trim(mail.ReceivedReferences);
  if (!in_reply_to.empty() && !Contains(references, in_reply_to)) references = Trim(references + " " + in_reply_to);
  h.in_reply_to = in_reply_to;
  h.references = references;
  return h;
}

ProgramHeaders MailHeaders(const MasterTable& master, const OutgoingMail& mail) {
  return mail.ListTag == kGeneratedReply ? ReplyHeaders(mail) : PostHeaders(master, mail);
}

ProgramHeaders ReplyHeaders(const OutgoingMail& mail) {
  ProgramHeaders h;
  h.auto_submitted = "auto-replied";
  const std::string id = Trim(mail.RequestMessageId);
  if (!id.empty()) {
    h.in_reply_to = id;
    h.references = Trim(Trim(mail.RequestReferences) + " " + id);
  }
  return h;
}

}  // namespace kelmora
