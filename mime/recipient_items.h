// SPDX-License-Identifier: GPL-3.0-or-later
// Recipient items: the TAB-separated recipient argument of SendMail, read
// into what the message shows, whom it goes to, and the program's extra
// instructions. Blanks around an item are ignored.
//
//   - The first item is the visible recipient. A plain address is shown in
//     the To header AND delivered to, as any mail program does with a To
//     address: one-by-one forwarding and replies name their only recipient
//     there, and a list posting reaches the list's own mailbox too (a
//     posting that comes back with the list as sender is skipped by the
//     processing rules). "@" followed by a name is shown as the empty group
//     "name:;" and delivered to nobody.
//   - Further addresses before the item "bcc" are visible too (To header and
//     envelope); every address after "bcc" goes only into the envelope and
//     never into a header.
//   - ">Message-ID: text" puts "text" into the local part of the message's
//     unique Message-ID; ">#save folder" stores a copy of the message in
//     that folder after it was sent; any other ">Name: value" becomes a
//     header line. Names that would break the message or leak blind copies
//     (Bcc, To, Cc, From, Sender, Date, Subject, MIME-Version, Content-*,
//     Message-ID given as a header) are ignored.
//   - ";Name: value" (a semicolon in front) sets one of the headers the
//     program itself puts on list mail and replies: List-Id, List-Post,
//     List-Unsubscribe, X-Loop, Precedence, Auto-Submitted, In-Reply-To,
//     References. No address can begin with ";", and ">" items naming any of
//     these headers (or any other "List-" header) are ignored, so header
//     items can neither remove nor override what the program sets. A name
//     given twice keeps the later value; other ";" items are no address and
//     are reported as such.
//   - An address that appears twice is delivered once. An item that is not
//     an address (no "@", blanks, control or non-ASCII characters inside)
//     is refused here and reported like a recipient the server refused.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelmora {

// Headers the program sets on its own mail. Empty fields are left out.
struct ProgramHeaders {
  std::string list_id;           // "<id.domain>" of the list a post went through
  std::string list_post;         // "<mailto:list address>"
  std::string list_unsubscribe;  // "<mailto:address?subject=keyword>"
  std::string x_loop;            // the bare list address, for loop detection
  std::string precedence;        // "list" on posts
  std::string auto_submitted;    // "auto-replied" on every automatic reply
  std::string in_reply_to;       // the request's "<message-id>"
  std::string references;        // the request's references and its message-id

  bool empty() const;
  // Fields of `other` that are set replace the ones here.
  void MergeFrom(const ProgramHeaders& other);
};

// The ";Name: value" items for `headers`, each preceded by a TAB, ready to
// append to a recipient argument; "" when nothing is set.
std::string ProgramHeaderItems(const ProgramHeaders& headers);

// True for the header names that only ProgramHeaders may set (any case).
bool IsProgramHeaderName(const std::string& name);

struct RecipientItems {
  bool visible_group = false;  // the first item was "@name"
  std::string group_name;      // its name ("undisclosed-recipients" when blank)
  std::vector<std::string> visible;   // addresses shown in To
  std::vector<std::string> envelope;  // everyone to deliver to, no duplicates
  std::vector<std::string> invalid;   // items that are no address
  std::vector<std::pair<std::string, std::string>> headers;  // from ">Name: value"
  std::string message_id_text;  // from ">Message-ID: "
  std::string save_folder;      // from ">#save "
  ProgramHeaders program;       // from ";Name: value"
};

RecipientItems ParseRecipientItems(const std::string& recipients);

// A bare address from a recipient item ("a@b", "<a@b>", "Name <a@b>"), or
// "" when the item holds none that could be put into an SMTP command.
// Addresses are printable ASCII: servers without SMTPUTF8 refuse others, and
// the message itself stays 7-bit.
std::string BareAddress(const std::string& item);

}  // namespace kelmora
