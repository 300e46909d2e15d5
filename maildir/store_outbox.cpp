// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/store_outbox.h"

#include <algorithm>

#include "maildir/maildir.h"
#include "maildir/store_journal.h"
#include "mime/mime_util.h"
#include "net/server_string.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kFrom = "X-Kelmora-Envelope-From: ";
constexpr const char* kTo = "X-Kelmora-Envelope-To: ";
constexpr const char* kBcc = "X-Kelmora-Envelope-Bcc: ";
constexpr const char* kSource = "X-Kelmora-Envelope-Source: ";
// How many recipients a log line names before it only counts the rest.
constexpr size_t kNamedRecipients = 10;

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

// A failure text as one log line: whatever a server or a command answered
// may hold line breaks, which would split the entry.
std::string LogText(const std::string& text) { return Trim(OneLine(text)); }

std::string RecipientsText(const std::vector<std::string>& all) {
  std::string out;
  for (size_t i = 0; i < all.size() && i < kNamedRecipients; ++i) out += (i ? ", " : "") + all[i];
  if (all.size() > kNamedRecipients) out += " ほか" + std::to_string(all.size() - kNamedRecipients) + "件";
  return out;
}

}  // namespace

std::vector<std::string> StoreOutbox::Envelope::All() const {
  std::vector<std::string> all = visible;
  all.insert(all.end(), blind.begin(), blind.end());
  return all;
}

StoreOutbox::StoreOutbox(FileSystem& fs, const Clock& clock, Logger& log, CommandRunner& runner,
                         MailComponent* smtp, std::string profile_folder)
    : fs_(fs), clock_(clock), log_(log), runner_(runner), smtp_(smtp), profile_(std::move(profile_folder)) {}

std::string StoreOutbox::Folder(const char* name) const { return JoinPath(profile_, name); }

std::string StoreOutbox::EnvelopeText(const std::string& from, const std::vector<std::string>& visible,
                                      const std::vector<std::string>& blind, const std::string& source) {
  std::string text = std::string(kFrom) + from + "\r\n" + HeaderLine(kTo, visible) + HeaderLine(kBcc, blind);
  if (!source.empty()) text += std::string(kSource) + StoreJournal::Escape(source) + "\r\n";
  return text;
}

Status StoreOutbox::Enqueue(const std::string& from, const std::vector<std::string>& visible,
                            const std::vector<std::string>& blind, const std::string& source,
                            const std::string& message,
                            const std::function<Status(const std::string&)>& before_commit, std::string* path) {
  return MaildirDeliver(fs_, clock_, Folder(".Outbox"), EnvelopeText(from, visible, blind, source) + message, "",
                        path, before_commit);
}

OutgoingState StoreOutbox::StateOf(const std::string& copy) const {
  const std::string outbox = Folder(".Outbox");
  for (const std::string& p : {JoinPath(outbox, "tmp/" + copy), JoinPath(outbox, "new/" + copy),
                               JoinPath(outbox, "cur/" + copy + ":2,"), JoinPath(outbox, "cur/" + copy + ":2,F")}) {
    if (fs_.Exists(p)) return OutgoingState::kWaiting;
  }
  if (fs_.Exists(JoinPath(Folder(".Sent"), "cur/" + copy + ":2,S"))) return OutgoingState::kSent;
  if (fs_.Exists(JoinPath(Folder(".Failed"), "cur/" + copy + ":2,"))) return OutgoingState::kFailed;
  return OutgoingState::kMissing;
}

bool StoreOutbox::ParseEnvelope(const std::string& bytes, Envelope* env) {
  *env = Envelope();
  size_t pos = 0;
  std::string* target_text = nullptr;
  std::string from, to, bcc, source;
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
    } else if (StartsWith(line, kSource)) {
      target_text = nullptr;
      source = StoreJournal::Unescape(Trim(line.substr(std::string(kSource).size())));
    } else {
      break;
    }
    pos = end + 2;
  }
  env->from = Trim(from);
  env->visible = SplitAddresses(to);
  env->blind = SplitAddresses(bcc);
  env->source = source;
  env->header_end = pos;
  return !env->from.empty() && (!env->visible.empty() || !env->blind.empty());
}

StoreOutbox::Attempt StoreOutbox::BySendmail(const std::string& path, const Envelope& env) {
  CommandRequest request;
  request.argv = route_.sendmail;
  request.argv.insert(request.argv.end(), {"-i", "-f", env.from, "--"});
  for (const std::string& a : env.All()) request.argv.push_back(a);
  // The command reads the queued file itself, from the first line after
  // the envelope: nothing this program does (or a kill -9 of it) can cut
  // the message short.
  request.input_path = path;
  request.input_offset = static_cast<std::int64_t>(env.header_end);
  request.limit_ms = kSendmailLimitMs;
  request.stop = stop_;
  CommandResult r;
  Status s = runner_.Run(request, &r);
  if (!s.ok()) return Attempt{Status::Error(BaseName(route_.sendmail.front()) + ": " + LogText(s.message()))};
  if (r.stopped) return Attempt{Status::OK(), false, true};
  if (r.timed_out) route_timed_out_ = true;
  if (!r.timed_out && r.exit_code == 0) return Attempt{};
  return Attempt{Status::Error(DescribeCommandOutcome(route_.sendmail, r)), !r.timed_out && PermanentExit(r.exit_code)};
}

StoreOutbox::Attempt StoreOutbox::BySmtp(const std::string& path, const std::string& bytes, const Envelope& env) {
  if (smtp_ == nullptr) return Attempt{Status::Error("no mail component")};
  const std::vector<std::string> all = env.All();
  const DeliveryReport report = smtp_->SendComposed(route_.smtp, env.from, all, bytes.substr(env.header_end));
  const std::string server = MaskPassword(route_.smtp);
  for (const auto& [address, reply] : report.refused) {
    if (!report.delivered.empty() || !report.deferred.empty())
      log_.WriteLog("メールストアの宛先エラー<" + address + ">:" + LogText(reply) + " (" + server + ")");
  }
  if (report.deferred.empty()) {
    if (!report.delivered.empty()) return Attempt{};
    return Attempt{Status::Refused(LogText(!report.first_failure.empty() ? report.first_failure
                                           : report.refused.empty()      ? "no recipient"
                                                                         : report.refused.front().second) +
                                   " (" + server + ")"),
                   true};
  }
  Status deferred = Status::Error(
      LogText(!report.first_failure.empty() ? report.first_failure : report.deferred.front().second) + " (" + server +
      ")");
  if (!report.delivered.empty() || !report.refused.empty()) {
    // Only those still owed stay on the copy, so that the retry reaches
    // nobody twice.
    std::vector<std::string> owed;
    for (const auto& [address, reply] : report.deferred) owed.push_back(address);
    std::vector<std::string> visible, blind;
    for (const std::string& a : owed) {
      (std::find(env.visible.begin(), env.visible.end(), a) != env.visible.end() ? visible : blind).push_back(a);
    }
    Status s = fs_.WriteFileAtomic(path, EnvelopeText(env.from, visible, blind, env.source) +
                                             bytes.substr(env.header_end));
    if (!s.ok()) log_.WriteLog("メールストアの送信待ちメールを書き換えられません<" + BaseName(path) + ">:" + s.message());
  }
  return Attempt{deferred};
}

void StoreOutbox::MoveToFailed(const std::string& path, const Envelope& env, const std::string& why) {
  std::string moved;
  Status s = MaildirMove(fs_, path, Folder(".Failed"), "", &moved);
  std::string line = "メールストアから送信できないメールを.Failedに移しました<" + MaildirBase(BaseName(path)) + ">";
  if (!env.source.empty()) line += "（受信メール<" + env.source + ">）";
  line += " 宛先<" + RecipientsText(env.All()) + ">:" + why;
  if (!s.ok()) line += "（移動できませんでした：" + s.message() + "）";
  log_.WriteLog(line);
  if (s.ok() && on_failed_ && !env.source.empty()) on_failed_(env.source);
}

void StoreOutbox::Deliver(const std::string& path) {
  const std::string name = BaseName(path);
  const std::string flags = MaildirFlags(name);
  const bool in_cur = BaseName(DirName(path)) == "cur";
  const bool failure_reported = in_cur && flags.find('F') != std::string::npos;
  std::string bytes;
  Envelope env;
  Attempt attempt;
  if (Stopping() || route_timed_out_) return;  // next cycle
  Status read = fs_.ReadRegularFile(path, &bytes);
  if (!read.ok()) return;  // gone meanwhile, or unreadable now: next time
  if (!ParseEnvelope(bytes, &env)) {
    attempt = Attempt{Status::Corrupt("送信者か宛先がありません"), true};
  } else if (!route_.smtp.empty()) {
    attempt = BySmtp(path, bytes, env);
  } else if (!route_.sendmail.empty()) {
    attempt = BySendmail(path, env);
  } else {
    WaitForRoute(path, in_cur);
    return;
  }

  std::string moved;
  if (attempt.stopped) return;
  if (attempt.status.ok()) {
    if (Status s = MaildirMove(fs_, path, Folder(".Sent"), "S", &moved); !s.ok()) {
      log_.WriteLog("メールストアの送信済みメールを.Sentに移せません<" + name + ">:" + s.message());
    }
    return;
  }
  const std::string& why = attempt.status.message();
  if (attempt.permanent) {
    MoveToFailed(path, env, why);
    return;
  }
  const std::int64_t queued = QueuedMicros(name);
  if (queued >= 0 && clock_.EpochMicros() - queued >= kRetryMicros) {
    MoveToFailed(path, env, why + "（5日間送信できませんでした）");
    return;
  }
  // The first real failure is reported, also after an earlier line
  // said the message waits for a route.
  if (!failure_reported) {
    log_.WriteLog("メールストアからの送信に失敗しました<" + MaildirBase(name) + ">:" + why +
                  "。5日間、次回以降のログオン時に再送します。");
    // Left in new/, the message is still retried; only the line comes again.
    (void)MaildirMove(fs_, path, Folder(".Outbox"), "F", &moved);
  }
}

void StoreOutbox::WaitForRoute(const std::string& path, bool in_cur) {
  if (in_cur) return;  // said once already
  log_.WriteLog("メールストアに送信経路がありません（profile.iniにsmtpもsendmailもなく、/usr/sbin/sendmailもありません）。<" +
                BaseName(path) + ">は.Outboxで待ちます。");
  // Left in new/, the message is still owed; only this line comes again.
  std::string moved;
  (void)MaildirMove(fs_, path, Folder(".Outbox"), "", &moved);
}

void StoreOutbox::DeliverAll() {
  std::vector<MaildirMessage> queued;
  if (!MaildirList(fs_, Folder(".Outbox"), &queued).ok() && queued.empty()) return;
  std::sort(queued.begin(), queued.end(), [](const MaildirMessage& a, const MaildirMessage& b) {
    return a.mtime_micros != b.mtime_micros ? a.mtime_micros < b.mtime_micros : a.name < b.name;
  });
  for (const MaildirMessage& m : queued) {
    if (Stopping() || route_timed_out_) return;
    Deliver(m.path);
  }
}

}  // namespace kelmora
