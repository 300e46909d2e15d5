// SPDX-License-Identifier: GPL-3.0-or-later
// ScriptedLink: a server played from a script behind MailChannel, for unit
// tests of the SMTP and POP3 command layers (no sockets). Every Connect is
// one connection.
//
// Script: answer(command) gives the reply text for one command line
// (without its CR LF), lines ended by CR LF, "" for none. After a reply
// that starts with "354" the lines up to "." are message data: the message
// is recorded and the script is asked for the reply to ".".
//   cut_after_lines  the connection breaks once this many reply lines of
//                    it were read (-1: never); a read or write after that
//                    fails with "connection lost".
// A read with no reply pending fails with "timed out": a real server would
// leave the client waiting there, so a test sees a client that waits for a
// reply to a command it never sent.
//
// Record: writes (each Write as given, with its connection), commands (every
// command line in order), messages (the data of every DATA, unstuffed).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/mail_channel.h"

namespace kelmora {

class ScriptedLink {
 public:
  struct Write {
    int connection;
    std::string bytes;
  };
  std::function<std::string(const std::string&)> answer = [](const std::string&) { return std::string(); };
  int cut_after_lines = -1;

  std::unique_ptr<MailChannel> Connect() { return std::make_unique<Channel>(this, connections_++); }

  int connections() const { return connections_; }
  const std::vector<Write>& writes() const { return writes_; }
  const std::vector<std::string>& commands() const { return commands_; }
  const std::vector<std::string>& messages() const { return messages_; }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& c : commands_) n += c.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  class Channel : public MailChannel {
   public:
    Channel(ScriptedLink* link, int connection) : link_(link), connection_(connection) {}

    Status Write(std::string_view bytes) override {
      if (cut_) return Status::IOError("connection lost");
      link_->writes_.push_back({connection_, std::string(bytes)});
      partial_ += bytes;
      size_t nl;
      while ((nl = partial_.find("\r\n")) != std::string::npos) {
        const std::string line = partial_.substr(0, nl);
        partial_.erase(0, nl + 2);
        Take(line);
      }
      return Status::OK();
    }

    Status ReadLine(std::string* line) override {
      if (cut_) return Status::IOError("connection lost");
      const size_t nl = pending_.find("\r\n");
      if (nl == std::string::npos) return Status::IOError("timed out");
      *line = pending_.substr(0, nl);
      pending_.erase(0, nl + 2);
      if (link_->cut_after_lines >= 0 && ++lines_read_ >= link_->cut_after_lines) {
        // The line itself still arrived; everything after it is gone.
        cut_ = true;
        pending_.clear();
      }
      return Status::OK();
    }

   private:
    void Take(const std::string& line) {
      if (in_data_) {
        if (line != ".") {
          data_ += (line.rfind("..", 0) == 0 ? line.substr(1) : line) + "\r\n";
          return;
        }
        in_data_ = false;
        link_->messages_.push_back(data_);
        data_.clear();
      } else {
        link_->commands_.push_back(line);
      }
      const std::string reply = link_->answer(line);
      in_data_ = reply.rfind("354", 0) == 0;
      pending_ += reply;
    }

    ScriptedLink* link_;
    int connection_;
    std::string partial_;
    std::string pending_;
    std::string data_;
    bool in_data_ = false;
    bool cut_ = false;
    int lines_read_ = 0;
  };

  int connections_ = 0;
  std::vector<Write> writes_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
};

}  // namespace kelmora
