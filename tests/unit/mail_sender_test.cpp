#include "receive/mail_sender.h"

#include <arpa/inet.h>
#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "receive/mail_library_init.h"
#include "receive/mail_reader.h"
#include "tests/support/fixed_clock.h"
#include "textio/codepage.h"
#include "textio/strings.h"
#include "tests/unit/temp_folder.h"

namespace kelmora {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The header block of a message (up to the first empty line).
std::string Headers(const std::string& message) { return message.substr(0, message.find("\r\n\r\n") + 2); }

// ---------------------------------------------------------------------------
// Building

class MailBuildTest : public ::testing::Test {
 protected:
  ComposedMail Build(const std::string& recipients, const std::string& subject = "s",
                     const std::string& body = "b", const std::string& attachments = "",
                     const std::string& from = "owner@example.org") {
    ComposedMail mail;
    std::string error = ComposeMail(fs_, recipients, from, subject, body, attachments, &mail);
    EXPECT_EQ(error, "");
    return mail;
  }
  MailReply ReadBack(const ComposedMail& mail) {
    std::ofstream(dir_.path() + "/sent.eml", std::ios::binary) << mail.message;
    return ReadMailFile(fs_, "sent.eml", "to:from:subject:", dir_.path());
  }
  static std::string Item(const MailReply& r, const std::string& prefix) {
    for (const std::string& item : r.items) {
      if (StartsWith(item, prefix)) return item.substr(prefix.size());
    }
    return "<missing>";
  }

  RealFileSystem fs_;
  TempFolder dir_;
};

TEST_F(MailBuildTest, BlindCopiesStayInTheEnvelope) {
  ComposedMail mail = Build(
      "list@example.org\tbcc\tm1@example.net\tM2@Example.net\tm2@example.net\tnot an address\t"
      ">Message-ID: Kelmora\t>Bcc: leak@example.net\t>Reply-To: list@example.org\t>X-ML-Name: テスト①\t"
      ">#save /some/folder");
  EXPECT_EQ(mail.envelope, (std::vector<std::string>{"list@example.org", "m1@example.net", "M2@Example.net"}));
  EXPECT_EQ(mail.invalid, (std::vector<std::string>{"not an address"}));
  EXPECT_EQ(mail.mail_from, "owner@example.org");
  EXPECT_EQ(mail.save_folder, "/some/folder");
  std::string lower = mail.message;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(lower.find("\r\nbcc"), std::string::npos);
  EXPECT_FALSE(StartsWith(lower, "bcc"));
  EXPECT_EQ(lower.find("m1@example.net"), std::string::npos);
  EXPECT_EQ(lower.find("m2@example.net"), std::string::npos);
  EXPECT_EQ(lower.find("leak@"), std::string::npos);
  std::string headers = Headers(mail.message);
  EXPECT_NE(headers.find("\r\nTo: list@example.org\r\n"), std::string::npos) << headers;
  EXPECT_NE(headers.find("\r\nReply-To: list@example.org\r\n"), std::string::npos);
  // A non-ASCII header value is RFC 2047 encoded.
  EXPECT_NE(headers.find("\r\nX-ML-Name: =?UTF-8?B?" + std::string("44OG44K544OI4pGg") + "?=\r\n"), std::string::npos)
      << headers;
  EXPECT_EQ(headers.find("#save"), std::string::npos);
}

TEST_F(MailBuildTest, VisibleRecipientForms) {
  // "@" + name: an empty group, nobody in the envelope for it.
  ComposedMail group = Build("@メンバー各位\tbcc\tm1@example.net");
  EXPECT_EQ(group.envelope, (std::vector<std::string>{"m1@example.net"}));
  EXPECT_EQ(Item(ReadBack(group), "To: "), "\"メンバー各位\"");
  GMimeParserOptions* options = g_mime_parser_options_new();
  std::string to_line = Headers(group.message);
  to_line = to_line.substr(to_line.find("\r\nTo: ") + 6);
  to_line = to_line.substr(0, to_line.find("\r\n"));
  InternetAddressList* list = internet_address_list_parse(options, to_line.c_str());
  ASSERT_EQ(internet_address_list_length(list), 1);
  InternetAddress* address = internet_address_list_get_address(list, 0);
  ASSERT_TRUE(INTERNET_ADDRESS_IS_GROUP(address));
  EXPECT_STREQ(internet_address_get_name(address), "メンバー各位");
  EXPECT_EQ(internet_address_list_length(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address))), 0);
  g_object_unref(list);
  g_mime_parser_options_free(options);

  // Addresses before "bcc" are all visible and delivered; without a "bcc"
  // item every address is visible (one-by-one forwarding sends one).
  ComposedMail several = Build("a@example.net\tb@example.net\tbcc\tc@example.net");
  EXPECT_EQ(several.envelope, (std::vector<std::string>{"a@example.net", "b@example.net", "c@example.net"}));
  EXPECT_NE(Headers(several.message).find("To: a@example.net, b@example.net\r\n"), std::string::npos);
  ComposedMail single = Build("member@example.net\t>Message-ID: Kelmora");
  EXPECT_EQ(single.envelope, (std::vector<std::string>{"member@example.net"}));
  EXPECT_EQ(Item(ReadBack(single), "To: "), "<member@example.net>");
}

TEST_F(MailBuildTest, MessageIdIsValidUniqueAndCarriesTheText) {
  std::regex valid(R"(^[A-Za-z0-9_\-]+(\.[A-Za-z0-9_\-]+)*@[a-z0-9\-]+(\.[a-z0-9\-]+)*$)");
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    ComposedMail mail = Build("a@example.net\t>Message-ID: Kelmora");
    EXPECT_TRUE(std::regex_match(mail.message_id, valid)) << mail.message_id;
    EXPECT_TRUE(StartsWith(mail.message_id, "Kelmora.")) << mail.message_id;
    EXPECT_TRUE(EndsWith(mail.message_id, "@example.org")) << mail.message_id;
    EXPECT_TRUE(seen.insert(mail.message_id).second) << "duplicate " << mail.message_id;
    if (i == 0) {
      EXPECT_NE(Headers(mail.message).find("<" + mail.message_id + ">\r\n"), std::string::npos);
    }
  }
  // Text that cannot stand in a Message-ID is reduced, never copied raw.
  ComposedMail odd = Build("a@example.net\t>Message-ID: <Kel mora>@\"x\"..y");
  EXPECT_TRUE(std::regex_match(odd.message_id, valid)) << odd.message_id;
  EXPECT_TRUE(StartsWith(odd.message_id, "Kelmorax.y.")) << odd.message_id;
  // A sender domain that is no host name falls back to a valid one.
  ComposedMail weird = Build("a@example.net", "s", "b", "", "\"x\" <user@[127.0.0.1]>");
  EXPECT_TRUE(std::regex_match(weird.message_id, valid)) << weird.message_id;
}

TEST_F(MailBuildTest, SubjectBodyAndDateRoundTrip) {
  std::string subject = "[ML:0042(3)] 会議のお知らせ①～髙橋 " + std::string(120, 'x') + " 終わり";
  std::string body = "一行目①\n二行目～\r\n\r\n.dot line\nlast";
  ComposedMail mail = Build("a@example.net", subject, body);
  std::string headers = Headers(mail.message);
  EXPECT_TRUE(StartsWith(headers, "Date: ") || Contains(headers, "\r\nDate: ")) << headers;
  EXPECT_NE(headers.find("\r\nMIME-Version: 1.0\r\n"), std::string::npos);
  EXPECT_NE(headers.find("=?UTF-8?"), std::string::npos) << headers;
  // Only 7-bit bytes, CR LF everywhere, no line over 998 characters.
  size_t line = 0;
  for (size_t i = 0; i < mail.message.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(mail.message[i]);
    ASSERT_LT(c, 0x80u) << "at " << i;
    if (c == '\n') {
      ASSERT_TRUE(i > 0 && mail.message[i - 1] == '\r') << "bare LF at " << i;
      line = 0;
    } else {
      ASSERT_LE(++line, 998u);
    }
  }
  MailReply r = ReadBack(mail);
  ASSERT_TRUE(r.is_list) << r.text;
  EXPECT_EQ(Item(r, "Subject: "), subject);
  EXPECT_EQ(Item(r, "Body: "), "一行目①\r\n二行目～\r\n\r\n.dot line\r\nlast");
  EXPECT_EQ(Item(r, "From: "), "<owner@example.org>");

  // A subject with line breaks cannot start a header of its own.
  ComposedMail injected = Build("a@example.net", "hello\r\nBcc: x@example.net", "b");
  EXPECT_EQ(Headers(injected.message).find("\r\nBcc:"), std::string::npos);
  // ASCII text goes as 7bit, readable as it is.
  ComposedMail ascii = Build("a@example.net", "s", "plain\nascii");
  EXPECT_NE(ascii.message.find("\r\n\r\nplain\r\nascii"), std::string::npos);
}

TEST_F(MailBuildTest, AttachmentsArriveByteForByteUnderTheirNames) {
  std::string a = dir_.path() + "/議事録①.pdf";
  std::string b = dir_.path() + "/data.bin";
  std::string pdf = std::string("%PDF\0\x01\xff\r\n\n\r", 11);
  std::string bin(70000, '\0');
  for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<char>((i * 7919) & 0xFF);
  std::ofstream(a, std::ios::binary) << pdf;
  std::ofstream(b, std::ios::binary) << bin;
  ComposedMail mail = Build("a@example.net", "files", "see", a + "\t" + b);
  std::filesystem::remove(a);
  std::filesystem::remove(b);
  MailReply r = ReadBack(mail);
  std::vector<std::string> files;
  for (const std::string& item : r.items) {
    if (StartsWith(item, "File: ")) files.push_back(item.substr(6));
  }
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], a);
  EXPECT_EQ(files[1], b);
  EXPECT_EQ(ReadAll(files[0]), pdf);
  EXPECT_EQ(ReadAll(files[1]), bin);
  EXPECT_EQ(Item(r, "Body: "), "see");

  ComposedMail unused;
  std::string error = ComposeMail(fs_, "a@example.net", "o@example.org", "s", "b",
                                        dir_.path() + "/missing.txt", &unused);
  EXPECT_NE(error.find("missing.txt"), std::string::npos) << error;
  error = ComposeMail(fs_, "a@example.net", "", "s", "b", "", &unused);
  EXPECT_NE(error, "");
}

TEST_F(MailBuildTest, AnyInputGivesAWellFormedMessageOrAFailureText) {
  std::mt19937 rng(4242);
  auto noise = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>(rng() & 0xFF);
    return s;
  };
  std::vector<std::array<std::string, 4>> inputs = {
      {"a@example.net\r\nRCPT TO:<x@example.net>", "o@example.org\r\nBcc: x@example.net", "s\r\n.\r\n",
       "\r\n.\r\nQUIT\r\n"},
      {std::string(100000, '@'), std::string(100000, 'o'), std::string(100000, 'S'), std::string(100000, 'b')},
      {"@", "o@example.org", "", ""},
      {"\t\t\tbcc\t\t", "o@example.org", "s", "b"},
      {">\t>:\t>#save\t>Message-ID:\t" + std::string(1000, '>'), "o@example.org", "s", "b"},
  };
  for (int k = 0; k < 20; ++k) inputs.push_back({noise(300) + "\ta@example.net", noise(50) + " <o@example.org>", noise(200), noise(2000)});
  for (const auto& in : inputs) {
    ComposedMail mail;
    std::string error = ComposeMail(fs_, in[0], in[1], in[2], in[3], "", &mail);
    if (!error.empty()) continue;
    for (size_t i = 0; i < mail.message.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(mail.message[i]);
      ASSERT_LT(c, 0x80u) << mail.message.substr(i > 200 ? i - 200 : 0, 300);
      if (c == '\n') {
        ASSERT_EQ(mail.message[i - 1], '\r');
      }
      if (c == '\r') {
        ASSERT_EQ(mail.message[i + 1], '\n');
      }
    }
    EXPECT_EQ(Headers(mail.message).find("\r\nBcc:"), std::string::npos);
    for (const std::string& a : mail.envelope) {
      EXPECT_EQ(a.find_first_of("\r\n<> "), std::string::npos) << a;
    }
  }
}

// ---------------------------------------------------------------------------
// Sending, against a scripted SMTP server on loopback.

class ScriptedSmtpServer {
 public:
  struct Txn {
    std::vector<std::string> accepted;
    bool data_done = false;
  };
  // Reply for one RCPT: (address, index of this RCPT in its transaction,
  // transaction number from 0).
  std::function<std::string(const std::string&, int, int)> rcpt_reply = [](const std::string&, int, int) {
    return std::string("250 OK");
  };
  // Reply at the end of DATA for transaction n.
  std::function<std::string(int)> data_reply = [](int) { return std::string("250 queued"); };
  // Reply to MAIL FROM for the k-th transaction (from 0) of a connection; a
  // 421 also closes the connection.
  std::function<std::string(int)> mail_reply = [](int) { return std::string("250 OK"); };

  ScriptedSmtpServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 8);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~ScriptedSmtpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  void Start() { thread_ = std::thread([this] { Serve(); }); }
  int port() const { return port_; }
  std::vector<Txn> transactions() {
    std::lock_guard<std::mutex> lock(mu_);
    return txns_;
  }
  int connections() const { return connections_; }

 private:
  bool ReadLine(int c, std::string* buffer, std::string* line) {
    // Bounded: each wait is at most 100 ms and the whole call 10 s.
    for (int rounds = 0; rounds < 100 && !stop_; ++rounds) {
      size_t nl = buffer->find("\r\n");
      if (nl != std::string::npos) {
        *line = buffer->substr(0, nl);
        buffer->erase(0, nl + 2);
        return true;
      }
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[65536];
      ssize_t n = recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer->append(chunk, static_cast<size_t>(n));
      rounds = 0;
    }
    return false;
  }
  void Send(int c, const std::string& reply) {
    std::string line = reply + "\r\n";
    send(c, line.data(), line.size(), MSG_NOSIGNAL);
  }
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      ++connections_;
      Session(c);
      close(c);
    }
  }
  void Session(int c) {
    std::string buffer, line;
    Send(c, "220 scripted ESMTP");
    int rcpt_index = 0;
    int mails_on_connection = 0;
    bool in_txn = false;
    while (ReadLine(c, &buffer, &line)) {
      std::string verb = line.substr(0, 4);
      for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (verb == "EHLO" || verb == "HELO") {
        Send(c, "250 scripted");
      } else if (verb == "MAIL") {
        std::string reply = mail_reply(mails_on_connection++);
        if (reply[0] != '2') {
          Send(c, reply);
          if (StartsWith(reply, "421")) return;
          continue;
        }
        std::lock_guard<std::mutex> lock(mu_);
        txns_.emplace_back();
        in_txn = true;
        rcpt_index = 0;
        Send(c, reply);
      } else if (verb == "RCPT") {
        std::string address = line.substr(line.find('<') + 1);
        address = address.substr(0, address.find('>'));
        int txn;
        {
          std::lock_guard<std::mutex> lock(mu_);
          txn = static_cast<int>(txns_.size()) - 1;
        }
        std::string reply = rcpt_reply(address, rcpt_index++, txn);
        if (reply[0] == '2') {
          std::lock_guard<std::mutex> lock(mu_);
          txns_.back().accepted.push_back(address);
        }
        Send(c, reply);
      } else if (verb == "DATA") {
        Send(c, "354 go on");
        std::string data_line;
        while (ReadLine(c, &buffer, &data_line) && data_line != ".") {
        }
        int txn;
        {
          std::lock_guard<std::mutex> lock(mu_);
          txn = static_cast<int>(txns_.size()) - 1;
        }
        std::string reply = data_reply(txn);
        if (reply[0] == '2') {
          std::lock_guard<std::mutex> lock(mu_);
          txns_.back().data_done = true;
        }
        Send(c, reply);
        in_txn = false;
      } else if (verb == "RSET") {
        Send(c, "250 OK");
      } else if (verb == "QUIT") {
        Send(c, "221 bye");
        return;
      } else {
        Send(c, "502 unknown");
      }
    }
    (void)in_txn;
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::mutex mu_;
  std::vector<Txn> txns_;
};

class MailSendTest : public ::testing::Test {
 protected:
  MailSendTest() : clock_(LocalTime{2024, 5, 6, 7, 8, 9}), log_(fs_, clock_, dir_.path()) {
    log_.EnsureLogFolders();
    options_.connect_timeout_seconds = 5;
    options_.transfer_timeout_seconds = 20;
  }
  std::string Send(const std::string& server, const std::string& recipients) {
    MailSender sender(fs_, log_, options_);
    return sender.SendMail(server, recipients, "owner@example.org", "件名", "本文", "");
  }
  std::vector<std::string> LogLines() {
    std::string text = Cp932ToUtf8(ReadAll(log_.MainLogPath()));
    std::vector<std::string> lines;
    for (const std::string& l : Split(text, "\r\n")) {
      if (!l.empty()) lines.push_back(l);
    }
    return lines;
  }
  static std::string Members(int n, const std::string& head = "@members\tbcc") {
    std::string r = head;
    for (int i = 1; i <= n; ++i) r += "\tm" + std::to_string(i) + "@example.net";
    return r + "\t>Message-ID: Kelmora";
  }

  TempFolder dir_;
  RealFileSystem fs_;
  FixedClock clock_;
  Logger log_;
  MailOptions options_;
};

TEST_F(MailSendTest, BadServerStringsFailWithoutConnecting) {
  for (const char* server : {"", "   ", "ftp://127.0.0.1", "127.0.0.1:", "127.0.0.1:99999", "127.0.0.1:2x",
                             "host name", "smtp://:25"}) {
    std::string result = Send(server, "a@example.net");
    EXPECT_TRUE(StartsWith(result, "SendMail failed")) << server << " -> " << result;
  }
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, PartialRefusalIsSuccessAndLogsEachRefusedRecipient) {
  ScriptedSmtpServer server;
  server.rcpt_reply = [](const std::string& a, int, int) {
    return a == "m2@example.net" ? std::string("550 5.1.1 no such user") : std::string("250 OK");
  };
  server.Start();
  std::string url = "smtp://127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(Send(url, Members(3)), "");
  auto txns = server.transactions();
  ASSERT_EQ(txns.size(), 1u);
  EXPECT_EQ(txns[0].accepted, (std::vector<std::string>{"m1@example.net", "m3@example.net"}));
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "SendMailの宛先エラー<m2@example.net>:550 5.1.1 no such user (smtp://127.0.0.1:" +
                          std::to_string(server.port()) + ") at 20240506-070809");
}

TEST_F(MailSendTest, EveryRecipientRefusedIsAFailureNamingTheReply) {
  ScriptedSmtpServer server;
  server.rcpt_reply = [](const std::string&, int, int) { return std::string("550 5.7.1 relaying denied"); };
  server.Start();
  std::string result = Send("127.0.0.1:" + std::to_string(server.port()), Members(2));
  EXPECT_NE(result.find("RCPT TO"), std::string::npos) << result;
  EXPECT_NE(result.find("550 5.7.1 relaying denied"), std::string::npos) << result;
  EXPECT_NE(result.find("127.0.0.1:" + std::to_string(server.port())), std::string::npos) << result;
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, LargeListGoesInTransactionsOfAtMostTheLimit) {
  ScriptedSmtpServer server;
  server.Start();
  EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), Members(250)), "");
  auto txns = server.transactions();
  ASSERT_EQ(txns.size(), 3u);
  EXPECT_EQ(txns[0].accepted.size(), 100u);
  EXPECT_EQ(txns[1].accepted.size(), 100u);
  EXPECT_EQ(txns[2].accepted.size(), 50u);
  EXPECT_EQ(server.connections(), 1);  // one connection for all three
}

TEST_F(MailSendTest, TooManyRecipientsRepliesAreSentAgainAndTheLoopEnds) {
  {
    // The server takes 30 per transaction and answers 452 after that.
    ScriptedSmtpServer server;
    server.rcpt_reply = [](const std::string&, int index, int) {
      return index < 30 ? std::string("250 OK") : std::string("452 4.5.3 Too many recipients");
    };
    server.Start();
    EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), Members(130)), "");
    std::set<std::string> reached;
    for (const auto& t : server.transactions()) {
      EXPECT_LE(t.accepted.size(), 30u);
      reached.insert(t.accepted.begin(), t.accepted.end());
    }
    EXPECT_EQ(reached.size(), 130u);
    EXPECT_TRUE(LogLines().empty());
  }
  {
    // A server that answers 452 to everyone after the first transaction:
    // no endless retry; the ones left are logged, the message counts as sent.
    ScriptedSmtpServer server;
    server.rcpt_reply = [](const std::string&, int index, int txn) {
      return txn == 0 && index < 10 ? std::string("250 OK") : std::string("452 4.3.1 Insufficient storage");
    };
    server.Start();
    EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), Members(40)), "");
    EXPECT_LE(server.transactions().size(), 3u);
    EXPECT_EQ(LogLines().size(), 30u);
  }
}

TEST_F(MailSendTest, DataRefusedInALaterTransactionLogsOnlyThoseRecipients) {
  ScriptedSmtpServer server;
  server.data_reply = [](int txn) { return txn == 1 ? std::string("554 5.6.0 rejected") : std::string("250 OK"); };
  server.Start();
  options_.max_recipients_per_transaction = 2;
  EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), Members(5)), "");
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("<m3@example.net>:end of data: 554 5.6.0 rejected"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("<m4@example.net>"), std::string::npos) << lines[1];
}

TEST_F(MailSendTest, SessionLimitOfTheServerCostsANewConnectionNotRecipients) {
  ScriptedSmtpServer server;
  server.mail_reply = [](int k) {
    return k == 0 ? std::string("250 OK") : std::string("421 4.7.0 too many messages in this session");
  };
  server.Start();
  options_.max_recipients_per_transaction = 2;
  EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), Members(5)), "");
  std::set<std::string> reached;
  for (const auto& t : server.transactions()) reached.insert(t.accepted.begin(), t.accepted.end());
  EXPECT_EQ(reached.size(), 5u);
  EXPECT_EQ(server.connections(), 3);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, SilentServerIsGivenUpWithinTheTimeOuts) {
  // Listens (the kernel completes the handshake) but never says a word.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  options_.connect_timeout_seconds = 1;
  options_.transfer_timeout_seconds = 2;
  auto start = std::chrono::steady_clock::now();
  std::string result = Send("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), Members(150));
  auto elapsed = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_TRUE(StartsWith(result, "SendMail failed")) << result;
  EXPECT_LT(elapsed, std::chrono::seconds(6)) << result;
}

TEST_F(MailSendTest, DataRefusedForEveryoneAndServerDownAreFailures) {
  {
    ScriptedSmtpServer server;
    server.data_reply = [](int) { return std::string("451 4.3.0 try later"); };
    server.Start();
    std::string result = Send("127.0.0.1:" + std::to_string(server.port()), Members(3));
    EXPECT_NE(result.find("451 4.3.0 try later"), std::string::npos) << result;
  }
  {
    int port;
    {
      ScriptedSmtpServer closed;  // bound and closed again: nobody listens
      port = closed.port();
    }
    auto start = std::chrono::steady_clock::now();
    std::string result = Send("127.0.0.1:" + std::to_string(port), Members(300));
    EXPECT_TRUE(StartsWith(result, "SendMail failed")) << result;
    EXPECT_NE(result.find("connect"), std::string::npos) << result;
    // One attempt, not one per transaction.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(MailSendTest, SavedCopyIsWrittenOnlyAfterASend) {
  ScriptedSmtpServer server;
  server.Start();
  std::string save = dir_.path() + "/log";
  std::string recipients = "list@example.org\tbcc\tm@example.net\t>Message-ID: Kelmora\t>#save " + save;
  EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), recipients), "");
  EXPECT_EQ(Send("127.0.0.1:" + std::to_string(server.port()), recipients), "");
  std::vector<std::string> copies;
  for (const auto& e : std::filesystem::directory_iterator(save)) {
    if (StartsWith(e.path().filename().string(), "sentmail_")) copies.push_back(e.path().string());
  }
  ASSERT_EQ(copies.size(), 2u);  // two sends in one second: two names
  std::string copy = ReadAll(copies[0]);
  EXPECT_NE(copy.find("Message-Id: <Kelmora."), std::string::npos);
  EXPECT_EQ(copy.find("m@example.net"), std::string::npos);

  std::string failed = Send("127.0.0.1:1", recipients);
  EXPECT_NE(failed, "");
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(save)) n += StartsWith(e.path().filename().string(), "sentmail_");
  EXPECT_EQ(n, 2u);
}

}  // namespace
}  // namespace kelmora
