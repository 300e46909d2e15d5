#include "send/send_email.h"

#include <cstdio>
#include <exception>
#include <limits>

#include "app/core/program.h"
#include "log/error_entry.h"
#include "textio/strings.h"

namespace kelmora {

std::string BuildBody(const MasterRule& rule, const std::string& strOrgAN, const std::string& Msg) {
  std::string body = Msg;
  if (!rule.AddTop.empty()) {
    std::string top = rule.AddTop;
    size_t at = top.find("＠＠");
    if (at != std::string::npos) top.replace(at, std::string("＠＠").size(), strOrgAN);
    body = top + "\r\n" + body;
  }
  if (!rule.AddBottom.empty()) body += "\r\n" + rule.AddBottom;
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

int AdvanceSequenceNumber(Program& program, int master_index) {
  std::int32_t& seq = program.settings().MlSequenceNumbers.at(static_cast<size_t>(master_index));
  // A wrapped number would tag posts with negative numbers and store one.
  if (seq == std::numeric_limits<std::int32_t>::max()) throw NumberedError("オーバーフローしました。", 6);
  return ++seq;
}

int AppendListMembers(Program& program, int master_index, std::string* recipients) {
  const MasterRule& rule = program.master()[static_cast<size_t>(master_index)];
  const MemberTable& table = program.members();
  int index = table.FindList(rule.AddrFile);
  if (index < 0) return 0;
  int count = 0;
  const std::vector<std::string>& slots = table.lists[static_cast<size_t>(index)].Addresses;
  for (int i = 0; i < table.slot_count && i < static_cast<int>(slots.size()); ++i) {
    if (slots[static_cast<size_t>(i)].empty()) continue;
    *recipients += "\t" + slots[static_cast<size_t>(i)];
    ++count;
  }
  return count;
}

bool SendEMail(Program& program, const OutgoingMail& m) {
  try {
    const MasterRule& rule = program.master().at(static_cast<size_t>(m.MasterIndex));

    const std::string body = BuildBody(rule, m.strOrgAN, m.Msg);

    std::string recipients;
    if (m.ML_IDflag == kGeneratedReply) {
      recipients = m.ToAddr;
    } else if (!rule.ToName.empty()) {
      recipients = "@" + rule.ToName + "\tbcc";
    } else {
      recipients = rule.ToAddr + "\tbcc";
    }
    const int members = AppendListMembers(program, m.MasterIndex, &recipients);

    std::string subject;
    const bool list_post = m.ML_IDflag == kSubjectHasListTag || m.ML_IDflag == kTitleIsListTag;
    if (list_post) {
      subject = MLTag(rule.Keyword, AdvanceSequenceNumber(program, m.MasterIndex), members) + m.mailsb;
    } else {
      subject = !rule.Tittle.empty() ? rule.Tittle : "Fw:" + m.mailsb;
    }

    recipients += "\t>Message-ID: Kelmora";
    if (program.settings().LogSentMail) recipients += "\t>#save " + program.logger().LogFolder();

    MailComponent* mail = program.mail();
    std::string result = mail ? mail->SendMail(rule.ServerName, recipients, rule.OrigAddr, subject, body, m.strAttatch)
                              : "no mail component";
    if (!result.empty() && program.reception_mode() == ReceptionMode::kPop3 && mail) {
      program.front().Wait(program.no_wait() ? 0 : 5000);
      result = mail->SendMail(rule.ServerName, recipients, rule.OrigAddr, subject, body, m.strAttatch);
    }
    if (list_post) {
      // The number is kept even when the send failed: a number once used
      // in a subject must never be handed out again.
      Status s = program.SaveSettings();
      if (!s.ok()) program.logger().WriteLog(ErrorEntry("ＢＣＣでの転送で何らかの異常が発生：", s.message(), 75));
    }
    program.front().PumpEvents();
    program.front().Wait(program.no_wait() ? 0 : 1000);

    if (result.empty()) return true;
    program.logger().WriteLog("ＢＣＣでの転送エラー：" + result + "。Master.txtの" +
                              std::to_string(m.MasterIndex + 1) + "行目の処理");
    return false;
  } catch (const std::exception& e) {
    program.logger().WriteLog(ErrorEntry("ＢＣＣでの転送で何らかの異常が発生：", e));
    return false;
  }
}

}  // namespace kelmora
