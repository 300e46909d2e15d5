// SPDX-License-Identifier: GPL-3.0-or-later
#include "send/send_email.h"

#include <cstdio>
#include <exception>
#include <limits>

#include "log/error_entry.h"
#include "send/list_headers.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

const char* const kFailureLabel = "ＢＣＣでの転送で何らかの異常が発生：";

}  // namespace

std::string BuildBody(const MasterRule& rule, const std::string& original_sender, const std::string& Msg) {
  std::string body = Msg;
  if (!rule.TextBefore.empty()) {
    std::string top = rule.TextBefore;
    size_t at = top.find("＠＠");
    if (at != std::string::npos) top.replace(at, std::string("＠＠").size(), original_sender);
    body = top + "\r\n" + body;
  }
  if (!rule.TextAfter.empty()) body += "\r\n" + rule.TextAfter;
  return body;
}

std::string WithoutTrailing(const std::string& text, char c) {
  if (!text.empty() && text.back() == c) return text.substr(0, text.size() - 1);
  return text;
}

std::string StripMLTag(const std::string& subject, const std::string& keyword) {
  const std::string k = WithoutTrailing(keyword, ']');
  size_t a = subject.find(k);
  if (a == std::string::npos) return subject;
  // The "]" searched for comes after the first character of the prefix.
  size_t b = subject.find(']', a + 1);
  if (b == std::string::npos) return subject;
  return subject.substr(0, a) + subject.substr(b + 1);
}

std::string MLTag(const std::string& keyword, int number, int members) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04d", number);
  return WithoutTrailing(keyword, ']') + ":" + digits + "(" + std::to_string(members) + ")] ";
}

bool IsListPost(ListTagMode tag) { return tag == kSubjectHasListTag || tag == kTitleIsListTag; }

int AdvanceSequenceNumber(Settings& settings, int master_index) {
  std::int32_t& seq = settings.MlSequenceNumbers.at(static_cast<size_t>(master_index));
  // A wrapped number would tag posts with negative numbers and store one.
  if (seq == std::numeric_limits<std::int32_t>::max()) throw NumberedError("オーバーフローしました。", 6);
  return ++seq;
}

void GiveBackSequenceNumber(const SendContext& ctx, int master_index, int number, bool stored,
                            const char* failure_label) {
  std::int32_t& seq = ctx.settings.MlSequenceNumbers.at(static_cast<size_t>(master_index));
  if (seq != number) return;
  seq = number - 1;
  if (!stored) return;
  Status s = ctx.SaveSettings();
  if (!s.ok()) ctx.logger.WriteLog(ErrorEntry(failure_label, "Kelmora.iniに通し番号を保存できません：" + s.message(), 75));
}

bool StoreTakenSequenceNumber(const SendContext& ctx, int master_index, const char* failure_label) {
  Status s = ctx.SaveSettings();
  if (s.ok()) return true;
  ctx.logger.WriteLog(ErrorEntry(failure_label, s.message(), 75));
  const int taken = ctx.settings.MlSequenceNumbers.at(static_cast<size_t>(master_index));
  GiveBackSequenceNumber(ctx, master_index, taken, false, failure_label);
  return false;
}

std::string SubjectFor(const SendContext& ctx, const OutgoingMail& m, int members) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));
  if (IsListPost(m.ListTag)) {
    return MLTag(rule.Keyword, AdvanceSequenceNumber(ctx.settings, m.MasterIndex), members) + m.ReceivedSubject;
  }
  return !rule.ForwardSubject.empty() ? rule.ForwardSubject : "Fw:" + m.ReceivedSubject;
}

std::vector<std::string> ListMembers(const SendContext& ctx, int master_index) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(master_index));
  return ctx.members.Members(ctx.members.FindList(rule.Destination));
}

bool SendEMail(const SendContext& ctx, const OutgoingMail& m, ReceptionMode mode) {
  try {
    const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));

    const std::string body = BuildBody(rule, m.OriginalSender, m.Msg);

    std::string recipients;
    if (m.ListTag == kGeneratedReply) {
      recipients = m.ToAddr;
    } else if (!rule.ToName.empty()) {
      recipients = "@" + rule.ToName + "\tbcc";
    } else {
      recipients = rule.ToAddress + "\tbcc";
    }
    const std::vector<std::string> members = ListMembers(ctx, m.MasterIndex);
    for (const std::string& address : members) recipients += "\t" + address;

    const std::string subject = SubjectFor(ctx, m, static_cast<int>(members.size()));
    if (IsListPost(m.ListTag)) {
      // Stored before the post goes out, and kept even when the send fails:
      // a number once used in a subject must never be handed out again, not
      // even after the program was killed right after the send.
      if (!StoreTakenSequenceNumber(ctx, m.MasterIndex, kFailureLabel)) return false;
    }

    recipients += "\t>Message-ID: Kelmora";
    if (ctx.settings.LogSentMail) recipients += "\t>#save " + ctx.logger.LogFolder();
    // The program's own headers, out of reach of ">" items.
    recipients += ProgramHeaderItems(MailHeaders(ctx.master, m));

    MailComponent* mail = ctx.mail;
    std::string result = mail ? mail->SendMail(rule.SendServer, recipients, rule.SendFrom, subject, body, m.AttachmentPaths)
                              : "no mail component";
    if (!result.empty() && mode == ReceptionMode::kPop3 && mail) {
      ctx.FixedWait(5000);
      result = mail->SendMail(rule.SendServer, recipients, rule.SendFrom, subject, body, m.AttachmentPaths);
    }
    ctx.pacer.PumpEvents();
    ctx.FixedWait(1000);

    if (result.empty()) return true;
    ctx.logger.WriteLog("ＢＣＣでの転送エラー：" + result + "。Master.txtの" + std::to_string(m.MasterIndex + 1) +
                        "行目の処理");
    return false;
  } catch (const std::exception& e) {
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, e));
    return false;
  }
}

}  // namespace kelmora
