// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/queued_mail.h"

#include <charconv>
#include <set>

#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kMagic = "Kelmora-Queue: 1";
const std::string kSettled = "Settled: ";

// A value on one header line: CR and LF would end the line early.
std::string LineValue(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

bool ReadInt(const std::string& text, std::int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

// What the header must hold, and the message's size.
struct HeadFields {
  bool magic = false, server = false, from = false, queued = false, next = false;
  std::int64_t size = -1;
  bool Complete() const { return magic && server && from && queued && next && size >= 0; }
};

// One "Name: value" line of the header.
Status ReadField(const std::string& text, QueuedMail* mail, HeadFields* seen) {
  const size_t colon = text.find(": ");
  if (colon == std::string::npos) return Status::Corrupt("queue file line without a name: " + text);
  const std::string name = text.substr(0, colon);
  const std::string value = text.substr(colon + 2);
  if (name == "Server") {
    mail->server = value;
    seen->server = true;
  } else if (name == "Mail-From") {
    mail->mail_from = value;
    seen->from = true;
  } else if (name == "Message-ID") {
    mail->message_id = value;
  } else if (name == "Queued") {
    if (!ReadInt(value, &mail->queued_micros)) return Status::Corrupt("bad Queued value: " + value);
    seen->queued = true;
  } else if (name == "Next-Attempt") {
    if (!ReadInt(value, &mail->next_attempt_micros)) return Status::Corrupt("bad Next-Attempt value: " + value);
    seen->next = true;
  } else if (name == "Attempt") {
    QueueAttempt a;
    const size_t blank = value.find(' ');
    if (!ReadInt(value.substr(0, blank), &a.when_micros)) return Status::Corrupt("bad Attempt value: " + value);
    if (blank != std::string::npos) a.failure = value.substr(blank + 1);
    mail->attempts.push_back(a);
  } else if (name == "Rcpt") {
    mail->owed.push_back(value);
  } else if (name == "Size") {
    if (!ReadInt(value, &seen->size) || seen->size < 0) return Status::Corrupt("bad Size value: " + value);
  }
  // Other names: written by a later version; skipped.
  return Status::OK();
}

// The header up to its empty line; *pos ends where the message begins.
Status ReadHead(const std::string& bytes, size_t* pos, QueuedMail* mail, HeadFields* seen) {
  while (true) {
    const size_t end = bytes.find("\r\n", *pos);
    if (end == std::string::npos) return Status::Corrupt("queue file ends inside its header");
    const std::string text = bytes.substr(*pos, end - *pos);
    *pos = end + 2;
    if (text.empty()) return Status::OK();
    if (!seen->magic) {
      if (text != kMagic) return Status::Corrupt("not a queue file");
      seen->magic = true;
      continue;
    }
    Status field = ReadField(text, mail, seen);
    if (!field.ok()) return field;
  }
}

// Progress appended behind the message (from `pos` on): recipients settled
// since the file was last written whole are no longer owed. A last line
// without its CR LF is an append cut short and says nothing.
Status TakeSettled(const std::string& bytes, size_t pos, QueuedMail* mail) {
  std::set<std::string> settled;
  while (pos < bytes.size()) {
    const size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) break;
    const std::string text = bytes.substr(pos, end - pos);
    pos = end + 2;
    if (!StartsWith(text, kSettled)) return Status::Corrupt("queue file line after the message: " + text);
    settled.insert(text.substr(kSettled.size()));
  }
  if (settled.empty()) return Status::OK();
  std::vector<std::string> owed;
  for (std::string& r : mail->owed) {
    if (!settled.count(r)) owed.push_back(std::move(r));
  }
  mail->owed = std::move(owed);
  return Status::OK();
}

}  // namespace

std::string EncodeQueuedMail(const QueuedMail& mail) { return EncodeQueuedMailHead(mail) + mail.message; }

std::string EncodeQueuedMailHead(const QueuedMail& mail) {
  std::string out;
  out.reserve(64 * (mail.owed.size() + mail.attempts.size() + 8));
  auto line = [&out](const char* name, const std::string& value) {
    out += name;
    out += ": ";
    out += LineValue(value);
    out += "\r\n";
  };
  out += kMagic;
  out += "\r\n";
  line("Server", mail.server);
  line("Mail-From", mail.mail_from);
  line("Message-ID", mail.message_id);
  line("Queued", std::to_string(mail.queued_micros));
  line("Next-Attempt", std::to_string(mail.next_attempt_micros));
  for (const QueueAttempt& a : mail.attempts) line("Attempt", std::to_string(a.when_micros) + " " + a.failure);
  for (const std::string& r : mail.owed) line("Rcpt", r);
  line("Size", std::to_string(mail.message.size()));
  out += "\r\n";
  return out;
}

Status DecodeQueuedMail(std::string bytes, QueuedMail* mail) {
  *mail = QueuedMail();
  size_t message_start = 0;
  HeadFields seen;
  Status head = ReadHead(bytes, &message_start, mail, &seen);
  if (!head.ok()) return head;
  if (!seen.Complete()) return Status::Corrupt("queue file misses a field");
  const size_t size = static_cast<size_t>(seen.size);
  if (bytes.size() - message_start < size) return Status::Corrupt("queue file message is cut short");
  Status settled = TakeSettled(bytes, message_start + size, mail);
  if (!settled.ok()) return settled;
  bytes.resize(message_start + size);
  bytes.erase(0, message_start);
  mail->message = std::move(bytes);
  return Status::OK();
}

std::string SettledLines(const std::vector<std::string>& recipients) {
  std::string out;
  for (const std::string& r : recipients) out += kSettled + LineValue(r) + "\r\n";
  return out;
}

}  // namespace kelmora
