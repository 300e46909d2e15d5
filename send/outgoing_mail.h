// SPDX-License-Identifier: GPL-3.0-or-later
// OutgoingMail: what the dispatcher hands to a send method for one row.
#pragma once

#include <string>

namespace kelmora {

// ML_IDflag values.
inline constexpr int kPlainMessage = 0;
inline constexpr int kSubjectHasListTag = 1;
inline constexpr int kTitleIsListTag = 2;
inline constexpr int kGeneratedReply = 5;

struct OutgoingMail {
  std::string ToAddr;       // the single recipient of a generated reply
  std::string ToName;       // recipient display name (not used by the BCC sender)
  int MasterIndex = 0;      // the rule row, from 0
  std::string strOrgAN;     // the received sender: "\"Name\" <addr>" or "<addr>"
  std::string mailsb;       // the received subject, prepared by the dispatcher
  std::string Msg;          // the body to send
  int ML_IDflag = kPlainMessage;
  std::string strAttatch;   // "" or TAB-separated attachment paths
  std::string attcbin;      // always ""
  // The request a generated reply answers, for In-Reply-To and References.
  std::string RequestMessageId;   // "<id>" or ""
  std::string RequestReferences;  // its References header, or ""
  // The forwarded message's own thread, for In-Reply-To and References of
  // a post.
  std::string ReceivedInReplyTo;   // "<id>" or ""
  std::string ReceivedReferences;  // its References header, or ""
};

}  // namespace kelmora
