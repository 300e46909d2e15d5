// SPDX-License-Identifier: GPL-3.0-or-later
#include "send/send_email_oe.h"

#include <algorithm>
#include <exception>

#include "log/error_entry.h"
#include "send/send_email.h"
#include "send/list_headers.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

const char* const kFailureLabel = "OutlookExpressでの転送で何らかの異常が発生：";

// Hands the row's mail to the store. *taken is the list sequence number the
// post took (0: none), *stored whether that number reached Kelmora.ini.
Status SendThroughStore(const SendContext& ctx, const OutgoingMail& m, int attachment_count,
                        const std::vector<std::string>& AttFile, int* taken, bool* stored) {
  MailStore* store = ctx.store;
  if (store == nullptr || store->SessionID() <= 0) return Status::Numbered(91, "メールストアのセッションがありません。");
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));

  // Sender, subject (this road's tag ends in ")]" with the subject right
  // behind it), body, headers and prepared files as on the SMTP roads.
  OutgoingMessage message;
  Status s = RowMessage(ctx, m, TagSpacing::kNoBlank, &message);
  if (!s.ok()) return s;
  if (IsListPost(m.ListTag)) *taken = ctx.settings.MlSequenceNumbers.at(static_cast<size_t>(m.MasterIndex));
  // This road shows the addressee the dispatcher chose, with its name,
  // and gives every member a blind copy, replies included.
  message.to.clear();
  if (!m.ToAddr.empty()) message.to.push_back(MailRecipient{m.ToAddr, m.ToName});
  message.bcc = ListMembers(ctx, m.MasterIndex);
  // Without an address of its own the profile sends as the list.
  message.from = rule.ToAddress;
  // A forwarded post carries what was received with it; a reply the
  // program generates carries only its own attachments, never the
  // requester's. Files the dispatcher prepared that the forwarded ones
  // do not include yet (a retrieved file) come after them.
  const bool reply = m.ListTag == kGeneratedReply;
  std::vector<std::string> files;
  if (attachment_count > 0 && !reply) files = store->ForwardedAttachments(AttFile);
  for (const std::string& path : message.attachments) {
    if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
  }
  message.attachments = std::move(files);
  // A number that is not stored could be handed out again after a
  // restart: then the post does not go out at all. It is stored once the
  // mail is composed, before the mail is queued.
  bool save_failed = false;
  s = store->Send(message, [&] {
    if (*taken == 0) return Status::OK();
    Status saved = ctx.SaveSettings();
    *stored = saved.ok();
    save_failed = !*stored;
    return saved;
  });
  if (save_failed) {
    store->NoteTemporaryFailure();
    return Status::Numbered(75, "Kelmora.iniに通し番号を保存できません：" + s.message());
  }
  if (!s.ok()) return s.WithNumber(32002);
  return Status::OK();
}

}  // namespace

Status SendEMailOE(const SendContext& ctx, const OutgoingMail& m, int attachment_count, const std::vector<std::string>& AttFile) {
  int taken = 0;  // the list sequence number this post took, or 0
  bool stored = false;
  Status s;
  try {
    s = SendThroughStore(ctx, m, attachment_count, AttFile, &taken, &stored);
  } catch (const std::exception& e) {
    s = ExceptionStatus(e);
  }
  if (s.ok()) {
    ctx.pacer.PumpEvents();
    ctx.FixedWait(3000);
    return s;
  }
  ctx.logger.WriteLog(ErrorEntry(kFailureLabel, s));
  if (taken > 0) GiveBackSequenceNumber(ctx, m.MasterIndex, taken, stored, kFailureLabel);
  return s;
}

}  // namespace kelmora
