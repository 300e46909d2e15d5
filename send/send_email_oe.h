// SPDX-License-Identifier: GPL-3.0-or-later
// SendEMailOE: sends a rule's mail through the local mail store, for rows
// without a sender address of their own. One message: the given recipient
// visible, every member of the row's destination list as a blind copy. A
// received message with attachments is forwarded (its attachments go
// along); otherwise, and for every reply the program generates, the
// message is composed new and carries only the files named in AttachmentPaths.
#pragma once

#include <string>
#include <vector>

#include "send/outgoing_mail.h"
#include "send/send_context.h"

namespace kelmora {

// OK when the store took the message (it lies durably in its outbox); a
// failure is logged here, once, and returned as that line shows it.
// `attachment_count` is the received message's attachment count; `attachment_files` the
// attachment list of the received message: forwarding takes the
// attachments from the selected store message itself, and from the full
// paths in `attachment_files` when the message came by another road. Files named in
// mail.AttachmentPaths that the message does not already carry (a retrieved
// file) are attached too. A list post whose sequence number cannot be
// stored does not go out; a post that does not get into the outbox gives
// its number back.
[[nodiscard]] Status SendEMailOE(const SendContext& ctx, const OutgoingMail& mail, int attachment_count, const std::vector<std::string>& attachment_files);

}  // namespace kelmora
