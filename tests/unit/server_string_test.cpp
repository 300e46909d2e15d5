#include "receive/server_string.h"

#include <gtest/gtest.h>

#include "receive/local_host_name.h"

namespace kelmora {
namespace {

// One grammar, two roads: the forms each road accepts, its default ports,
// and what a failure says.
TEST(ServerStringTest, SmtpFormsAndDefaultPorts) {
  struct Case {
    const char* text;
    const char* url;
    const char* display;
    bool tls;
  };
  const std::string helo = LocalHostName();
  for (const Case& c : {
           Case{"mail.example.org", "smtp://mail.example.org:25/", "smtp://mail.example.org:25", false},
           Case{" 127.0.0.1:2525 ", "smtp://127.0.0.1:2525/", "smtp://127.0.0.1:2525", false},
           Case{"::1", "smtp://[::1]:25/", "smtp://[::1]:25", false},
           Case{"[::1]:587", "smtp://[::1]:587/", "smtp://[::1]:587", false},
           Case{"SMTPS://host", "smtps://host:465/", "smtps://host:465", true},
           Case{"smtp://bob:pa:ss@host:2525", "smtp://bob:pa:ss@host:2525/", "smtp://bob@host:2525", false},
       }) {
    SmtpServer server;
    std::string error;
    ASSERT_TRUE(ParseSmtpServer(c.text, &server, &error)) << c.text << ": " << error;
    EXPECT_EQ(server.url, c.url + helo) << c.text;
    EXPECT_EQ(server.display, c.display) << c.text;  // never the password
    EXPECT_EQ(server.implicit_tls, c.tls) << c.text;
  }
  // A path names the EHLO name.
  SmtpServer named;
  std::string error;
  ASSERT_TRUE(ParseSmtpServer("smtp://127.0.0.1:25/helo.example", &named, &error));
  EXPECT_EQ(named.url, "smtp://127.0.0.1:25/helo.example");
  ASSERT_TRUE(ParseSmtpServer("bob:pw@127.0.0.1/helo.example", &named, &error));
  EXPECT_EQ(named.url, "smtp://bob:pw@127.0.0.1:25/helo.example");
}

TEST(ServerStringTest, SmtpFailuresSayWhatIsWrong) {
  struct Case {
    const char* text;
    const char* error;
  };
  for (const Case& c : {
           Case{"  ", "no SMTP server given"},
           Case{"host name", "SMTP server <host name> holds blanks or control characters"},
           Case{"pop3://host", "SMTP server <pop3://host>: unsupported scheme pop3"},
           Case{"smtp://:25", "SMTP server <smtp://:25> names no host"},
           Case{"127.0.0.1:", "SMTP server <127.0.0.1:> has an invalid port"},
           Case{"127.0.0.1:65536", "SMTP server <127.0.0.1:65536> has an invalid port"},
           Case{"[::1]x", "SMTP server <[::1]x> has an invalid port"},
           Case{"ho<st>", "SMTP server <ho<st>> names no valid host"},
       }) {
    SmtpServer server;
    std::string error;
    EXPECT_FALSE(ParseSmtpServer(c.text, &server, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(ServerStringTest, Pop3FormsIgnoreTheUserAndThePath) {
  struct Case {
    const char* text;
    const char* url;
    const char* display;
  };
  for (const Case& c : {
           Case{"pop.example.org", "pop3://pop.example.org:110", "pop.example.org:110"},
           Case{"127.0.0.1:1110", "pop3://127.0.0.1:1110", "127.0.0.1:1110"},
           Case{"Pop3s://host", "pop3s://host:995", "pop3s://host:995"},
           Case{"pop3://alice:pw@host:1110/INBOX?x#y", "pop3://host:1110", "host:1110"},
           Case{"[::1]:1110", "pop3://[::1]:1110", "[::1]:1110"},
           Case{"fe80::1", "pop3://[fe80::1]:110", "[fe80::1]:110"},
       }) {
    Pop3Server server;
    std::string error;
    ASSERT_TRUE(ParsePop3Server(c.text, &server, &error)) << c.text << ": " << error;
    EXPECT_EQ(server.Url(), c.url) << c.text;
    EXPECT_EQ(server.Display(), c.display) << c.text;
  }
  for (const char* bad : {"", "smtp://host", "host:0", "host:x", "[::1", "ho st", "host\r\nUSER x", "a/b", "alice@host"}) {
    Pop3Server server;
    std::string error;
    EXPECT_FALSE(ParsePop3Server(bad, &server, &error)) << bad;
    EXPECT_NE(error.find("POP3 server"), std::string::npos) << error;
    EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace kelmora
