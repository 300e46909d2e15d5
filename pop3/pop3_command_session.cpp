// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/pop3_command_session.h"

#include <algorithm>
#include <deque>

#include "mime/mime_util.h"
#include "net/server_string.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr std::uint64_t kReserveLimit = 1u << 30;

}  // namespace

Pop3CommandSession::Pop3CommandSession(Pop3Connector connector, std::function<std::string(const std::string&)> scrub)
    : connector_(std::move(connector)), scrub_(std::move(scrub)) {}

Pop3CommandSession::~Pop3CommandSession() { Quit(); }

Pop3Reply Pop3CommandSession::Open() { return Pop3Reply::Ok(); }

Pop3Reply Pop3CommandSession::Lost(const std::string& error) {
  dead_ = true;
  connection_.channel.reset();
  return Pop3Reply::Failed(scrub_(error));
}

Pop3Reply Pop3CommandSession::Ready() {
  if (connection_.channel) return Pop3Reply::Ok();
  // A session whose connection broke is over: its message numbers and
  // DELEs belonged to that connection.
  if (dead_ || connected_once_) return Pop3Reply::Failed("connection lost");
  connected_once_ = true;
  connection_ = connector_();
  if (!connection_.channel) {
    dead_ = true;
    const Pop3Reply& why = connection_.failure;
    return Pop3Reply::Failed(scrub_(why.status.message()), scrub_(why.refusal), why.step);
  }
  return Pop3Reply::Ok();
}

Pop3Reply Pop3CommandSession::ReadAnswer(std::string* body) {
  MailChannel& channel = *connection_.channel;
  std::string line;
  Status error = channel.ReadLine(&line);
  if (!error.ok()) return Lost(error.message());
  if (StartsWith(line, "-ERR")) {
    return Pop3Reply::Failed("refused by the server", scrub_(SanitizeUtf8(OneLine(line))));
  }
  if (!StartsWith(line, "+OK")) return Lost("unexpected answer \"" + ReplyText(line.substr(0, 80)) + "\"");
  if (body == nullptr) return Pop3Reply::Ok();
  for (;;) {
    error = channel.ReadLine(&line);
    if (!error.ok()) return Lost(error.message());
    if (!line.empty() && line[0] == '.') {
      if (line.size() == 1) return Pop3Reply::Ok();
      body->append(line, 1, std::string::npos);  // a stuffed dot
    } else {
      body->append(line);
    }
    body->append("\r\n");
  }
}

Pop3Reply Pop3CommandSession::Command(const std::string& command, std::string* body) {
  if (body != nullptr) body->clear();
  const Pop3Reply ready = Ready();
  if (!ready.ok()) return ready;
  connection_.channel->BeginExchange();
  const Status error = connection_.channel->Write(command + "\r\n");
  if (!error.ok()) return Lost(error.message());
  return ReadAnswer(body);
}

Pop3Reply Pop3CommandSession::List(std::string* answer) { return Command("LIST", answer); }
Pop3Reply Pop3CommandSession::Uidl(std::string* answer) { return Command("UIDL", answer); }
Pop3Reply Pop3CommandSession::Retr(int number, std::string* message) {
  return Command("RETR " + std::to_string(number), message);
}
Pop3Reply Pop3CommandSession::Dele(int number) { return Command("DELE " + std::to_string(number), nullptr); }
Pop3Reply Pop3CommandSession::Noop() { return Command("NOOP", nullptr); }

void Pop3CommandSession::Quit() {
  if (!connection_.channel) return;
  // The answer to QUIT is awaited: it is what commits the DELEs, and
  // closing before it could cut the server short.
  if (connection_.channel->Write("QUIT\r\n").ok()) (void)ReadAnswer(nullptr);
  connection_.channel.reset();
  dead_ = true;
}

Pop3Reply Pop3CommandSession::RetrMany(const std::vector<Wanted>& wanted, std::string* buffer,
                                       const std::function<bool(size_t index)>& each, size_t* handed) {
  const Pop3Reply ready = Ready();
  if (!ready.ok()) {
    *handed = 0;
    return ready;
  }
  if (!connection_.pipelining) return Pop3Session::RetrMany(wanted, buffer, each, handed);
  *handed = 0;
  MailChannel& channel = *connection_.channel;
  channel.BeginExchange();
  size_t sent = 0;                 // RETRs written
  std::uint64_t in_flight = 0;     // LIST bytes of those not yet read
  Pop3Reply failure = Pop3Reply::Ok();
  bool stopped = false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (!stopped && failure.ok()) {
      // Top up the window: always the next one, then as many as fit.
      std::string batch;
      while (sent < wanted.size() &&
             (sent == i || (sent - i < kRetrWindowMessages && in_flight + wanted[sent].size <= kRetrWindowBytes))) {
        batch += "RETR " + std::to_string(wanted[sent].number) + "\r\n";
        in_flight += wanted[sent].size;
        ++sent;
      }
      if (!batch.empty()) {
        const Status error = channel.Write(batch);
        if (!error.ok()) return Lost(error.message());
      }
    }
    if (i >= sent) break;  // stopped or failed: nothing more on the way
    buffer->clear();
    if (!stopped && failure.ok()) {
      buffer->reserve(static_cast<size_t>(std::min(wanted[i].size, kReserveLimit)) + 4096);
    }
    const Pop3Reply r = ReadAnswer(buffer);
    if (!connection_.channel) return r;  // the connection is gone
    in_flight -= std::min(in_flight, wanted[i].size);
    if (stopped || !failure.ok()) continue;  // draining what is still on the way
    if (!r.ok()) {
      failure = r;
      continue;
    }
    *handed = i + 1;
    if (!each(i)) stopped = true;
  }
  return failure;
}

Pop3Reply Pop3CommandSession::DeleMany(const std::vector<int>& numbers, size_t* deleted) {
  *deleted = 0;
  const Pop3Reply ready = Ready();
  if (!ready.ok()) return ready;
  if (!connection_.pipelining) return Pop3Session::DeleMany(numbers, deleted);
  if (numbers.empty()) return Pop3Reply::Ok();
  std::string batch;
  for (int number : numbers) batch += "DELE " + std::to_string(number) + "\r\n";
  connection_.channel->BeginExchange();
  const Status error = connection_.channel->Write(batch);
  if (!error.ok()) return Lost(error.message());
  Pop3Reply failure = Pop3Reply::Ok();
  for (size_t i = 0; i < numbers.size(); ++i) {
    const Pop3Reply r = ReadAnswer(nullptr);
    if (!connection_.channel) return r;
    if (!r.ok() && failure.ok()) failure = r;
    if (failure.ok()) *deleted = i + 1;
  }
  return failure;
}

}  // namespace kelmora
