// SPDX-License-Identifier: GPL-3.0-or-later
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "pop3/curl_pop3_session.h"
#include "smtp/curl_smtp_session.h"
#include "tests/support/fixed_host_names.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// A loopback socket that listens (the kernel completes the handshake) and
// never says a word; or, after Close, a port where nobody listens.
class MuteListener {
 public:
  MuteListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~MuteListener() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback server that speaks a scripted line protocol to one client at
// a time: the greeting, then for every line received (without CR LF) the
// script's answer ("" answers nothing). Every read is bounded, so a client
// that stays silent cannot hold the test.
class ScriptedServer {
 public:
  using Script = std::function<std::string(const std::string& line)>;
  ScriptedServer(std::string greeting, Script script) : greeting_(std::move(greeting)), script_(std::move(script)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    for (int connections = 0; connections < 4; ++connections) {
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      timeval tv{5, 0};
      setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      Talk(client);
      close(client);
    }
  }
  void Talk(int client) {
    if (!Say(client, greeting_)) return;
    std::string buffer;
    char chunk[1024];
    for (int lines = 0; lines < 100;) {
      const size_t nl = buffer.find("\r\n");
      if (nl == std::string::npos) {
        const ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
        continue;
      }
      const std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 2);
      ++lines;
      const std::string answer = script_(line);
      if (!Say(client, answer)) return;
      if (StartsWith(line, "QUIT")) return;
    }
  }
  static bool Say(int client, const std::string& text) {
    return text.empty() || send(client, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  std::string greeting_;
  Script script_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

MailOptions ShortTimeOuts() {
  MailOptions options;
  options.connect_timeout_seconds = 1;
  options.transfer_timeout_seconds = 2;
  options.low_speed_seconds = 2;
  return options;
}

// The libcurl sessions give up within their time-outs and say which step
// failed; the real dialogues run in the end-to-end tests.
TEST(CurlSmtpSessionTest, SilentServerIsGivenUpWithinTheTimeOuts) {
  MuteListener mute;
  SmtpServer server;
  Status parsed;
  ASSERT_TRUE((parsed = ParseSmtpServer(mute.HostPort(), &server)).ok()) << parsed.message();
  CurlSmtpSession session(server, ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok());
  auto start = std::chrono::steady_clock::now();
  SmtpTransaction t = session.Send("owner@example.org", {"a@example.net", "b@example.net"}, "Subject: x\r\n\r\nx\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(t.message_taken);
  EXPECT_FALSE(t.reached_rcpt);
  EXPECT_NE(t.failure, "");
  ASSERT_EQ(t.recipients.size(), 2u);
  EXPECT_EQ(t.recipients[1].address, "b@example.net");
  EXPECT_EQ(t.recipients[1].code, 0);
}

TEST(CurlSmtpSessionTest, NobodyListeningIsAConnectFailure) {
  MuteListener closed;
  closed.Close();
  SmtpServer server;
  Status parsed;
  ASSERT_TRUE((parsed = ParseSmtpServer(closed.HostPort(), &server)).ok()) << parsed.message();
  CurlSmtpSession session(server, ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok());
  SmtpTransaction t = session.Send("owner@example.org", {"a@example.net"}, "Subject: x\r\n\r\nx\r\n");
  EXPECT_TRUE(StartsWith(t.failure, "connect: ")) << t.failure;
  EXPECT_FALSE(t.reached_rcpt);
  // The connection's own outcome: a transport failure, not a refusal.
  SmtpConnection c = ConnectSmtpWithCurl(server, ShortTimeOuts(), "owner@example.org");
  EXPECT_EQ(c.channel, nullptr);
  EXPECT_TRUE(c.status.IsIOError()) << c.status.message();
  EXPECT_TRUE(StartsWith(c.status.message(), "connect: ")) << c.status.message();
}

TEST(CurlPop3SessionTest, TheFirstCommandNamesAFailedConnectAndASilentServerTimesOut) {
  MuteListener closed;
  closed.Close();
  Pop3Server server;
  Status parsed;
  ASSERT_TRUE((parsed = ParsePop3Server(closed.HostPort(), &server)).ok()) << parsed.message();
  {
    CurlPop3Session session(server, "alice", "pw", ShortTimeOuts());
    ASSERT_TRUE(session.Open().ok());
    std::string answer;
    Pop3Reply r = session.List(&answer);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.step, "connect");
    EXPECT_NE(r.status.message(), "");
  }
  MuteListener mute;
  ASSERT_TRUE((parsed = ParsePop3Server(mute.HostPort(), &server)).ok()) << parsed.message();
  CurlPop3Session session(server, "alice", "pw", ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok());
  auto start = std::chrono::steady_clock::now();
  std::string answer;
  EXPECT_FALSE(session.List(&answer).ok());
  session.Quit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

// A server may echo the credentials it refused, as sent (base64) or
// decoded: the session's failure text and replies never carry them.
TEST(CurlSmtpSessionTest, AnEchoedPasswordIsScrubbedFromTheFailure) {
  ScriptedServer server("220 fake ESMTP\r\n", [](const std::string& line) -> std::string {
    if (StartsWith(line, "EHLO")) return "250-fake\r\n250 AUTH PLAIN\r\n";
    if (line == "AUTH PLAIN") return "334 \r\n";
    if (StartsWith(line, "QUIT")) return "221 bye\r\n";
    if (StartsWith(line, "AUTH PLAIN ") || !StartsWith(line, "AUTH"))
      return "535 5.7.8 refused [" + line + "] for bob:S3cr3t-pw\r\n";
    return "502 no\r\n";
  });
  SmtpServer smtp;
  Status parsed;
  ASSERT_TRUE((parsed = ParseSmtpServer("smtp://bob:S3cr3t-pw@" + server.HostPort(), &smtp)).ok()) << parsed.message();
  CurlSmtpSession session(smtp, ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok());
  SmtpTransaction t = session.Send("owner@example.org", {"a@example.net"}, "Subject: x\r\n\r\nx\r\n");
  session.Close();
  EXPECT_FALSE(t.message_taken);
  EXPECT_TRUE(StartsWith(t.failure, "AUTH: 535 5.7.8 refused [")) << t.failure;
  EXPECT_EQ(t.failure.find("S3cr3t-pw"), std::string::npos) << t.failure;
  EXPECT_EQ(t.failure.find("AGJvYgBTM2NyM3QtcHc="), std::string::npos) << t.failure;  // "\0bob\0S3cr3t-pw"
  EXPECT_NE(t.failure.find("for bob:***"), std::string::npos) << t.failure;
  // The connection's own outcome: the server's refusal, scrubbed too.
  SmtpConnection c = ConnectSmtpWithCurl(smtp, ShortTimeOuts(), "owner@example.org");
  EXPECT_EQ(c.channel, nullptr);
  EXPECT_EQ(c.status.code(), Status::Code::kRefused) << c.status.message();
  EXPECT_TRUE(StartsWith(c.status.message(), "AUTH: 535 5.7.8 refused [")) << c.status.message();
  EXPECT_EQ(c.status.message().find("S3cr3t-pw"), std::string::npos) << c.status.message();
}

// The EHLO name comes from the machine's names the options hand in; a
// machine without a fully qualified name greets with the sender's domain.
TEST(CurlSmtpSessionTest, TheGreetingNamesTheMachineTheOptionsDescribe) {
  struct Case {
    const char* host;
    const char* canonical;
    const char* mail_from;
    const char* ehlo;
  };
  for (const Case& c : {
           Case{"mx", "mx.example.org", "owner@lists.example.test", "EHLO mx.example.org"},
           Case{"vm", "vm", "owner@lists.example.test", "EHLO lists.example.test"},
           Case{"vm", "vm", "owner@localhost", "EHLO vm"},
       }) {
    std::string ehlo;  // written by the server's thread, read once it has ended
    {
      ScriptedServer server("220 fake ESMTP\r\n", [&ehlo](const std::string& line) -> std::string {
        if (StartsWith(line, "EHLO")) {
          ehlo = line;
          return "250 fake\r\n";
        }
        if (StartsWith(line, "QUIT")) return "221 bye\r\n";
        return "550 no\r\n";
      });
      SmtpServer smtp;
      Status parsed;
      ASSERT_TRUE((parsed = ParseSmtpServer(server.HostPort(), &smtp)).ok()) << parsed.message();
      const FixedHostNames machine(c.host, c.canonical);
      MailOptions options = ShortTimeOuts();
      options.host_names = &machine;
      CurlSmtpSession session(smtp, options);
      ASSERT_TRUE(session.Open().ok());
      (void)session.Send(c.mail_from, {"a@example.net"}, "Subject: x\r\n\r\nx\r\n");  // only the greeting counts
      session.Close();
    }
    EXPECT_EQ(ehlo, c.ehlo) << c.host << " " << c.mail_from;
  }
}

TEST(CurlPop3SessionTest, AnEchoedPasswordIsScrubbedFromTheRefusal) {
  ScriptedServer server("+OK ready\r\n", [](const std::string& line) -> std::string {
    if (line == "CAPA") return "+OK\r\nUSER\r\n.\r\n";
    if (StartsWith(line, "USER ")) return "+OK\r\n";
    if (StartsWith(line, "PASS ")) return "-ERR wrong password " + line.substr(5) + "\r\n";
    if (line == "QUIT") return "+OK bye\r\n";
    return "-ERR unknown\r\n";
  });
  Pop3Server pop3;
  Status parsed;
  ASSERT_TRUE((parsed = ParsePop3Server(server.HostPort(), &pop3)).ok()) << parsed.message();
  CurlPop3Session session(pop3, "alice", "S3cr3t-pw", ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok());
  std::string answer;
  Pop3Reply r = session.List(&answer);
  session.Quit();
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.step, "login");
  EXPECT_EQ(r.refusal, "-ERR wrong password ***");
  EXPECT_EQ(r.status.message().find("S3cr3t-pw"), std::string::npos) << r.status.message();
}

// Another thread (the window's stop) can end a transfer within about 100
// ms: while libcurl connects (a server that never greets) and while the
// command layer waits for a reply (a server silent after MAIL FROM).
TEST(CurlSmtpSessionTest, CancelEndsTheWaitFromAnotherThread) {
  MuteListener mute;
  ScriptedServer silent("220 fake ESMTP\r\n", [](const std::string& line) -> std::string {
    if (StartsWith(line, "EHLO")) return "250-fake\r\n250 PIPELINING\r\n";
    return "";
  });
  for (const std::string& host_port : {mute.HostPort(), silent.HostPort()}) {
    SCOPED_TRACE(host_port);
    SmtpServer server;
    Status parsed;
    ASSERT_TRUE((parsed = ParseSmtpServer(host_port, &server)).ok()) << parsed.message();
    TransferCancel cancel;
    MailOptions options;  // long time-outs: only the cancel can end it soon
    options.cancel = &cancel;
    CurlSmtpSession session(server, options);
    std::thread stopper([&cancel] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      cancel.Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    const SmtpTransaction t = session.Send("owner@example.org", {"a@example.net"}, "Subject: x\r\n\r\nx\r\n");
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_LT(took, std::chrono::milliseconds(1300));
    EXPECT_FALSE(t.message_taken);
    EXPECT_NE(t.failure.find("cancel"), std::string::npos) << t.failure;
  }
}

}  // namespace
}  // namespace kelmora

namespace kelmora {
namespace {

// A stop request ends a transfer that waits on a silent server at once,
// long before its time-outs (30 s and more here), for both transports;
// one made before the transfer keeps it from connecting at all.
TEST(TransferCancelTest, AStopEndsAHangingTransferAtOnce) {
  using Clock = std::chrono::steady_clock;
  const std::function<bool(const std::string&, MailOptions)> transfers[] = {
      [](const std::string& host, MailOptions options) {
        SmtpServer server;
        Status parsed;
        EXPECT_TRUE((parsed = ParseSmtpServer(host, &server)).ok()) << parsed.message();
        CurlSmtpSession session(server, options);
        EXPECT_TRUE(session.Open().ok());
        return session.Send("owner@example.org", {"a@example.net"}, "Subject: x\r\n\r\nx\r\n").failure.empty();
      },
      [](const std::string& host, MailOptions options) {
        Pop3Server server;
        Status parsed;
        EXPECT_TRUE((parsed = ParsePop3Server(host, &server)).ok()) << parsed.message();
        CurlPop3Session session(server, "alice", "pw", options);
        EXPECT_TRUE(session.Open().ok());
        std::string answer;
        return session.List(&answer).ok();
      },
  };
  for (const auto& transfer : transfers) {
    for (bool before : {false, true}) {
      SCOPED_TRACE(before ? "cancelled before" : "cancelled while waiting");
      MuteListener mute;
      TransferCancel cancel;
      MailOptions options;
      options.cancel = &cancel;
      if (before) cancel.Cancel();
      std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.Cancel();
      });
      const auto start = Clock::now();
      EXPECT_FALSE(transfer(mute.HostPort(), options));
      const auto took = Clock::now() - start;
      stopper.join();
      EXPECT_LT(took, std::chrono::milliseconds(before ? 250 : 1300));
    }
  }
}

}  // namespace
}  // namespace kelmora
