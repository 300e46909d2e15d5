// SPDX-License-Identifier: GPL-3.0-or-later
// MailReply: what the mail component's RcvMail and ReadMail answer. It
// lives below the component because the message reader builds it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelmora {

// The result of RcvMail and ReadMail: either a list of texts or one text.
struct MailReply {
  bool is_list = false;
  std::vector<std::string> items;  // when is_list
  std::string text;                // otherwise

  static MailReply List(std::vector<std::string> items) { return MailReply{true, std::move(items), ""}; }
  static MailReply Text(std::string text) { return MailReply{false, {}, std::move(text)}; }
};

}  // namespace kelmora
