// SPDX-License-Identifier: GPL-3.0-or-later
#include "send/send_email_oe.h"

#include <exception>

#include "log/error_entry.h"
#include "send/send_email.h"
#include "send/list_headers.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

const char* const kFailureLabel = "OutlookExpressでの転送で何らかの異常が発生：";

}  // namespace

bool SendEMailOE(const SendContext& ctx, const OutgoingMail& m, int attachment_count, const std::vector<std::string>& attachment_files) {
  int taken = 0;  // the list sequence number this post took, or 0
  bool stored = false;
  try {
    MailStore* store = ctx.store;
    if (store == nullptr || store->SessionID() <= 0) throw NumberedError("メールストアのセッションがありません。", 91);
    const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));

    // A forwarded post carries what was received with it; a reply the
    // program generates carries only its own attachments, never the
    // requester's.
    const bool reply = m.ListTag == kGeneratedReply;
    if (attachment_count > 0 && !reply) {
      Status s = store->Forward(attachment_files);
      if (!s.ok()) throw NumberedError(s.message(), 32002);
    } else {
      store->Compose();
    }
    store->SetRecipient(0, m.ToName, m.ToAddr, MailStore::kTo);
    const std::string body = BuildBody(rule, m.OriginalSender, m.Msg);
    const std::vector<std::string> members = ListMembers(ctx, m.MasterIndex);
    for (size_t i = 0; i < members.size(); ++i) {
      store->SetRecipient(static_cast<int>(i) + 1, members[i], members[i], MailStore::kBcc);
    }
    std::string subject;
    if (IsListPost(m.ListTag)) {
      // This road's tag ends in ")]" with the subject right behind it.
      taken = AdvanceSequenceNumber(ctx.settings, m.MasterIndex);
      std::string tag = MLTag(rule.Keyword, taken, static_cast<int>(members.size()));
      if (!tag.empty() && tag.back() == ' ') tag.pop_back();
      subject = tag + m.ReceivedSubject;
    } else {
      subject = !rule.ForwardSubject.empty() ? rule.ForwardSubject : "Fw:" + m.ReceivedSubject;
    }
    store->SetSubject(subject);
    store->SetNoteText(body);
    store->SetProgramHeaders(MailHeaders(ctx.master, m));
    // Files the dispatcher prepared that the draft does not carry yet (a
    // retrieved file, attachments prepared by the row).
    for (const std::string& path : Split(m.AttachmentPaths, "\t")) {
      if (!path.empty() && !store->DraftHasAttachment(path)) store->AddAttachment(path);
    }
    // Without an address of its own the profile sends as the list.
    store->SetDefaultSender(rule.ToAddress);
    // A number that is not stored could be handed out again after a
    // restart: then the post does not go out at all. It is stored once the
    // mail is composed, before the mail is queued.
    bool save_failed = false;
    Status s = store->Send([&] {
      if (taken == 0) return Status::OK();
      Status saved = ctx.SaveSettings();
      stored = saved.ok();
      save_failed = !stored;
      return saved;
    });
    if (save_failed) {
      store->NoteTemporaryFailure();
      throw NumberedError("Kelmora.iniに通し番号を保存できません：" + s.message(), 75);
    }
    if (!s.ok()) throw NumberedError(s.message(), 32002);
    taken = 0;
    ctx.pacer.PumpEvents();
    ctx.FixedWait(3000);
    return true;
  } catch (const std::exception& e) {
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, e));
    if (taken > 0) GiveBackSequenceNumber(ctx, m.MasterIndex, taken, stored, kFailureLabel);
    return false;
  }
}

}  // namespace kelmora
