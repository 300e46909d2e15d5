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
//   - An address that appears twice is delivered once. An item that is not
//     an address (no "@", blanks, control or non-ASCII characters inside)
//     is refused here and reported like a recipient the server refused.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelmora {

struct RecipientItems {
  bool visible_group = false;  // the first item was "@name"
  std::string group_name;      // its name ("undisclosed-recipients" when blank)
  std::vector<std::string> visible;   // addresses shown in To
  std::vector<std::string> envelope;  // everyone to deliver to, no duplicates
  std::vector<std::string> invalid;   // items that are no address
  std::vector<std::pair<std::string, std::string>> headers;  // from ">Name: value"
  std::string message_id_text;  // from ">Message-ID: "
  std::string save_folder;      // from ">#save "
};

RecipientItems ParseRecipientItems(const std::string& recipients);

// A bare address from a recipient item ("a@b", "<a@b>", "Name <a@b>"), or
// "" when the item holds none that could be put into an SMTP command.
// Addresses are printable ASCII: servers without SMTPUTF8 refuse others, and
// the message itself stays 7-bit.
std::string BareAddress(const std::string& item);

}  // namespace kelmora
