// SPDX-License-Identifier: GPL-3.0-or-later
#include "send/send_email_to.h"

#include <exception>
#include <string>
#include <vector>

#include "log/error_entry.h"
#include "send/list_headers.h"
#include "send/send_email.h"
#include "textio/clock.h"
#include "textio/codepage.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

const char* const kFailureLabel = "ＴＯ転送で何らかの異常が発生：";

// The send log of one call: the list's Source without its folder part,
// followed by the 14 digits of the date and time and ".txt". A "\" of a
// table written on Windows separates folders as "/" does.
std::string SendLogName(const std::string& source, const LocalTime& now) {
  const size_t slash = source.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? source : source.substr(slash + 1);
  return base + FormatStamp14(now) + ".txt";
}

// Puts the summary line in front of the send log. The log lines stay as
// they are when the file cannot be read: a summary is not worth losing them.
void PrependSummary(FileSystem& fs, const std::string& path, int members) {
  std::string bytes;
  if (!fs.ReadFile(path, &bytes).ok()) return;
  const std::string old_content = DecodeFileBytes(bytes);
  // The old content ends with its last line's CR LF; WriteTextFile adds one
  // more at the very end.
  // Without the summary the send log is still whole: nothing to do.
  (void)WriteTextFile(fs, path, std::to_string(members) + "件のメールは全てＴＯ転送しました。\r\n" + old_content);
}

Status SendToEachMember(const SendContext& ctx, const OutgoingMail& m) {
  const MasterRule& rule = ctx.master.at(static_cast<size_t>(m.MasterIndex));

  // The members are copied: a stop request or a window event handled
  // between two sends must not change the list being walked.
  const int list_index = ctx.members.FindList(rule.Destination);
  const bool found = list_index >= 0;
  const std::vector<std::string> members = ctx.members.Members(list_index);
  const std::string log_name =
      found ? SendLogName(ctx.members.lists[static_cast<size_t>(list_index)].Source, ctx.clock.Now()) : "";
  if (!found) return Status::OK();  // no list: nothing to send

  const int k = static_cast<int>(members.size());
  // One message per member: that member the only recipient, shown in To.
  OutgoingMessage message;
  if (Status built = RowMessage(ctx, m, TagSpacing::kBlank, &message); !built.ok()) {
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, built));
    return built;
  }
  message.bcc.clear();
  message.headers = PostHeaders(ctx.master, m);
  if (IsListPost(m.ListTag)) {
    // Stored before the first member gets the post: a killed program must
    // not hand the same number out again.
    if (Status stored = StoreTakenSequenceNumber(ctx, m.MasterIndex, kFailureLabel); !stored.ok()) return stored;
  }

  MailComponent* mail = ctx.mail;
  Status first_failure;
  const std::string log_path = JoinPath(ctx.logger.LogFolder(), log_name);
  int i = 0;
  for (const std::string& address : members) {
    message.to = {MailRecipient{address, ""}};
    const Status sent = mail ? mail->Send(rule.SendServer, message) : Status::Error("no mail component");
    const std::string result = sent.ok() ? "" : sent.message();
    ++i;
    ctx.logger.AppendLogFile(log_name,
                             std::to_string(i) + "/" + std::to_string(k) + "," + address + "(" + result + ")");
    if (!ctx.settings.HideBusyWindow) {
      ctx.pacer.SetBusyText("\u3000Kelmora： メール送信中(" + std::to_string(i) + "/" + std::to_string(k) + ")");
    }
    if (!sent.ok()) {
      if (first_failure.ok()) first_failure = sent;
      ctx.pacer.Flash();
    }
    if (i == k && first_failure.ok()) PrependSummary(ctx.fs, log_path, k);
    ctx.pacer.PumpEvents();
    // The pause between sends is the user's own choice on the command line,
    // so it is kept even when the fixed waits are switched off.
    if (ctx.to_forward_delay_ms > 0) ctx.pacer.Wait(ctx.to_forward_delay_ms);
    if (ctx.pacer.StopRequested()) break;
  }
  return first_failure;
}

}  // namespace

Status SendEMailTo(const SendContext& ctx, const OutgoingMail& mail) {
  Status result;
  try {
    result = SendToEachMember(ctx, mail);
  } catch (const std::exception& e) {
    result = ExceptionStatus(e);
    ctx.logger.WriteLog(ErrorEntry(kFailureLabel, result));
  }
  // The settings are saved whatever happened, so that a sequence number
  // once used in a subject is never handed out again.
  Status s = ctx.SaveSettings();
  if (!s.ok()) ctx.logger.WriteLog(ErrorEntry(kFailureLabel, s.message(), 75));
  ctx.pacer.PumpEvents();
  return result;
}

}  // namespace kelmora
