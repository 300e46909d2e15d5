// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/maildir.h"
#include "mime/mail_composer.h"
#include "tests/support/recipient_items.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "mime/mail_reader.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/temp_folder.h"
#include "textio/clock.h"
#include "textio/codepage.h"
#include "textio/strings.h"

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
    Status composed = ComposeMail(fs_, clock_, MessageFromItems(recipients, from, subject, body, attachments), &mail);
    EXPECT_TRUE(composed.ok()) << composed.message();
    return mail;
  }
  ReceivedMail ReadBack(const ComposedMail& mail) {
    std::ofstream(dir_.path() + "/sent.eml", std::ios::binary) << mail.message;
    ReceivedMail back;
    Status s = ReadMailFile(fs_, "sent.eml", dir_.path(), &back);
    EXPECT_TRUE(s.ok()) << s.message();
    return back;
  }

  RealFileSystem fs_;
  FixedClock clock_{LocalTime{2024, 5, 6, 7, 8, 9}};
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
  // No header line but the program's own: the items' header lines are dropped.
  EXPECT_EQ(headers.find("Reply-To"), std::string::npos) << headers;
  EXPECT_EQ(headers.find("X-ML-Name"), std::string::npos) << headers;
  EXPECT_EQ(headers.find("#save"), std::string::npos);
}

TEST_F(MailBuildTest, VisibleRecipientForms) {
  // "@" + name: an empty group, nobody in the envelope for it.
  ComposedMail group = Build("@メンバー各位\tbcc\tm1@example.net");
  EXPECT_EQ(group.envelope, (std::vector<std::string>{"m1@example.net"}));
  ReceivedMail group_back = ReadBack(group);
  EXPECT_EQ(group_back.ToName, "メンバー各位");
  EXPECT_EQ(group_back.ToAddress, "");
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
  ReceivedMail single_back = ReadBack(single);
  EXPECT_EQ(single_back.ToAddress, "member@example.net");
  EXPECT_EQ(single_back.ToName, "");
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

// The host and process that make names unique come through the clock, so
// that what the system says can be tried: an odd host name never breaks a
// Message-ID or a Maildir file name.
TEST_F(MailBuildTest, NamesTakeHostProcessAndRandomFromTheClock) {
  clock_.pid = 0x1234;
  clock_.random = 0x99abcdefULL;
  struct Case {
    const char* host;
    const char* message_id_domain;  // for a sender without a dotted domain
    const char* maildir_host;       // the end of a Maildir file name
  };
  for (const Case& c : {Case{"Mail.Example.TEST", "mail.example.test", ".Mail.Example.TEST"},
                        Case{"a/b:c", "localhost.localdomain", ".a\\057b\\072c"},
                        Case{"", "localhost.localdomain", ".localhost"}}) {
    SCOPED_TRACE(c.host);
    clock_.host = c.host;
    ComposedMail mail = Build("a@example.net\t>Message-ID: Kelmora", "s", "b", "", "owner@[127.0.0.1]");
    const std::string local = mail.message_id.substr(0, mail.message_id.find('@'));
    EXPECT_NE(local.find(".1234."), std::string::npos) << local;
    EXPECT_TRUE(EndsWith(local, ".99abcdef")) << local;
    EXPECT_EQ(mail.message_id.substr(mail.message_id.find('@') + 1), c.message_id_domain);
    const std::string name = MaildirUniqueName(clock_);
    EXPECT_NE(name.find("P4660R0000000099abcdef."), std::string::npos) << name;
    EXPECT_TRUE(EndsWith(name, c.maildir_host)) << name;
  }
}

TEST_F(MailBuildTest, DateAndMessageIdFollowTheClock) {
  clock_.SetEpochMicros(1'700'000'000'000'000);  // 2023-11-14 22:13:20 UTC
  ComposedMail mail = Build("a@example.net\t>Message-ID: Kelmora");
  std::string date = Headers(mail.message);
  date = date.substr(date.find("Date: "));
  date = date.substr(0, date.find("\r\n"));
  EXPECT_NE(date.find(" Nov 2023 "), std::string::npos) << date;
  // The first unique field is the clock's microseconds, in hex.
  const std::string unique = mail.message_id.substr(std::string("Kelmora.").size());
  const unsigned long long micros = std::stoull(unique.substr(0, unique.find('.')), nullptr, 16);
  EXPECT_GT(micros, 1'700'000'000'000'000ULL);
  EXPECT_LT(micros, 1'700'000'000'000'010ULL);
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
  ReceivedMail r = ReadBack(mail);
  EXPECT_EQ(r.Subject, subject);
  EXPECT_EQ(r.Body, "一行目①\r\n二行目～\r\n\r\n.dot line\r\nlast");
  EXPECT_EQ(r.FromAddress, "owner@example.org");
  EXPECT_EQ(r.FromName, "");

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
  ReceivedMail r = ReadBack(mail);
  const std::vector<std::string> files(r.AttachmentFiles.begin() + 1, r.AttachmentFiles.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], a);
  EXPECT_EQ(files[1], b);
  EXPECT_EQ(ReadAll(files[0]), pdf);
  EXPECT_EQ(ReadAll(files[1]), bin);
  EXPECT_EQ(r.Body, "see");

  ComposedMail unused;
  Status error = ComposeMail(
      fs_, clock_, MessageFromItems("a@example.net", "o@example.org", "s", "b", dir_.path() + "/missing.txt"), &unused);
  EXPECT_NE(error.message().find("missing.txt"), std::string::npos) << error.message();
  error = ComposeMail(fs_, clock_, MessageFromItems("a@example.net", "", "s", "b", ""), &unused);
  EXPECT_FALSE(error.ok());
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
    if (!ComposeMail(fs_, clock_, MessageFromItems(in[0], in[1], in[2], in[3], ""), &mail).ok()) continue;
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
// Headers every reader can parse

namespace {

// The unfolded value of the first header `name` ("" when absent), with the
// blank after the colon.
std::string HeaderLine(const std::string& message, const std::string& name) {
  const std::string headers = "\r\n" + Headers(message);
  size_t at = headers.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at += 2 + name.size() + 1;
  size_t end = at;
  while (true) {
    end = headers.find("\r\n", end);
    if (end == std::string::npos || end + 2 >= headers.size() || (headers[end + 2] != ' ' && headers[end + 2] != '\t'))
      break;
    end += 2;
  }
  return ReplaceAll(headers.substr(at, end - at), "\r\n", "");
}

// The physical lines of a header, as written (folds kept).
std::vector<std::string> HeaderLines(const std::string& message, const std::string& name) {
  std::vector<std::string> lines;
  bool in = false;
  for (const std::string& line : Split(Headers(message), "\r\n")) {
    if (StartsWith(line, name + ":")) {
      in = true;
    } else if (in && !(StartsWith(line, " ") || StartsWith(line, "\t"))) {
      break;
    }
    if (in) lines.push_back(line);
  }
  return lines;
}

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string QDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

struct EncodedWord {
  std::string text;     // as written
  char form = 0;        // 'B' or 'Q'
  std::string decoded;  // its bytes
};

// A strict RFC 2047 reading of an unfolded unstructured value: blanks
// between two encoded-words vanish, all other text stays exactly.
std::string DecodeValue(const std::string& value, std::vector<EncodedWord>* words) {
  static const std::regex kWord(R"(=\?UTF-8\?([BQ])\?([^?]*)\?=)");
  std::string out, pending_blanks;
  bool last_was_word = false;
  size_t pos = 0;
  for (std::sregex_iterator it(value.begin(), value.end(), kWord), end; it != end; ++it) {
    const std::string between = value.substr(pos, static_cast<size_t>(it->position()) - pos);
    const bool only_blanks = between.find_first_not_of(" \t") == std::string::npos;
    if (!(last_was_word && only_blanks)) out += between;
    EncodedWord w{it->str(), (*it)[1].str()[0], ""};
    w.decoded = w.form == 'B' ? Base64Decode((*it)[2].str()) : QDecode((*it)[2].str());
    out += w.decoded;
    if (words) words->push_back(w);
    last_was_word = true;
    pos = static_cast<size_t>(it->position() + it->length());
  }
  return out + value.substr(pos);
}

bool IsWholeUtf8(const std::string& bytes) { return SanitizeUtf8(bytes) == bytes; }

}  // namespace

TEST_F(MailBuildTest, LongJapaneseSubjectsSplitIntoShortWordsAtCharacterBoundaries) {
  const std::vector<std::string> subjects = {
      "[club:0012(25)] さくら写真クラブの春の撮影会のお知らせと参加申し込みについてのご案内",
      "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよ",
      // A four-byte character first: every later boundary leaves a remainder
      // of one byte, so padding-free base64 words cannot be cut.
      "😀あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろ",
      "Re: 会議 the meeting  on  Monday 月曜日 at 10:00 😀 end",
      "x=?not-a-word?= ａｂｃ①～髙",
  };
  for (const std::string& subject : subjects) {
    ComposedMail mail = Build("a@example.net", subject);
    for (const std::string& line : HeaderLines(mail.message, "Subject")) EXPECT_LE(line.size(), 78u) << line;
    std::vector<EncodedWord> words;
    EXPECT_EQ(DecodeValue(HeaderLine(mail.message, "Subject").substr(1), &words), subject);
    ASSERT_FALSE(words.empty()) << subject;
    for (size_t i = 0; i < words.size(); ++i) {
      EXPECT_LE(words[i].text.size(), 75u) << words[i].text;
      EXPECT_TRUE(IsWholeUtf8(words[i].decoded)) << "a word ends inside a character: " << words[i].text;
      if (i + 1 < words.size()) {
        EXPECT_EQ(words[i].text.find("=?="), std::string::npos) << "padding: " << words[i].text;
      }
    }
    // Kelmora's own reader gets the same text back.
    EXPECT_EQ(ReadBack(mail).Subject, subject);
  }
}

TEST_F(MailBuildTest, SubjectKeepsItsBlanksExactly) {
  for (const std::string& subject : {std::string("  Fw:hello  "), std::string(" お知らせ "), std::string("Fw: "),
                                     std::string("   "), std::string("a  b")}) {
    ComposedMail mail = Build("a@example.net", subject);
    // Readers strip blanks around a value: what survives must be encoded.
    const std::string value = HeaderLine(mail.message, "Subject").substr(1);
    EXPECT_EQ(DecodeValue(value, nullptr), subject) << value;
  }
  // Plain ASCII stays readable as it is.
  EXPECT_EQ(HeaderLine(Build("a@example.net", "Fw:hello").message, "Subject"), " Fw:hello");
}

TEST_F(MailBuildTest, JapaneseGroupNameIsSeparatedFromItsColon) {
  ComposedMail mail = Build("@さくら写真クラブ\tbcc\tm1@example.net");
  const std::string to = HeaderLine(mail.message, "To");
  EXPECT_TRUE(EndsWith(to, "?= :;")) << to;
  EXPECT_EQ(DecodeValue(to.substr(1, to.size() - 4), nullptr), "さくら写真クラブ");
  ReceivedMail back = ReadBack(mail);
  EXPECT_EQ(back.ToName, "さくら写真クラブ");
  EXPECT_EQ(back.ToAddress, "");
  // ASCII names keep their old form.
  EXPECT_EQ(HeaderLine(Build("@Club Members\tbcc\tm1@example.net").message, "To"), " Club Members:;");
  EXPECT_EQ(HeaderLine(Build("@\tbcc\tm1@example.net").message, "To"), " undisclosed-recipients:;");
}

TEST_F(MailBuildTest, LongJapaneseAttachmentNamesAreCutBetweenCharacters) {
  const std::string name = "とても長い日本語の添付ファイル名のテストです①書類一覧表（最新版）.txt";
  std::filesystem::create_directory(dir_.path() + "/src");
  const std::string path = dir_.path() + "/src/" + name;
  std::ofstream(path, std::ios::binary) << "plain text\r\n";
  ComposedMail mail = Build("a@example.net", "s", "b", path);
  const std::string part = mail.message.substr(mail.message.find("Content-Disposition: attachment"));
  static const std::regex kSegment(R"(filename\*(\d+)\*=(?:UTF-8'')?([^;\r\n]*))");
  std::string joined;
  int segments = 0;
  for (std::sregex_iterator it(part.begin(), part.end(), kSegment), end; it != end; ++it) {
    EXPECT_EQ(std::stoi((*it)[1].str()), segments);
    std::string bytes;
    const std::string text = (*it)[2].str();
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '%') {
        bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        bytes += text[i];
      }
    }
    EXPECT_TRUE(IsWholeUtf8(bytes)) << "segment " << segments << " cuts a character";
    EXPECT_LE(it->length() + 2, 78);
    joined += bytes;
    ++segments;
    if (part.compare(static_cast<size_t>(it->position() + it->length()), 1, ";") != 0) break;
  }
  EXPECT_GT(segments, 1);
  EXPECT_EQ(joined, name);
  // And the reader stores the attachment under its whole name.
  ReceivedMail back = ReadBack(mail);
  ASSERT_EQ(back.AttachmentCount(), 1);
  EXPECT_TRUE(EndsWith(back.AttachmentFiles[1], "/" + name)) << back.AttachmentFiles[1];
}

TEST_F(MailBuildTest, AttachmentsGetTheContentTypeOfTheirContent) {
  EXPECT_EQ(AttachmentContentType("plain text\r\n"), "text/plain; charset=us-ascii");
  EXPECT_EQ(AttachmentContentType("日本語のテキストです。\r\n"), "text/plain; charset=utf-8");
  EXPECT_EQ(AttachmentContentType(Utf8ToCp932("日本語のテキストです。①\r\n")), "text/plain; charset=Shift_JIS");
  EXPECT_EQ(AttachmentContentType("<!DOCTYPE html>\n<html><head><title>x</title></head><body>x</body></html>\n"),
            "text/html; charset=us-ascii");
  EXPECT_EQ(AttachmentContentType(std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 33)),
            "image/png");
  EXPECT_EQ(AttachmentContentType(std::string("\x01\x02\x03\xff\xfe\x00\x10\x80", 8)), "application/octet-stream");
  EXPECT_EQ(AttachmentContentType(""), "text/plain; charset=us-ascii");

  // In the message: a .txt file is text/plain with its charset, not opaque data.
  const std::string path = dir_.path() + "/memo.txt";
  std::ofstream(path, std::ios::binary) << Utf8ToCp932("お知らせ\r\n");
  ComposedMail mail = Build("a@example.net", "s", "b", path);
  EXPECT_NE(mail.message.find("Content-Type: text/plain; charset=Shift_JIS; name=memo.txt"), std::string::npos)
      << mail.message;
}

TEST_F(MailBuildTest, ProgramHeadersCannotBeRemovedOrOverriddenByHeaderItems) {
  const std::string items =
      "list@example.org\tbcc\tm1@example.net\t>Message-ID: Kelmora"
      "\t>List-Id: <evil.example.net>\t>list-post: <mailto:evil@example.net>\t>X-Loop: evil@example.net"
      "\t>Precedence: bulk\t>Auto-Submitted: no\t>List-Help: <mailto:evil@example.net>\t>In-Reply-To: <x@evil>"
      "\t;List-Id: <club.example.org>\t;List-Post: <mailto:list@example.org>"
      "\t;List-Unsubscribe: <mailto:leave@example.org?subject=%E9%80%80%E4%BC%9A>\t;X-Loop: list@example.org"
      "\t;Precedence: list\t;Bogus: x";
  ComposedMail mail = Build(items);
  const std::string headers = Headers(mail.message);
  EXPECT_EQ(HeaderLine(mail.message, "List-Id"), " <club.example.org>");
  EXPECT_EQ(HeaderLine(mail.message, "List-Post"), " <mailto:list@example.org>");
  EXPECT_EQ(HeaderLine(mail.message, "List-Unsubscribe"), " <mailto:leave@example.org?subject=%E9%80%80%E4%BC%9A>");
  EXPECT_EQ(HeaderLine(mail.message, "X-Loop"), " list@example.org");
  EXPECT_EQ(HeaderLine(mail.message, "Precedence"), " list");
  for (const char* bad : {"evil", "List-Help", "Auto-Submitted", "In-Reply-To", "Bogus"}) {
    EXPECT_EQ(headers.find(bad), std::string::npos) << bad << " in\n" << headers;
  }
  EXPECT_EQ(mail.envelope, (std::vector<std::string>{"list@example.org", "m1@example.net"}));
  EXPECT_EQ(mail.invalid, (std::vector<std::string>{";Bogus: x"}));

  // The program's headers as the send methods set them.
  OutgoingMessage direct = MessageFromItems("taro@example.net", "owner@example.org", "s", "b");
  direct.headers.auto_submitted = "auto-replied";
  direct.headers.in_reply_to = "<req@example.net>";
  direct.headers.references = "<a@example.net> broken <b@example.net>  <req@example.net>";
  ComposedMail reply;
  ASSERT_TRUE(ComposeMail(fs_, clock_, direct, &reply).ok());
  EXPECT_EQ(HeaderLine(reply.message, "Auto-Submitted"), " auto-replied");
  EXPECT_EQ(HeaderLine(reply.message, "In-Reply-To"), " <req@example.net>");
  EXPECT_EQ(HeaderLine(reply.message, "References"), " <a@example.net> <b@example.net> <req@example.net>");
}

}  // namespace
}  // namespace kelmora
