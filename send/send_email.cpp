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

Status AdvanceSequenceNumber(Settings& settings, int master_index, int* number) {
  std::int32_t& seq = settings.MlSequenceNumbers.at(static_cast<size_t>(master_index));
  // A wrapped number would tag posts with negative numbers and store one.
  if (seq == std::numeric_limits<std::int32_t>::max()) return Status::Numbered(6, "オーバーフローしました。");
  *number = ++seq;
  return Status::OK();
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

Status StoreTakenSequenceNumber(const SendContext& ctx, int master_index, const char* failure_label) {
  Status s = ctx.SaveSettings();
  if (s.ok()) return s;
  s = s.WithNumber(75);
  ctx.logger.WriteLog(ErrorEntry(failure_label, s));
  const int taken = ctx.settings.MlSequenceNumbers.at(static_cast<size_t>(master_index));
  GiveBackSequenceNumber(ctx, master_index, taken, false, failure_label);
  return s;
}

namespace {

Status SubjectFor(const SendContext& ctx, const OutgoingMail& m, int members, TagSpacing spacing,
                  std::string* subject) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));
  if (!IsListPost(m.ListTag)) {
    *subject = !rule.ForwardSubject.empty() ? rule.ForwardSubject : "Fw:" + m.ReceivedSubject;
    return Status::OK();
  }
  int number = 0;
  Status s = AdvanceSequenceNumber(ctx.settings, m.MasterIndex, &number);
  if (!s.ok()) return s;
  std::string tag = MLTag(rule.Keyword, number, members);
  if (spacing == TagSpacing::kNoBlank && !tag.empty() && tag.back() == ' ') tag.pop_back();
  *subject = tag + m.ReceivedSubject;
  return Status::OK();
}

}  // namespace

std::vector<std::string> ListMembers(const SendContext& ctx, int master_index) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(master_index));
  return ctx.members.Members(ctx.members.FindList(rule.Destination));
}

Status RowMessage(const SendContext& ctx, const OutgoingMail& m, TagSpacing spacing, OutgoingMessage* message) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));
  OutgoingMessage out;
  out.from = rule.SendFrom;
  const std::vector<std::string> members = ListMembers(ctx, m.MasterIndex);
  if (m.ListTag == kGeneratedReply) {
    out.to.push_back(MailRecipient{m.ToAddr, ""});
    for (const std::string& address : members) out.to.push_back(MailRecipient{address, ""});
  } else {
    out.to.push_back(rule.ToName.empty() ? MailRecipient{rule.ToAddress, ""} : MailRecipient{"", rule.ToName});
    out.bcc = members;
  }
  Status s = SubjectFor(ctx, m, static_cast<int>(members.size()), spacing, &out.subject);
  if (!s.ok()) return s;
  out.body = BuildBody(rule, m.OriginalSender, m.Msg);
  out.message_id_text = "Kelmora";
  out.headers = MailHeaders(ctx.master, m);
  for (const std::string& path : Split(m.AttachmentPaths, "\t")) {
    if (!path.empty()) out.attachments.push_back(path);
  }
  *message = std::move(out);
  return Status::OK();
}

Status SendEMail(const SendContext& ctx, const OutgoingMail& m, ReceptionMode mode) {
  try {
    const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));
    OutgoingMessage message;
    if (Status built = RowMessage(ctx, m, TagSpacing::kBlank, &message); !built.ok()) {
      ctx.logger.WriteLog(ErrorEntry(kFailureLabel, built));
      return built;
    }
    if (IsListPost(m.ListTag)) {
      // Stored before the post goes out, and kept even when the send fails:
      // a number once used in a subject must never be handed out again, not
      // even after the program was killed right after the send.
      if (Status stored = StoreTakenSequenceNumber(ctx, m.MasterIndex, kFailureLabel); !stored.ok()) return stored;
    }
    if (ctx.settings.LogSentMail) message.save_folder = ctx.logger.LogFolder();

    MailComponent* mail = ctx.mail;
    Status result = mail ? mail->Send(rule.SendServer, message) : Status::Error("no mail component");
    if (!result.ok() && mode == ReceptionMode::kPop3 && mail) {
      ctx.FixedWait(5000);
      result = mail->Send(rule.SendServer, message);
    }
    ctx.pacer.PumpEvents();
    ctx.FixedWait(1000);

    if (result.ok()) return result;
    ctx.logger.WriteLog("ＢＣＣでの転送エラー：" + result.message() + "。Master.txtの" + std::to_string(m.MasterIndex + 1) +
                        "行目の処理");
    return result;
  } catch (const std::exception& e) {
    Status failed = ExceptionStatus(e);
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, failed));
    return failed;
  }
}

}  // namespace kelmora
