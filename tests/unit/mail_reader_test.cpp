// SPDX-License-Identifier: GPL-3.0-or-later
#include "mime/mail_reader.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

std::string B64(const std::string& bytes) {
  gchar* s = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(s);
  g_free(s);
  return out;
}

// ISO-2022-JP bytes: "テスト①" (① is NEC row 13) and "髙" (NEC-selected IBM
// extension, row 92), as Windows mailers send them.
const std::string kJisTestCircled = "\x1b$B%F%9%H-!\x1b(B";
const std::string kJisTaka = "\x1b$B|b\x1b(B";
// Code page 932 bytes of "テスト①～" and "本文です①".
const std::string kSjisTestCircledTilde = "\x83\x65\x83\x58\x83\x67\x87\x40\x81\x60";
const std::string kSjisBody = "\x96\x7b\x95\xb6\x82\xc5\x82\xb7\x87\x40";

class MailReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelmora_reader_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Stores `raw` as the next message of the folder and reads it.
  Status TryRead(const std::string& raw, ReceivedMail* mail) {
    std::string name = "m" + std::to_string(++count_) + ".eml";
    std::ofstream(dir_ + "/" + name, std::ios::binary) << raw;
    return ReadMailFile(fs_, name, dir_, mail);
  }
  // The same for a message that must be readable.
  ReceivedMail Read(const std::string& raw) {
    ReceivedMail mail;
    Status s = TryRead(raw, &mail);
    EXPECT_TRUE(s.ok()) << s.message();
    return mail;
  }

  static std::vector<std::string> Files(const ReceivedMail& m) {
    return std::vector<std::string>(m.AttachmentFiles.begin() + 1, m.AttachmentFiles.end());
  }
  // Every text field, for checks that hold for all of them.
  static std::vector<std::string> Texts(const ReceivedMail& m) {
    std::vector<std::string> texts{m.ToAddress, m.ToName, m.FromAddress, m.FromName, m.Subject, m.Body,
                                   m.AutoSubmitted, m.Precedence, m.ListId, m.ReturnPath, m.XLoop, m.MessageId,
                                   m.References, m.InReplyTo};
    for (const Addressee& a : m.Recipients) texts.insert(texts.end(), {a.address, a.name});
    texts.insert(texts.end(), m.AttachmentFiles.begin(), m.AttachmentFiles.end());
    return texts;
  }
  // A delivery report's recipients as "action address status".
  static std::vector<std::string> Reported(const ReceivedMail& m) {
    std::vector<std::string> out;
    for (const ReportedRecipient& r : m.DeliveryStatus) out.push_back(r.action + " " + r.address + " " + r.status);
    return out;
  }
  static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  RealFileSystem fs_;
  std::string dir_;
  int count_ = 0;
};

TEST_F(MailReaderTest, Iso2022JpHeadersAndBodyKeepNecExtensions) {
  std::string raw =
      "From: =?ISO-2022-JP?B?" + B64("\x1b$B;3ED\x1b(B" + kJisTaka) + "?= <yamada@example.jp>\r\n"
      "To: =?iso-2022-jp?B?" + B64(kJisTestCircled) + "?= <list@example.jp>\r\n"
      "Subject: =?ISO-2022-JP?B?" + B64(kJisTestCircled) + "?= =?ISO-2022-JP?B?" + B64(kJisTaka) + "?= end\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
      "Content-Transfer-Encoding: 7bit\r\n\r\n" +
      kJisTestCircled + "\r\n" + kJisTaka + "\r\n";
  ReceivedMail r = Read(raw);
  EXPECT_EQ(r.ToName, "テスト①");
  EXPECT_EQ(r.ToAddress, "list@example.jp");
  EXPECT_EQ(r.FromName, "山田髙");
  EXPECT_EQ(r.FromAddress, "yamada@example.jp");
  // Blanks between two encoded-words vanish; the one before raw text stays.
  EXPECT_EQ(r.Subject, "テスト①髙 end");
  EXPECT_EQ(r.Body, "テスト①\r\n髙\r\n");
  EXPECT_TRUE(Files(r).empty());
}

TEST_F(MailReaderTest, JapaneseCharsetsDecodeWithCodePage932Extensions) {
  // Shift_JIS labels are read as code page 932: ① survives. The wave dash
  // is the label's own: the standard's 〜 (U+301C) for Shift_JIS, ～
  // (U+FF5E) for code page 932.
  for (const auto& [label, text] : std::vector<std::pair<const char*, const char*>>{
           {"Shift_JIS", "テスト①〜"}, {"shift-jis", "テスト①〜"}, {"x-sjis", "テスト①〜"},
           {"windows-31j", "テスト①～"}, {"CP932", "テスト①～"}}) {
    ReceivedMail r = Read(std::string("From: a@example.com\nContent-Type: text/plain; charset=\"") + label +
                          "\"\nContent-Transfer-Encoding: 8bit\n\n" + kSjisTestCircledTilde + "\n");
    EXPECT_EQ(r.Body, std::string(text) + "\r\n") << label;
  }
  // EUC-JP with the NEC row 13 (①) of the Microsoft variant.
  EXPECT_EQ(Read("Content-Type: text/plain; charset=EUC-JP\n\n\xcb\xdc\xca\xb8\xad\xa1\n").Body, "本文①\r\n");
  // An unknown label: tried as UTF-8, then as code page 932.
  EXPECT_EQ(Read("Content-Type: text/plain; charset=x-unknown-thing\n\n\xe6\x9c\xac\xe6\x96\x87\n").Body, "本文\r\n");
  EXPECT_EQ(Read("Content-Type: text/plain; charset=x-unknown-thing\n\n" + kSjisBody + "\n").Body,
            "本文です①\r\n");
  // No label and ISO-2022-JP escapes (old mailers).
  EXPECT_EQ(Read("Subject: plain\n\n" + kJisTestCircled + "\n").Body, "テスト①\r\n");
  // Raw 8-bit headers in code page 932 and UTF-8.
  ReceivedMail raw_sjis = Read("Subject: " + kSjisTestCircledTilde + "\nFrom: " + kSjisBody +
                               " <a@example.com>\n\nx\n");
  EXPECT_EQ(raw_sjis.Subject, "テスト①～");
  EXPECT_EQ(raw_sjis.FromName, "本文です①");
  EXPECT_EQ(raw_sjis.FromAddress, "a@example.com");
  EXPECT_EQ(Read("Subject: \xe4\xbb\xb6\xe5\x90\x8d\n\nx\n").Subject, "件名");
  // Invalid bytes never get through as invalid UTF-8.
  EXPECT_EQ(Read("Content-Type: text/plain; charset=utf-8\n\nok\xff\xfe end\n").Body,
            "ok\xEF\xBF\xBD\xEF\xBF\xBD end\r\n");
}

// A bounce as Postfix writes it: the report part names every recipient,
// and the To and Cc mailboxes come out one by one.
TEST_F(MailReaderTest, ReportPartAndEveryRecipientAreItems) {
  const std::string dsn =
      "From: Mail Delivery System <MAILER-DAEMON@example.test>\n"
      "To: club@example.test\n"
      "Cc: \"=?UTF-8?B?5aSq6YOO?=\" <taro@example.test>, Friends: a@x.test, b@x.test;\n"
      "Subject: Undelivered Mail Returned to Sender\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status; boundary=\"B\"\n\n"
      "--B\nContent-Type: text/plain; charset=us-ascii\n\n<dead1@example.test>: unknown user\n"
      "--B\nContent-Type: message/delivery-status\n\n"
      "Reporting-MTA: dns; mx.example.test\n\n"
      "Final-Recipient: rfc822; dead1@example.test\nAction: failed\nStatus: 5.1.1\n\n"
      "Final-Recipient: rfc822; dead2@example.test\nAction: failed\nStatus: 5.1.1\n"
      "--B\nContent-Type: message/rfc822\n\n"
      "Subject: post\nContent-Type: multipart/report; report-type=delivery-status; boundary=\"C\"\n\n"
      "--C\nContent-Type: message/delivery-status\n\nFinal-Recipient: rfc822; old@example.test\n"
      "Action: failed\n--C--\n"
      "--B--\n";
  ReceivedMail r = Read(dsn);
  std::vector<std::string> recipients;
  for (const Addressee& a : r.Recipients) recipients.push_back(a.name + " <" + a.address + ">");
  EXPECT_EQ(recipients, (std::vector<std::string>{" <club@example.test>", "太郎 <taro@example.test>",
                                                  " <a@x.test>", " <b@x.test>"}));
  EXPECT_EQ(Reported(r),
            (std::vector<std::string>{"failed dead1@example.test 5.1.1", "failed dead2@example.test 5.1.1"}))
      << "the returned message's own report is not the bounce's";
  ASSERT_GE(r.AttachmentCount(), 1);
  EXPECT_TRUE(EndsWith(r.AttachmentFiles.back(), "/post.eml")) << "the returned message is still an attachment";
  EXPECT_TRUE(r.DeliveryStatus[1].Failed());
  // Plain mail: no report; its one recipient.
  ReceivedMail plain = Read("To: a@x.test\nSubject: hi\n\nbody\n");
  EXPECT_TRUE(plain.DeliveryStatus.empty());
  ASSERT_EQ(plain.Recipients.size(), 1u);
  EXPECT_EQ(plain.Recipients[0].address, "a@x.test");
}

TEST_F(MailReaderTest, TransferEncodingsAndLineBreaks) {
  ReceivedMail qp = Read(
      "Subject: =?UTF-8?Q?caf=C3=A9_=E2=91=A0?=\n"
      "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: quoted-printable\n\n"
      "=E6=9C=AC=E6=96=87 soft=\nbreak\nline two=20\n");
  EXPECT_EQ(qp.Subject, "café ①");
  EXPECT_EQ(qp.Body, "本文 softbreak\r\nline two \r\n");

  // base64 of Shift_JIS text with LF-only and CR-only line ends inside.
  ReceivedMail b64 = Read("Content-Type: text/plain; charset=Shift_JIS\nContent-Transfer-Encoding: base64\n\n" +
                          B64(kSjisBody + "\n" + kSjisBody + "\r" + "x\r\n") + "\n");
  EXPECT_EQ(b64.Body, "本文です①\r\n本文です①\r\nx\r\n");

  // A UTF-8 character split across two encoded-words decodes whole.
  std::string word = "\xe2\x91\xa0\xe2\x91\xa1";  // ①②
  ReceivedMail split = Read("Subject: =?UTF-8?B?" + B64(word.substr(0, 4)) + "?=\n =?UTF-8?B?" +
                            B64(word.substr(4)) + "?=\n\nx\n");
  EXPECT_EQ(split.Subject, "①②");

  // A subject folded over lines comes out on one line; a missing subject
  // gives an empty one, and so does a missing To.
  ReceivedMail folded = Read("Subject: first\r\n second\r\n\r\nbody");
  EXPECT_EQ(folded.Subject, "first second");
  EXPECT_EQ(folded.Body, "body");
  ReceivedMail none = Read("From: a@example.com\n\nbody\n");
  EXPECT_EQ(none.Subject, "");
  EXPECT_EQ(none.ToAddress + none.ToName, "");
}

// Some mailers send no empty line between header and body; the body must
// not be lost. Where an empty line exists, a stray line is left to GMime.
TEST_F(MailReaderTest, MissingEmptyLineAfterHeaderKeepsTheBody) {
  ReceivedMail crlf = Read("From: a@example.com\r\nSubject: s\r\n\tfolded\r\nthe body, with: a colon\r\nline 2\r\n");
  EXPECT_EQ(crlf.FromAddress, "a@example.com");
  EXPECT_EQ(crlf.Subject, "s folded");
  EXPECT_EQ(crlf.Body, "the body, with: a colon\r\nline 2\r\n");
  ReceivedMail lf = Read("Subject: s\n\xe6\x9c\xac\xe6\x96\x87");
  EXPECT_EQ(lf.Subject, "s");
  EXPECT_EQ(lf.Body, "本文");
  // A header alone still has an empty body.
  ReceivedMail header_only = Read("Subject: s\r\nFrom: a@example.com\r\n");
  EXPECT_EQ(header_only.FromAddress, "a@example.com");
  EXPECT_EQ(header_only.Body, "");
  // A stray line (broken folding) followed by a field that is read, or by
  // an empty line further down, does not end the header.
  for (const std::string end : {"", "\r\nbody\r\n"}) {
    ReceivedMail stray = Read("Subject: s\r\nstray\r\nFROM : a@example.com\r\n" + end);
    EXPECT_EQ(stray.FromAddress, "a@example.com") << end;
    EXPECT_EQ(stray.Body, end.empty() ? "" : "body\r\n") << end;
  }
}

TEST_F(MailReaderTest, AddressFormsGiveTheAddressAndTheDisplayName) {
  struct Case {
    std::string header;
    std::string name;  // checked when check_name
    std::string address;
    bool check_name = true;
  };
  std::vector<Case> cases = {
      {"bare@example.com", "", "bare@example.com"},
      {"<angle@example.com>", "", "angle@example.com"},
      {"Plain Name <p@example.com>", "Plain Name", "p@example.com"},
      {"\"Quoted, Name\" <q@example.com>, second@example.com", "Quoted, Name", "q@example.com"},
      {"first@example.com, Second <s@example.com>", "", "first@example.com"},
      {"=?UTF-8?B?" + B64("鈴木") + "?= <suzuki@example.jp>", "鈴木", "suzuki@example.jp"},
      {"\"=?Shift_JIS?B?" + B64(kSjisTestCircledTilde) + "?=\" <sj@example.jp>", "テスト①〜",
       "sj@example.jp"},  // Shift_JIS: the standard's wave dash
      {"Team: m1@example.com, m2@example.com;", "", "m1@example.com"},
      {"undisclosed-recipients:;", "undisclosed-recipients", ""},
      {"x@example.com (Comment Name)", "", "x@example.com", false},
      // Names that would fool the reading rules are cleaned.
      {"\"He said \\\"hi\\\"\" <h@example.com>", "He said \"hi\"", "h@example.com"},
      {"\"a@b.example <c@d.example>\" <real@example.com>", "", "real@example.com", false},
      {"=?UTF-8?B?" + B64("line\r\nbreak") + "?= <lb@example.com>", "line  break", "lb@example.com"},
  };
  for (const Case& c : cases) {
    ReceivedMail r = Read("To: " + c.header + "\nFrom: " + c.header + "\n\nx\n");
    EXPECT_EQ(r.ToAddress, c.address) << c.header;
    if (c.check_name) {
      EXPECT_EQ(r.ToName, c.name) << c.header;
    }
    EXPECT_EQ(r.FromAddress, r.ToAddress) << c.header;
    EXPECT_EQ(r.FromName, r.ToName) << c.header;
    EXPECT_EQ(r.ToName.find_first_of("\r\n"), std::string::npos) << c.header;
    // The recipients are read as To is.
    if (!c.address.empty()) {
      ASSERT_FALSE(r.Recipients.empty()) << c.header;
      EXPECT_EQ(r.Recipients[0].address, r.ToAddress) << c.header;
      EXPECT_EQ(r.Recipients[0].name, r.ToName) << c.header;
    }
  }
}

TEST_F(MailReaderTest, PlainMessageFillsItsFieldsAndLeavesTheOthersEmpty) {
  std::string raw = "To: t@example.com\nFrom: f@example.com\nSubject: s\n\nbody\n";
  ReceivedMail stale;
  stale.AutoSubmitted = stale.ListId = stale.XLoop = "stale";
  stale.HasReturnPath = true;
  stale.AttachmentFiles.push_back("/stale.pdf");
  ASSERT_TRUE(TryRead(raw, &stale).ok());
  EXPECT_EQ(stale.StoredName, "m1.eml");
  EXPECT_EQ(stale.ToAddress, "t@example.com");
  EXPECT_EQ(stale.FromAddress, "f@example.com");
  EXPECT_EQ(stale.ToName + stale.FromName, "");
  EXPECT_EQ(stale.Subject, "s");
  EXPECT_EQ(stale.Body, "body\r\n");
  EXPECT_EQ(stale.AttachmentFiles, std::vector<std::string>{""});
  EXPECT_FALSE(stale.HasReturnPath);
  EXPECT_EQ(stale.AutoSubmitted + stale.Precedence + stale.ListId + stale.ReturnPath + stale.XLoop +
                stale.MessageId + stale.References + stale.InReplyTo,
            "");
  EXPECT_EQ(stale.Recipients.size(), 1u);
  EXPECT_TRUE(stale.DeliveryStatus.empty());
}

TEST_F(MailReaderTest, AlternativePrefersPlainAndHtmlOnlyGivesItsText) {
  ReceivedMail alt = Read(
      "Content-Type: multipart/alternative; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/html; charset=utf-8\n\n<p>HTML version</p>\n"
      "--b\nContent-Type: text/plain; charset=utf-8\n\nplain version\n"
      "--b--\n");
  EXPECT_EQ(alt.Body, "plain version");
  EXPECT_TRUE(Files(alt).empty());

  EXPECT_EQ(Read(
      "Content-Type: text/html; charset=Shift_JIS\nContent-Transfer-Encoding: 8bit\n\n"
      "<html><head><title>t</title><style>p{color:red}</style></head><body>\n"
      "<p>" + kSjisBody + " &amp; &lt;tag&gt; &#x2460;&#9313;</p>\n<div>line<br>next</div>"
      "<script>var x = '<p>no</p>';</script><!-- hidden -->\n<p>   spaced    out  </p></body></html>\n").Body,
            "本文です① & <tag> ①②\r\nline\r\nnext\r\nspaced out");

  // HTML that names its charset only in a meta tag.
  EXPECT_EQ(Read(
      "Content-Type: multipart/alternative; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n" +
      B64("<meta charset=\"shift_jis\"><p>" + kSjisBody + "</p>") + "\n--b--\n").Body,
            "本文です①");
}

TEST_F(MailReaderTest, AttachmentsAreSavedUnderDecodedUniqueNames) {
  std::string pdf = std::string("%PDF-1.4\0\xff\xfe binary", 20);
  std::string raw =
      "Subject: files\n"
      "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
      "--mix\nContent-Type: text/plain; charset=utf-8\n\nsee attached\n"
      // RFC 2231, UTF-8, split over two sections.
      "--mix\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment;\n filename*0*=UTF-8''%E8%AD%B0%E4%BA%8B;\n filename*1*=%E9%8C%B2.pdf\n\n" +
      B64(pdf) + "\n"
      // RFC 2047 in a quoted name, ISO-2022-JP with ①.
      "--mix\nContent-Type: text/plain; name=\"=?ISO-2022-JP?B?" + B64(kJisTestCircled) + "?=.txt\"\n"
      "Content-Disposition: attachment\n\nattached text\n"
      "--mix--\n";
  ReceivedMail first = Read(raw);
  // The line break before a boundary belongs to the boundary.
  EXPECT_EQ(first.Body, "see attached");
  std::vector<std::string> files = Files(first);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], dir_ + "/議事録.pdf");
  EXPECT_EQ(files[1], dir_ + "/テスト①.txt");
  EXPECT_EQ(FileBytes(files[0]), pdf);
  EXPECT_EQ(FileBytes(files[1]), "attached text");

  // Reading again never overwrites: the new files get numbered names.
  std::ofstream(files[0], std::ios::binary) << "changed";
  ReceivedMail second = Read(raw);
  std::vector<std::string> again = Files(second);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0], dir_ + "/議事録(1).pdf");
  EXPECT_EQ(again[1], dir_ + "/テスト①(1).txt");
  EXPECT_EQ(FileBytes(files[0]), "changed");
  EXPECT_EQ(FileBytes(again[0]), pdf);
}

TEST_F(MailReaderTest, DangerousOrMissingFileNamesAreMadeSafe) {
  std::string raw =
      "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
      "--mix\nContent-Type: text/plain\n\nbody\n"
      "--mix\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"../../evil.sh\"\n\nA\n"
      "--mix\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"..\\\\win\\\\x.doc\"\n\nB\n"
      "--mix\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\".hidden\"\n\nC\n"
      "--mix\nContent-Type: image/png\nContent-Disposition: attachment\n\nD\n"
      "--mix\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"tab\tname.txt\"\n\nE\n"
      "--mix\nContent-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"" +
      std::string(300, 'x') + ".dat\"\n\nF\n"
      "--mix--\n";
  std::vector<std::string> files = Files(Read(raw));
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files[0], dir_ + "/evil.sh");
  EXPECT_EQ(files[1], dir_ + "/x.doc");
  EXPECT_EQ(files[2], dir_ + "/hidden");
  EXPECT_EQ(files[3], dir_ + "/attachment.png");
  EXPECT_EQ(files[4], dir_ + "/tabname.txt");
  EXPECT_EQ(files[5], dir_ + "/" + std::string(196, 'x') + ".dat");
  for (const std::string& f : files) {
    EXPECT_TRUE(std::filesystem::is_regular_file(f)) << f;
    EXPECT_EQ(std::filesystem::path(f).parent_path(), std::filesystem::path(dir_)) << f;
  }
}

TEST_F(MailReaderTest, ForwardedMessageIsSavedAsEml) {
  ReceivedMail r = Read(
      "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
      "--mix\nContent-Type: text/plain\n\nforwarding\n"
      "--mix\nContent-Type: message/rfc822\n\nSubject: =?UTF-8?B?" + B64("元の件名") + "?=\nFrom: o@example.com\n\ninner body\n"
      "--mix--\n");
  std::vector<std::string> files = Files(r);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], dir_ + "/元の件名.eml");
  std::string eml = FileBytes(files[0]);
  EXPECT_NE(eml.find("inner body"), std::string::npos);
  EXPECT_NE(eml.find("From: o@example.com\r\n"), std::string::npos);
  EXPECT_EQ(r.Body, "forwarding");
}

TEST_F(MailReaderTest, FailedAttachmentWriteLeavesNoFilesAndFails) {
  FakeFileSystem fake;
  fake.AddDir("recv");
  fake.AddFile("recv/m.eml",
               "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
               "--mix\nContent-Type: text/plain\n\nbody\n"
               "--mix\nContent-Disposition: attachment; filename=\"one.bin\"\n\n1\n"
               "--mix\nContent-Disposition: attachment; filename=\"two.bin\"\n\n2\n"
               "--mix--\n");
  fake.InjectFault(FakeFileSystem::kWrite, "two.bin");
  ReceivedMail r;
  Status s = ReadMailFile(fake, "m.eml", "recv", &r);
  EXPECT_TRUE(s.IsIOError()) << s.message();
  EXPECT_NE(s.message().find("two.bin"), std::string::npos) << s.message();
  EXPECT_EQ(r.AttachmentCount(), 0);
  EXPECT_FALSE(fake.HasFile("recv/one.bin"));
  EXPECT_FALSE(fake.HasFile("recv/two.bin"));
  EXPECT_TRUE(fake.HasFile("recv/m.eml"));
}

TEST_F(MailReaderTest, UnreadableAndNonMailInputFailsAndLeavesTheRecordAlone) {
  struct Case {
    const char* what;
    std::function<Status(ReceivedMail*)> read;
    Status::Code code;
    const char* named;  // in the message
  };
  const std::vector<Case> cases = {
      {"missing file", [&](ReceivedMail* m) { return ReadMailFile(fs_, "absent.eml", dir_, m); },
       Status::Code::kIOError, "absent.eml"},
      {"empty file", [&](ReceivedMail* m) { return TryRead("", m); }, Status::Code::kCorrupt, "ReadMail: "},
      {"binary garbage", [&](ReceivedMail* m) { return TryRead(std::string("\0\x01\x02 garbage\xff\n", 14), m); },
       Status::Code::kCorrupt, "is not a mail message"},
      {"a name that climbs out", [&](ReceivedMail* m) { return ReadMailFile(fs_, "../etc/passwd", dir_, m); },
       Status::Code::kInvalidArgument, "../etc/passwd"},
      {"an empty name", [&](ReceivedMail* m) { return ReadMailFile(fs_, " ", dir_, m); },
       Status::Code::kInvalidArgument, "invalid message name"},
  };
  for (const Case& c : cases) {
    ReceivedMail m;
    m.Subject = "kept";
    m.AttachmentFiles = {"", "kept.pdf"};
    Status s = c.read(&m);
    EXPECT_EQ(s.code(), c.code) << c.what << ": " << s.message();
    EXPECT_NE(s.message().find(c.named), std::string::npos) << c.what << ": " << s.message();
    EXPECT_EQ(m.Subject, "kept") << c.what;
    EXPECT_EQ(m.AttachmentCount(), 1) << c.what;
    EXPECT_EQ(m.StoredName, "") << c.what;
  }
}

TEST_F(MailReaderTest, HostileInputNeverCrashes) {
  std::string good =
      "To: =?ISO-2022-JP?B?" + B64(kJisTestCircled) + "?= <a@example.com>\nSubject: =?UTF-8?Q?=E2=91?=\n"
      "Content-Type: multipart/mixed; boundary=\"mix\"\n\n"
      "--mix\nContent-Type: text/plain; charset=ISO-2022-JP\n\n" + kJisTestCircled + "\x1b$B" +
      "\n--mix\nContent-Type: text/html; charset=bogus\"\nContent-Transfer-Encoding: base64\n\n!!!not base64\n"
      "--mix\nContent-Disposition: attachment; filename*0*=x'%zz;\n filename*=''\n\n<&#99999999;&#x;&\n"
      "--mix--\n";
  // Every prefix of a message with odd parts, cut at each 7th byte.
  for (size_t n = 1; n < good.size(); n += 7) {
    ReceivedMail r;
    if (TryRead(good.substr(0, n), &r).ok()) {
      for (const std::string& text : Texts(r)) EXPECT_EQ(SanitizeUtf8(text), text);
    }
  }
  // Random bytes behind a header.
  std::mt19937 rng(12345);
  for (int k = 0; k < 30; ++k) {
    std::string noise = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-JP\n\n";
    for (int i = 0; i < 2000; ++i) noise += static_cast<char>(rng() & 0xFF);
    ReceivedMail r;
    (void)TryRead(noise, &r);  // only that it returns
  }
  // Deep nesting, a 100,000-character line, a huge header.
  std::string nested;
  for (int i = 0; i < 200; ++i) nested += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\n\n--b" + std::to_string(i) + "\n";
  nested += "Content-Type: text/plain\n\nleaf\n";
  ReceivedMail r;
  (void)TryRead(nested, &r);  // only that it returns
  EXPECT_EQ(Read("Subject: " + std::string(100000, 'S') + "\n\n" + std::string(100000, 'x')).Body.size(), 100000u);
  (void)TryRead("To: " + std::string(50000, '<') + std::string(50000, '"') + "@\n\nx", &r);  // only that it returns

  // Input built to make naive scanning quadratic still reads quickly.
  auto start = std::chrono::steady_clock::now();
  std::string words;
  for (int i = 0; i < 20000; ++i) words += "=?x?B?";
  Read("Subject: " + words + "\nTo: " + words + "\n\nx");
  Read("Content-Type: text/html\n\n" + std::string(200000, '<') + "<p" + std::string(100000, 'x') +
       std::string(20000, '&') + "<script>" + std::string(100000, '<'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(MailReaderTest, HtmlTextKeepsStrayAngleBrackets) {
  EXPECT_EQ(HtmlToText("<p>1 < 2 and 3 > 2</p><p>x<y</p>"), "1 < 2 and 3 > 2\nx");
  // As browsers read them: &#0; and surrogates become U+FFFD.
  EXPECT_EQ(HtmlToText("<SCRIPT>x</Script>after &unknown; &#0; &#xD800;"), "after &unknown; \xEF\xBF\xBD \xEF\xBF\xBD");
}

}  // namespace
}  // namespace kelmora
