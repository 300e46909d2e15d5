// SPDX-License-Identifier: GPL-3.0-or-later
#include "receive/store_outbox.h"

#include <algorithm>
#include <regex>

#include "receive/mail_reader.h"
#include "receive/maildir.h"
#include "receive/received_mail.h"
#include "receive/recipient_items.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// The headers only the program sets (list and reply headers) of a composed
// message, as ";Name: value" items, so that the message rebuilt for the
// SMTP route carries them as the one in .Outbox does.
std::string ProgramHeaderItemsOf(const std::string& message) {
  const size_t end = message.find("\r\n\r\n");
  const std::string head = message.substr(0, end == std::string::npos ? message.size() : end);
  std::string items;
  std::string name, value;
  auto flush = [&] {
    if (!name.empty() && IsProgramHeaderName(name)) items += "\t;" + name + ": " + Trim(value);
    name.clear();
    value.clear();
  };
  for (const std::string& line : Split(head, "\r\n")) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      value += " " + Trim(line);  // a folded line continues the field
      continue;
    }
    flush();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
  }
  flush();
  return items;
}

constexpr const char* kFrom = "X-Kelmora-Envelope-From: ";
constexpr const char* kTo = "X-Kelmora-Envelope-To: ";
constexpr const char* kBcc = "X-Kelmora-Envelope-Bcc: ";

std::string HeaderLine(const char* name, const std::vector<std::string>& addresses) {
  std::string line = name;
  for (size_t i = 0; i < addresses.size(); ++i) line += (i ? ",\r\n " : "") + addresses[i];
  return line + "\r\n";
}

std::vector<std::string> SplitAddresses(const std::string& value) {
  std::vector<std::string> out;
  for (const std::string& part : Split(value, ",")) {
    std::string a = Trim(part);
    if (!a.empty()) out.push_back(a);
  }
  return out;
}

// sendmail's exit codes (sysexits) that no later attempt can change.
bool PermanentExit(int code) { return code == 64 || code == 65 || code == 67 || code == 68 || code == 77; }

// The seconds at the front of a Maildir name: when the message was queued.
std::int64_t QueuedMicros(const std::string& name) {
  std::int64_t seconds = 0;
  size_t i = 0;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && i < 18; ++i) seconds = seconds * 10 + (name[i] - '0');
  return i == 0 ? -1 : seconds * 1000000;
}

}  // namespace

StoreOutbox::StoreOutbox(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner,
                         MailComponent* smtp, std::string profile_folder, std::string work_folder)
    : fs_(fs),
      clock_(clock),
      log_(log),
      runner_(runner),
      smtp_(smtp),
      profile_(std::move(profile_folder)),
      work_(std::move(work_folder)) {}

std::string StoreOutbox::Folder(const char* name) const { return JoinPath(profile_, name); }

Status StoreOutbox::Enqueue(const std::string& from, const std::vector<std::string>& visible,
                            const std::vector<std::string>& blind, const std::string& message,
                            std::string* path) {
  const std::string bytes =
      std::string(kFrom) + from + "\r\n" + HeaderLine(kTo, visible) + HeaderLine(kBcc, blind) + message;
  return MaildirDeliver(fs_, clock_, Folder(".Outbox"), bytes, "", path);
}

bool StoreOutbox::ParseEnvelope(const std::string& bytes, Envelope* env) {
  *env = Envelope();
  size_t pos = 0;
  std::string* target_text = nullptr;
  std::string from, to, bcc;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) return false;
    const std::string line = bytes.substr(pos, end - pos);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && target_text != nullptr) {
      *target_text += line;
    } else if (StartsWith(line, kFrom)) {
      target_text = &from;
      from = line.substr(std::string(kFrom).size());
    } else if (StartsWith(line, kTo)) {
      target_text = &to;
      to = line.substr(std::string(kTo).size());
    } else if (StartsWith(line, kBcc)) {
      target_text = &bcc;
      bcc = line.substr(std::string(kBcc).size());
    } else {
      break;
    }
    pos = end + 2;
  }
  env->from = Trim(from);
  env->visible = SplitAddresses(to);
  env->blind = SplitAddresses(bcc);
  env->header_end = pos;
  return !env->from.empty() && (!env->visible.empty() || !env->blind.empty());
}

StoreOutbox::Outcome StoreOutbox::BySendmail(const Envelope& env, const std::string& bytes, std::string* why) {
  std::vector<std::string> argv = route_.sendmail;
  argv.insert(argv.end(), {"-i", "-f", env.from, "--"});
  argv.insert(argv.end(), env.visible.begin(), env.visible.end());
  argv.insert(argv.end(), env.blind.begin(), env.blind.end());
  CommandResult r;
  Status s = runner_.Run(argv, "", bytes.substr(env.header_end), kSendmailLimitMs, &r);
  if (!s.ok()) {
    *why = s.message();
    return Outcome::kTemporary;
  }
  if (r.timed_out) {
    *why = route_.sendmail_line + ": 時間切れ";
    return Outcome::kTemporary;
  }
  if (r.exit_code == 0) return Outcome::kSent;
  *why = route_.sendmail_line + ": exit " + std::to_string(r.exit_code) + " " + Trim(r.output);
  return PermanentExit(r.exit_code) ? Outcome::kPermanent : Outcome::kTemporary;
}

StoreOutbox::Outcome StoreOutbox::BySmtp(const std::string& path, const Envelope& env, std::string* why) {
  if (smtp_ == nullptr) {
    *why = "no mail component";
    return Outcome::kTemporary;
  }
  // The component composes the message itself: give it the queued one's
  // parts, with its attachments taken out into the work folder.
  const std::string folder = JoinPath(work_, "outbox");
  if (!fs_.IsDir(folder)) fs_.CreateDir(folder);
  std::string bytes;
  Status s = fs_.ReadFile(path, &bytes);
  const std::string copy = "queued.eml";
  if (s.ok()) {
    fs_.RemoveFile(JoinPath(folder, copy));
    s = fs_.CreateNewFile(JoinPath(folder, copy), bytes.substr(env.header_end), false);
  }
  if (!s.ok()) {
    *why = s.message();
    return Outcome::kTemporary;
  }
  MailReply reply = ReadMailFile(fs_, copy, "", folder);
  fs_.RemoveFile(JoinPath(folder, copy));
  if (!reply.is_list) {
    *why = reply.text;
    return Outcome::kPermanent;
  }
  std::string from = env.from, subject, body;
  std::vector<std::string> files;
  for (const std::string& item : reply.items) {
    if (StartsWith(item, "From: ")) from = item.substr(6);
    if (StartsWith(item, "Subject: ")) subject = item.substr(9);
    if (StartsWith(item, "Body: ")) body = item.substr(6);
    if (StartsWith(item, "File: ")) files.push_back(item.substr(6));
  }
  std::string recipients;
  for (const std::string& a : env.visible) recipients += (recipients.empty() ? "" : "\t") + a;
  if (recipients.empty()) recipients = "@undisclosed-recipients";
  recipients += "\tbcc";
  for (const std::string& a : env.blind) recipients += "\t" + a;
  recipients += "\t>Message-ID: Kelmora";
  recipients += ProgramHeaderItemsOf(bytes.substr(env.header_end));
  std::string attachments;
  for (const std::string& f : files) attachments += (attachments.empty() ? "" : "\t") + f;
  const std::string result = smtp_->SendMail(route_.smtp, recipients, from, subject, body, attachments);
  for (const std::string& f : files) fs_.RemoveFile(f);
  if (result.empty()) return Outcome::kSent;
  *why = result;
  // Every recipient refused for good (a 5xx answer to RCPT), or a message
  // with no usable recipient: no later attempt can do better.
  static const std::regex kRefused("RCPT[^\\n]*: 5[0-9][0-9]");
  if (std::regex_search(result, kRefused) || Contains(result, "no recipient address")) return Outcome::kPermanent;
  return Outcome::kTemporary;
}

void StoreOutbox::Deliver(const std::string& path) {
  const std::string name = BaseName(path);
  const bool reported = BaseName(DirName(path)) == "cur";
  std::string bytes;
  Envelope env;
  Outcome outcome;
  std::string why;
  if (!fs_.ReadFile(path, &bytes).ok()) return;  // gone meanwhile, or unreadable now: next time
  if (!ParseEnvelope(bytes, &env)) {
    outcome = Outcome::kPermanent;
    why = "送信者か宛先がありません";
  } else if (!route_.smtp.empty()) {
    outcome = BySmtp(path, env, &why);
  } else if (!route_.sendmail.empty()) {
    outcome = BySendmail(env, bytes, &why);
  } else {
    outcome = Outcome::kNoRoute;
  }

  std::string moved;
  switch (outcome) {
    case Outcome::kSent:
      if (Status s = MaildirMove(fs_, path, Folder(".Sent"), "S", &moved); !s.ok()) {
        log_.WriteLog("メールストアの送信済みメールを.Sentに移せません<" + name + ">:" + s.message());
      }
      return;
    case Outcome::kNoRoute:
      if (!reported) {
        log_.WriteLog("メールストアに送信経路がありません（profile.iniにsmtpもsendmailもなく、/usr/sbin/sendmailもありません）。<" +
                      name + ">は.Outboxで待ちます。");
        MaildirMove(fs_, path, Folder(".Outbox"), "", &moved);
      }
      return;
    case Outcome::kPermanent:
      if (!reported) log_.WriteLog("メールストアからの送信が拒否されました<" + name + ">:" + why + "。.Failedに移します。");
      MaildirMove(fs_, path, Folder(".Failed"), "", &moved);
      return;
    case Outcome::kTemporary: {
      const std::int64_t queued = QueuedMicros(name);
      const bool expired = queued >= 0 && clock_.EpochMicros() - queued >= kRetryMicros;
      if (!reported) {
        log_.WriteLog("メールストアからの送信に失敗しました<" + name + ">:" + why +
                      (expired ? "。.Failedに移します。" : "。5日間、次回以降のログオン時に再送します。"));
      }
      if (expired) {
        MaildirMove(fs_, path, Folder(".Failed"), "", &moved);
      } else if (!reported) {
        MaildirMove(fs_, path, Folder(".Outbox"), "", &moved);
      }
      return;
    }
  }
}

void StoreOutbox::DeliverAll() {
  std::vector<MaildirMessage> queued;
  if (!MaildirList(fs_, Folder(".Outbox"), &queued).ok()) return;
  std::sort(queued.begin(), queued.end(), [](const MaildirMessage& a, const MaildirMessage& b) {
    return a.mtime_micros != b.mtime_micros ? a.mtime_micros < b.mtime_micros : a.name < b.name;
  });
  for (const MaildirMessage& m : queued) Deliver(m.path);
}

}  // namespace kelmora
