#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "receive/curl_pop3_session.h"
#include "receive/curl_smtp_session.h"
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
  std::string error;
  ASSERT_TRUE(ParseSmtpServer(mute.HostPort(), &server, &error)) << error;
  CurlSmtpSession session(server, ShortTimeOuts());
  ASSERT_EQ(session.Open(), "");
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
  std::string error;
  ASSERT_TRUE(ParseSmtpServer(closed.HostPort(), &server, &error)) << error;
  CurlSmtpSession session(server, ShortTimeOuts());
  ASSERT_EQ(session.Open(), "");
  SmtpTransaction t = session.Send("owner@example.org", {"a@example.net"}, "Subject: x\r\n\r\nx\r\n");
  EXPECT_TRUE(StartsWith(t.failure, "connect: ")) << t.failure;
  EXPECT_FALSE(t.reached_rcpt);
}

TEST(CurlPop3SessionTest, TheFirstCommandNamesAFailedConnectAndASilentServerTimesOut) {
  MuteListener closed;
  closed.Close();
  Pop3Server server;
  std::string error;
  ASSERT_TRUE(ParsePop3Server(closed.HostPort(), &server, &error)) << error;
  {
    CurlPop3Session session(server, "alice", "pw", ShortTimeOuts());
    ASSERT_TRUE(session.Open().ok);
    std::string answer;
    Pop3Reply r = session.List(&answer);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.step, "connect");
    EXPECT_NE(r.error, "");
  }
  MuteListener mute;
  ASSERT_TRUE(ParsePop3Server(mute.HostPort(), &server, &error)) << error;
  CurlPop3Session session(server, "alice", "pw", ShortTimeOuts());
  ASSERT_TRUE(session.Open().ok);
  auto start = std::chrono::steady_clock::now();
  std::string answer;
  EXPECT_FALSE(session.List(&answer).ok);
  session.Quit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

}  // namespace
}  // namespace kelmora
