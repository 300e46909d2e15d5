// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/list_guard.h"

#include "process/mail_classifier.h"
#include "process/membership.h"
#include "send/list_headers.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

std::string RowText(int row) { return "（Master.txtの" + std::to_string(row + 1) + "行目）"; }

}  // namespace

bool IsReplyRow(RuleAction a) {
  return IsPreparedTextReply(a) || IsMembershipCommand(a) || IsSurveyReply(a) || IsFileRetrieval(a);
}

// The key stays the row's text as written: the reply record on disk is
// keyed by it.
std::string ReplyRowKey(const MasterRule& rule) { return rule.ToAddress + " " + rule.Keyword + " " + rule.ActionText; }

std::string HoldBackLine(const MasterTable& master, int row, const ReceivedMail& mail, const ReplyLimiter& limiter) {
  const MasterRule& rule = master.at(static_cast<size_t>(row));
  if (rule.Action == RuleAction::kUndeliveredDelete) return "";
  const std::string sender = "<" + mail.FromAddress + ">:";
  const MailClass kind = ClassifyMail(mail);
  if (IsReplyRow(rule.Action)) {
    if (kind.machine) return "自動送信メールには応答しません" + sender + kind.reason + RowText(row);
    if (IsPreparedTextReplyRow(rule.Action) && limiter.RepliedRecently(ReplyRowKey(rule), mail.FromAddress)) {
      return "同じ差出人には24時間に1回しか応答しません" + sender + "前回の応答から24時間たっていません" + RowText(row);
    }
    return "";
  }
  if (kind.automatic) return "自動送信メールは転送しません" + sender + kind.reason + RowText(row);
  const std::string loop = LoopReason(mail, rule.ToAddress, ListIdentifier(rule));
  if (!loop.empty()) return "このリストを通ったメールは再び転送しません" + sender + loop + RowText(row);
  return "";
}

std::string ReplyRecordFailureLine(const std::string& reason) { return "応答記録ファイルに書き込めません>" + reason; }

}  // namespace kelmora
