// SPDX-License-Identifier: GPL-3.0-or-later
// OutgoingMail: what the dispatcher hands to a send method for one row.
#pragma once

#include <string>

#include "config/process_types.h"

namespace kelmora {

inline constexpr ListTagMode kPlainMessage = ListTagMode::kPlain;
inline constexpr ListTagMode kSubjectHasListTag = ListTagMode::kSubjectHasTag;
inline constexpr ListTagMode kTitleIsListTag = ListTagMode::kTitleIsTag;
inline constexpr ListTagMode kGeneratedReply = ListTagMode::kGeneratedReply;

struct OutgoingMail {
  std::string ToAddr;       // the single recipient of a generated reply
  std::string ToName;       // recipient display name (not used by the BCC sender)
  int MasterIndex = 0;      // the rule row, from 0
  std::string OriginalSender;   // the received sender: "\"Name\" <addr>" or "<addr>"
  std::string ReceivedSubject;  // the received subject, prepared by the dispatcher
  std::string Msg;              // the body to send
  ListTagMode ListTag = kPlainMessage;
  std::string AttachmentPaths;  // "" or TAB-separated attachment paths
  // The request a generated reply answers, for In-Reply-To and References.
  std::string RequestMessageId;   // "<id>" or ""
  std::string RequestReferences;  // its References header, or ""
  // The forwarded message's own thread, for In-Reply-To and References of
  // a post.
  std::string ReceivedInReplyTo;   // "<id>" or ""
  std::string ReceivedReferences;  // its References header, or ""
};

}  // namespace kelmora
