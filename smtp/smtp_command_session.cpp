// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/smtp_command_session.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// A reply longer than this many lines is no SMTP reply.
constexpr int kMaxReplyLines = 1000;
constexpr size_t kMaxReplyText = 1000;

bool HasCode(const std::string& line) {
  return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
}

// "RCPT TO <address>: reply" of the last recipient the server refused, or
// "" when it refused none.
std::string LastRefusal(const SmtpTransaction& t) {
  for (auto it = t.recipients.rbegin(); it != t.recipients.rend(); ++it) {
    if (it->code / 100 != 2) return "RCPT TO <" + it->address + ">: " + it->reply;
  }
  return "";
}

}  // namespace

bool EhloLineAnnounces(const std::string& raw, const std::string& keyword) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.size() < 4 || !HasCode(line) || line.compare(0, 3, "250") != 0 || (line[3] != '-' && line[3] != ' ')) {
    return false;
  }
  std::string word;
  for (size_t i = 4; i < line.size() && line[i] != ' '; ++i) {
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
  }
  return word == keyword;
}

SmtpCommandSession::SmtpCommandSession(SmtpServer server, SmtpConnector connector)
    : server_(std::move(server)), connector_(std::move(connector)) {}

SmtpCommandSession::~SmtpCommandSession() { Close(); }

Status SmtpCommandSession::Open() {
  // The EHLO name may follow the sender, so the connection waits for the
  // first transaction.
  opened_ = true;
  return Status::OK();
}

void SmtpCommandSession::Close() {
  if (connection_.channel && connection_.channel->Write("QUIT\r\n").ok()) {
    // Read the farewell so that the close does not cut the server short.
    (void)ReadReply();
  }
  connection_ = SmtpConnection{};
}

SmtpCommandSession::Reply SmtpCommandSession::ReadReply() {
  Reply reply;
  std::string joined;
  for (int n = 0; n < kMaxReplyLines; ++n) {
    std::string line;
    reply.error = connection_.channel->ReadLine(&line);
    if (!reply.error.ok()) return reply;
    line = SanitizeUtf8(OneLine(line));
    if (!HasCode(line)) continue;  // noise between replies
    if (!joined.empty()) joined += " ";
    if (joined.size() < kMaxReplyText) joined += line;
    if (line.size() > 3 && line[3] == '-') continue;
    reply.code = std::stoi(line.substr(0, 3));
    reply.text = std::move(joined);
    return reply;
  }
  reply.error = Status::IOError("reply too long");
  return reply;
}

const std::string& SmtpCommandSession::DataFor(const std::string& message) {
  if (!data_.empty() && data_source_ == message) return data_;
  data_source_ = message;
  data_.clear();
  data_.reserve(message.size() + message.size() / 64 + 8);
  bool line_start = true;
  for (char c : message) {
    if (line_start && c == '.') data_ += '.';  // a line that starts with a dot gets another
    data_ += c;
    line_start = c == '\n';
  }
  if (!message.empty() && !line_start) data_ += "\r\n";
  data_ += ".\r\n";
  return data_;
}

SmtpTransaction SmtpCommandSession::Send(const std::string& mail_from, const std::vector<std::string>& recipients,
                                         const std::string& message) {
  SmtpTransaction out;
  for (const std::string& a : recipients) out.recipients.push_back(SmtpRecipientReply{a, 0, ""});
  if (!connection_.channel) {
    connection_ = connector_(mail_from);
    if (!connection_.channel) {
      out.failure = server_.Scrub(connection_.status.ok() ? "connect: failed" : connection_.status.message());
      connection_ = SmtpConnection{};
      return out;
    }
  }
  try {
    Transact(mail_from, recipients, message, &out);
  } catch (const std::exception& e) {
    out.failure = std::string("transaction: ") + e.what();
    connection_ = SmtpConnection{};
  }
  // Replies and transport errors are the server's words: a server may echo
  // what it refused, AUTH included.
  out.failure = server_.Scrub(out.failure);
  out.data_reply = server_.Scrub(out.data_reply);
  for (SmtpRecipientReply& rr : out.recipients) rr.reply = server_.Scrub(rr.reply);
  return out;
}

void SmtpCommandSession::SkipReplies(size_t count) {
  for (size_t i = 0; i < count && connection_.channel; ++i) {
    const Reply r = ReadReply();
    if (!r.error.ok()) connection_ = SmtpConnection{};
    else if (i + 1 == count && r.code == 354) EndWithoutMessage(r.code);
  }
}

void SmtpCommandSession::EndWithoutMessage(int data_code) {
  if (!connection_.channel) return;
  MailChannel& channel = *connection_.channel;
  // A server that took DATA anyway gets an empty message ended at once;
  // then RSET clears what the server still holds of the transaction.
  if ((data_code == 354 && (!channel.Write(".\r\n").ok() || !ReadReply().error.ok())) || data_code == 421) {
    connection_ = SmtpConnection{};
    return;
  }
  Reply r;
  if (channel.Write("RSET\r\n").ok()) r = ReadReply();
  if (r.code / 100 != 2) connection_ = SmtpConnection{};
}

void SmtpCommandSession::Transact(const std::string& mail_from, const std::vector<std::string>& recipients,
                                  const std::string& message, SmtpTransaction* out) {
  connection_.channel->BeginExchange();
  const bool pipelined = connection_.pipelining;
  if (!MailFrom(mail_from, recipients, pipelined, out) || !Recipients(pipelined, out)) return;
  const int accepted = static_cast<int>(std::count_if(out->recipients.begin(), out->recipients.end(),
                                                      [](const SmtpRecipientReply& rr) { return rr.code / 100 == 2; }));
  if (!Data(pipelined, accepted, out)) return;
  Message(message, out);
}

bool SmtpCommandSession::Lost(const std::string& step, const Status& error, SmtpTransaction* out) {
  out->failure = step + ": " + error.message();
  connection_ = SmtpConnection{};
  return false;
}

// A server that pipelines gets MAIL FROM, every RCPT TO and DATA in one
// write.
bool SmtpCommandSession::MailFrom(const std::string& mail_from, const std::vector<std::string>& recipients,
                                  bool pipelined, SmtpTransaction* out) {
  std::string command = "MAIL FROM:<" + mail_from + ">\r\n";
  if (pipelined) {
    for (const std::string& a : recipients) command += "RCPT TO:<" + a + ">\r\n";
    command += "DATA\r\n";
  }
  const Status error = connection_.channel->Write(command);
  if (!error.ok()) return Lost("MAIL FROM", error, out);
  const Reply mail = ReadReply();
  if (!mail.error.ok()) return Lost("MAIL FROM", mail.error, out);
  if (mail.code / 100 == 2) return true;
  out->failure = "MAIL FROM: " + mail.text;
  // The RCPTs and DATA of a batch still get their (meaningless) replies;
  // read them to stay in step.
  if (pipelined) SkipReplies(recipients.size() + 1);
  if (mail.code == 421) connection_ = SmtpConnection{};
  return false;
}

// Each recipient's reply goes into its SmtpRecipientReply.
bool SmtpCommandSession::Recipients(bool pipelined, SmtpTransaction* out) {
  for (SmtpRecipientReply& rr : out->recipients) {
    if (!pipelined) {
      const Status error = connection_.channel->Write("RCPT TO:<" + rr.address + ">\r\n");
      if (!error.ok()) return Lost("RCPT TO", error, out);
    }
    out->reached_rcpt = true;
    const Reply r = ReadReply();
    if (!r.error.ok()) return Lost("RCPT TO", r.error, out);
    rr.code = r.code;
    rr.reply = r.text;
  }
  return true;
}

// DATA, when there is someone to send to (a pipelined DATA is answered
// anyway); the transaction goes on only when the server is ready for the
// message.
bool SmtpCommandSession::Data(bool pipelined, int accepted, SmtpTransaction* out) {
  Reply data;
  if (pipelined || accepted > 0) {
    if (!pipelined) {
      const Status error = connection_.channel->Write("DATA\r\n");
      if (!error.ok()) return Lost("DATA", error, out);
    }
    data = ReadReply();
    if (!data.error.ok()) return Lost("DATA", data.error, out);
  }
  if (accepted > 0 && data.code == 354) return true;
  if (accepted == 0) {
    const std::string refusal = LastRefusal(*out);
    out->failure = refusal.empty() ? std::string("RCPT TO: no recipient") : refusal;
  } else {
    out->failure = "DATA: " + data.text;
  }
  EndWithoutMessage(data.code);
  return false;
}

void SmtpCommandSession::Message(const std::string& message, SmtpTransaction* out) {
  const Status error = connection_.channel->Write(DataFor(message));
  if (!error.ok()) {
    Lost("end of data", error, out);
    return;
  }
  const Reply done = ReadReply();
  if (!done.error.ok()) {
    Lost("end of data", done.error, out);
    return;
  }
  out->data_code = done.code;
  out->data_reply = done.text;
  out->message_taken = done.code / 100 == 2;
  if (!out->message_taken) {
    out->failure = "end of data: " + done.text;
    if (done.code == 421) connection_ = SmtpConnection{};
  } else {
    // Taken for some: the failure names the last recipient refused.
    out->failure = LastRefusal(*out);
  }
}

}  // namespace kelmora
