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

bool SendEMailOE(const SendContext& ctx, const OutgoingMail& m, int AttCnt, const std::vector<std::string>&) {
  try {
    MailStore* store = ctx.store;
    if (store == nullptr || store->SessionID() <= 0) throw NumberedError("メールストアのセッションがありません。", 91);
    const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));

    if (AttCnt == 0) {
      store->Compose();
    } else {
      Status s = store->Forward();
      if (!s.ok()) throw NumberedError(s.message(), 32002);
    }
    store->SetRecipient(0, m.ToName, m.ToAddr, MailStore::kTo);
    const std::string body = BuildBody(rule, m.strOrgAN, m.Msg);
    const std::vector<std::string> members = ListMembers(ctx, m.MasterIndex);
    for (size_t i = 0; i < members.size(); ++i) {
      store->SetRecipient(static_cast<int>(i) + 1, members[i], members[i], MailStore::kBcc);
    }
    std::string subject;
    if (IsListPost(m.ML_IDflag)) {
      // This road's tag ends in ")]" with the subject right behind it.
      std::string tag = MLTag(rule.Keyword, AdvanceSequenceNumber(ctx.settings, m.MasterIndex),
                              static_cast<int>(members.size()));
      if (!tag.empty() && tag.back() == ' ') tag.pop_back();
      subject = tag + m.mailsb;
      Status s = ctx.SaveSettings();
      if (!s.ok()) ctx.logger.WriteLog(ErrorEntry(kFailureLabel, s.message(), 75));
    } else {
      subject = !rule.Tittle.empty() ? rule.Tittle : "Fw:" + m.mailsb;
    }
    store->SetSubject(subject);
    store->SetNoteText(body);
    store->SetProgramHeaders(MailHeaders(ctx.master, m));
    if (AttCnt > 0 && !m.strAttatch.empty()) {
      // Files the dispatcher prepared that the forward does not carry yet.
      for (const std::string& path : Split(m.strAttatch, "\t")) {
        if (!path.empty() && !store->DraftHasAttachment(path)) store->AddAttachment(path);
      }
    }
    // Without an address of its own the profile sends as the list.
    store->SetDefaultSender(rule.ToAddr);
    Status s = store->Send();
    if (!s.ok()) throw NumberedError(s.message(), 32002);
    ctx.pacer.PumpEvents();
    ctx.FixedWait(3000);
    return true;
  } catch (const std::exception& e) {
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, e));
    return false;
  }
}

}  // namespace kelmora
