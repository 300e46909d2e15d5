// SPDX-License-Identifier: GPL-3.0-or-later
// SendEMailTo: one-by-one To forwarding. Sends a separate message to each
// member of the row's destination list, with that member as the only
// visible recipient, pausing between sends, keeping a send log file in
// log/, and stopping between members when asked to.
#pragma once

#include "send/outgoing_mail.h"
#include "textio/status.h"
#include "send/send_context.h"

namespace kelmora {

// OK when no send of the call failed (also when there was nothing to send);
// else the first failure. Each failure is logged once, where it happens
// (a member's in the call's send log).
[[nodiscard]] Status SendEMailTo(const SendContext& ctx, const OutgoingMail& mail);

}  // namespace kelmora
