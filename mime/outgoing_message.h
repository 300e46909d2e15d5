// SPDX-License-Identifier: GPL-3.0-or-later
// OutgoingMessage: one message the program sends, as the send methods build
// it and the composer writes it, on every road (SMTP and the local store).
//
//   - `to` is shown in the To header and delivered to, as any mail program
//     does with a To address: one-by-one forwarding and replies name their
//     only recipient there, and a list posting reaches the list's own
//     mailbox too (a posting that comes back with the list as sender is
//     skipped by the processing rules). A first entry without an address
//     shows its name as the empty group "name:;" ("undisclosed-recipients"
//     when the name is blank too) and reaches nobody; so does a message
//     without visible recipients. When the first addressed entry has a
//     display name, the To header shows that one recipient with the name.
//   - `bcc` goes only into the envelope and never into a header.
//   - An address that appears twice is delivered once. An entry that is not
//     an address (no "@", blanks, control or non-ASCII characters inside)
//     is left out and reported like a recipient the server refused.
//   - `headers` is the only way to put header lines of the program's own
//     on a message: the list and reply headers. Nothing else can add,
//     remove or override a header.
#pragma once

#include <string>
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
  // Calls `f(name, value)` for every field that is set, in the order the
  // headers are written.
  template <typename F>
  void ForEach(F&& f) const;
  // Sets the field that header `name` (any case) fills; false when `name`
  // is none of the program's headers.
  bool Set(const std::string& name, const std::string& value);
};

struct MailRecipient {
  std::string address;  // bare address, or "Name <address>"
  std::string name;     // display name, may be ""
};

struct OutgoingMessage {
  std::string from;                   // "address" or "Name <address>": From and envelope sender
  std::vector<MailRecipient> to;      // shown and delivered to
  std::vector<std::string> bcc;       // delivered to, never shown
  std::string message_id_text;        // goes into the local part of the unique Message-ID
  ProgramHeaders headers;             // the program's own headers
  std::string subject;
  std::string body;
  std::vector<std::string> attachments;  // full paths
  std::string save_folder;            // "" or where a copy of the message as sent is kept
};

// A bare address from a recipient entry ("a@b", "<a@b>", "Name <a@b>"), or
// "" when the entry holds none that could be put into an SMTP command.
// Addresses are printable ASCII: servers without SMTPUTF8 refuse others, and
// the message itself stays 7-bit.
std::string BareAddress(const std::string& item);

// ---------------------------------------------------------------------------

struct ProgramHeaderField {
  const char* name;
  std::string ProgramHeaders::*field;
};
inline constexpr ProgramHeaderField kProgramHeaderFields[] = {
    {"List-Id", &ProgramHeaders::list_id},
    {"List-Post", &ProgramHeaders::list_post},
    {"List-Unsubscribe", &ProgramHeaders::list_unsubscribe},
    {"X-Loop", &ProgramHeaders::x_loop},
    {"Precedence", &ProgramHeaders::precedence},
    {"Auto-Submitted", &ProgramHeaders::auto_submitted},
    {"In-Reply-To", &ProgramHeaders::in_reply_to},
    {"References", &ProgramHeaders::references},
};

template <typename F>
void ProgramHeaders::ForEach(F&& f) const {
  for (const ProgramHeaderField& h : kProgramHeaderFields) {
    if (!(this->*h.field).empty()) f(std::string(h.name), this->*h.field);
  }
}

}  // namespace kelmora
