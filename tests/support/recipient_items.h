// SPDX-License-Identifier: GPL-3.0-or-later
// Recipient items: a text form of a message's addressing, for tests and the
// command-line send tool, which keep their cases and scripts readable as
// one line. Items are separated by TAB, blanks around an item ignored:
//   - the first item is the visible recipient: an address, or "@" and a
//     name for an empty group;
//   - further addresses before "bcc" are visible too, every address after
//     "bcc" is a blind copy;
//   - ">Message-ID: text" goes into the Message-ID, ">#save folder" keeps a
//     copy of the message as sent there; other ">" items are ignored (a
//     message carries no header lines but the program's own);
//   - ";Name: value" sets one of the program's own headers; any other ";"
//     item is handed on as an address (and so refused as none).
#pragma once

#include <string>
#include <vector>

#include "mime/outgoing_message.h"
#include "textio/status.h"
#include "textio/strings.h"

namespace kelmora {
namespace items_detail {

// Control characters (a stray CR LF from a data file) as blanks.
inline std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

inline std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace items_detail

inline OutgoingMessage MessageFromItems(const std::string& recipients, const std::string& from = "",
                                        const std::string& subject = "", const std::string& body = "",
                                        const std::string& attachments = "") {
  OutgoingMessage m;
  m.from = from;
  m.subject = subject;
  m.body = body;
  for (const std::string& a : Split(attachments, "\t"))
    if (!a.empty()) m.attachments.push_back(a);
  bool blind = false;
  const std::vector<std::string> items = Split(recipients, "\t");
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string item = Trim(items_detail::OneLine(Trim(items[i])));
    if (item.empty()) continue;
    if (item[0] == '>') {
      const std::string line = item.substr(1);
      const size_t colon = line.find(':');
      if (StartsWith(line, "#save ")) {
        m.save_folder = Trim(line.substr(6));
      } else if (colon != std::string::npos && items_detail::Lower(Trim(line.substr(0, colon))) == "message-id") {
        m.message_id_text = Trim(line.substr(colon + 1));
      }
      continue;
    }
    if (item[0] == ';') {
      const size_t colon = item.find(':');
      if (colon == std::string::npos || !m.headers.Set(item.substr(1, colon - 1), Trim(item.substr(colon + 1))))
        m.bcc.push_back(item);
      continue;
    }
    if (items_detail::Lower(item) == "bcc") {
      blind = true;
      continue;
    }
    if (i == 0 && item[0] == '@') {
      m.to.push_back(MailRecipient{"", Trim(item.substr(1))});
    } else if (blind) {
      m.bcc.push_back(item);
    } else {
      m.to.push_back(MailRecipient{item, ""});
    }
  }
  return m;
}

// The items of `m` in the order above ("bcc" only when there are blind
// copies), the program's headers last.
inline std::string ItemsOf(const OutgoingMessage& m) {
  std::vector<std::string> items;
  for (size_t i = 0; i < m.to.size(); ++i) {
    if (m.to[i].address.empty()) {
      if (i == 0) items.push_back("@" + m.to[i].name);
    } else {
      items.push_back(m.to[i].address);
    }
  }
  if (!m.bcc.empty()) items.push_back("bcc");
  for (const std::string& b : m.bcc) items.push_back(b);
  if (!m.message_id_text.empty()) items.push_back(">Message-ID: " + m.message_id_text);
  if (!m.save_folder.empty()) items.push_back(">#save " + m.save_folder);
  m.headers.ForEach([&](const std::string& name, const std::string& value) {
    const std::string v = Trim(items_detail::OneLine(value));
    if (!v.empty()) items.push_back(";" + name + ": " + v);
  });
  return Join(items, "\t");
}

// Sends the message the items describe through `sender` (anything with
// Send(server, OutgoingMessage)); "" when it went out, else the failure text.
template <typename Sender>
std::string SendItems(Sender& sender, const std::string& server, const std::string& recipients,
                      const std::string& from, const std::string& subject, const std::string& body,
                      const std::string& attachments) {
  const Status s = sender.Send(server, MessageFromItems(recipients, from, subject, body, attachments));
  return s.ok() ? "" : s.message();
}

}  // namespace kelmora
