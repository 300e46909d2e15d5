// SPDX-License-Identifier: GPL-3.0-or-later
// Odd MIME as real mailers write it, each kind in a small message written
// here: read through ReadMailFile (and, for attached messages, composed
// again), the body and the saved attachments must be what the sender wrote.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "mime/charset_decoder.h"
#include "mime/html_text.h"
#include "mime/mail_composer.h"
#include "tests/support/recipient_items.h"
#include "mime/mail_reader.h"
#include "mime/mime_repair.h"
#include "mime/mime_stream.h"
#include "mime/transfer_decoding.h"
#include "tests/support/fixed_clock.h"
#include "tests/unit/fake_file_system.h"
#include "tests/unit/temp_folder.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Base64(const std::string& bytes) {
  gchar* s = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(s);
  g_free(s);
  return out;
}

// uuencode whose lines lost their trailing blanks (zero bits) on the way.
std::string StrippedUuencode(const std::string& data) {
  std::string out = "begin 644 z.bin\n";
  for (size_t i = 0; i < data.size(); i += 45) {
    const std::string chunk = data.substr(i, 45);
    std::string line(1, static_cast<char>(0x20 + chunk.size()));
    for (size_t k = 0; k < chunk.size(); k += 3) {
      const unsigned a = static_cast<unsigned char>(chunk[k]);
      const unsigned b = k + 1 < chunk.size() ? static_cast<unsigned char>(chunk[k + 1]) : 0u;
      const unsigned c = k + 2 < chunk.size() ? static_cast<unsigned char>(chunk[k + 2]) : 0u;
      for (unsigned v : {a >> 2, ((a & 3u) << 4) | (b >> 4), ((b & 15u) << 2) | (c >> 6), c & 63u}) {
        line += static_cast<char>(0x20 + v);
      }
    }
    while (line.size() > 1 && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out + "`\nend\n";
}

const std::string kZip = [] {
  std::string z;
  for (int i = 0; i < 15 * 256; ++i) z += static_cast<char>(i & 0xFF);
  return z;
}();
const std::string kZeros = [] {
  std::string z;
  for (int i = 0; i < 40; ++i) z += std::string("ab") + std::string(43, '\0');
  return z;
}();
const std::string kHead = "From: a@example.test\nTo: list@example.test\nSubject: s\nMIME-Version: 1.0\n";

struct Case {
  const char* what;
  std::string raw;
  std::string body;  // the Body item
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
  std::string failure;  // a part of the failure text, or "" when read
};

std::vector<Case> Cases() {
  return {
      {"boundary missing: the body is the text",
       kHead + "Content-Type: multipart/mixed; charset=utf-8\n\n本文だけが残ります。\n", "本文だけが残ります。\r\n", {}, ""},
      {"boundary never found: the body as it stands",
       kHead + "Content-Type: multipart/mixed; boundary=zz\n\n--yy\nContent-Type: text/plain\n\nhi\n--yy--\n",
       "--yy\r\nContent-Type: text/plain\r\n\r\nhi\r\n--yy--\r\n", {}, ""},
      {"broken and nothing readable: kept",
       kHead + "Content-Type: multipart/mixed; boundary=zz\n\n \n\n", "", {}, "nothing readable is left"},
      {"binary without boundary: a file, NUL bytes and all",
       kHead + std::string("Content-Type: multipart/mixed\n\nab\0cd\n", 37), "",
       {{"attachment.bin", std::string("ab\0cd\n", 6)}}, ""},
      {"part without blank line after its header: the zip survives",
       kHead + "Content-Type: multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\n\nsee\n--b1\n"
               "Content-Type: application/zip; name=d.zip\nContent-Transfer-Encoding: base64\n" +
           Base64(kZip) + "\n--b1--\n",
       "see", {{"d.zip", kZip}}, ""},
      {"part whose text follows its boundary line at once",
       kHead + "Content-Type: multipart/mixed; boundary=b1\n\n--b1\nfirst\n--b1\n\nsecond\n--b1--\n",
       "first\r\nsecond", {}, ""},
      {"stray line in the header: the body starts there",
       "From: a@example.test\nSubject: s\nthis line is body\n\nmore\n", "this line is body\r\n\r\nmore\r\n", {}, ""},
      {"Content-Type without subtype is text/plain in its charset",
       kHead + "Content-Type: text; charset=iso-2022-jp\n\n\x1b$B%F%9%H\x1b(B\n", "テスト\r\n", {}, ""},
      {"Content-Type that does not parse is text/plain",
       kHead + "Content-Type: image\n\nplain after all\n", "plain after all\r\n", {}, ""},
      {"UTF-7 text", kHead + "Content-Type: text/plain; charset=utf-7\n\nFr+APY-sche\n", "Frösche\r\n", {}, ""},
      {"GB2312 label holding GBK characters",
       kHead + "Content-Type: text/plain; charset=gb2312\n\n\xe9\x46\x86\xb4\n", "镕喆\r\n", {}, ""},
      {"ASCII text in an ASCII charset stays as it is",
       kHead + "Content-Type: text/plain; charset=iso-8859-1\n\nplain\n", "plain\r\n", {}, ""},
      {"uuencode with stripped blanks, base64 without padding, QP soft break at the end",
       kHead + "Content-Type: multipart/mixed; boundary=b2\n\n--b2\nContent-Type: text/plain\n"
               "Content-Transfer-Encoding: quoted-printable\n\nsoft=\n--b2\nContent-Type: application/x; name=z.bin\n"
               "Content-Transfer-Encoding: x-uuencode\n\n" +
           StrippedUuencode(kZeros) +
           "--b2\nContent-Type: application/x; name=s.bin\nContent-Transfer-Encoding: base64\n\nQUJDREU\n--b2--\n",
       "soft", {{"z.bin", kZeros}, {"s.bin", "ABCDE"}}, ""},
      {"closing boundary at the end without a line break: no stray CR",
       "From: a@example.test\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b3\r\n\r\n"
       "--b3\r\nContent-Type: text/plain\r\n\r\nlast\r\n--b3--",
       "last", {}, ""},
      {"uuencode label without a begin line is passed on",
       kHead + "Content-Type: application/x; name=r.bin\nContent-Transfer-Encoding: uue\n\nnot encoded\n", "",
       {{"r.bin", "not encoded\n"}}, ""},
  };
}

TEST(OddMimeTest, EveryKindIsReadAsItsSenderWroteIt) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    std::ofstream(dir.File("m.eml"), std::ios::binary) << c.raw;
    RealFileSystem fs;
    ReceivedMail r;
    Status s = ReadMailFile(fs, "m.eml", dir.path(), &r);
    if (!c.failure.empty()) {
      ASSERT_FALSE(s.ok());
      EXPECT_NE(s.message().find(c.failure), std::string::npos) << s.message();
      EXPECT_EQ(FileBytes(dir.File("m.eml")), c.raw);  // kept whole
      continue;
    }
    ASSERT_TRUE(s.ok()) << s.message();
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 1; i <= r.AttachmentCount(); ++i) {
      const std::string& path = r.AttachmentFiles[static_cast<size_t>(i)];
      files.emplace_back(BaseName(path), FileBytes(path));
    }
    EXPECT_EQ(r.Body, c.body);
    EXPECT_EQ(files, c.files);
  }
}

TEST(OddMimeTest, TheSameMessageReadsTheSameFromMemoryAndFromDisk) {
  // The file systems without descriptors (test doubles) read whole; the
  // disk is read in pieces: both must give the same items.
  for (const Case& c : Cases()) {
    if (!c.failure.empty() || !c.files.empty()) continue;
    SCOPED_TRACE(c.what);
    FakeFileSystem fake;
    fake.AddFile("/in/m.eml", c.raw);
    ReceivedMail r;
    Status s = ReadMailFile(fake, "m.eml", "/in", &r);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(r.Body, c.body);
  }
}

TEST(OddMimeTest, HeadersInAnyCharsetTheLibrariesKnow) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"=?utf-7?Q?Die_Hasen_und_die_Fr+APY-sche?=", "Die Hasen und die Frösche"},
      {"=?gb2312?B?" + Base64("\xe9\x46\x86\xb4") + "?=", "镕喆"},
      {"=?iso-8859-1?Q?Br=F6tchen_=80?=", "Brötchen €"},
  };
  for (const auto& [raw, text] : cases) {
    SCOPED_TRACE(raw);
    TempFolder dir;
    std::ofstream(dir.File("m.eml"), std::ios::binary) << "From: a@example.test\nSubject: " << raw << "\n\nx\n";
    RealFileSystem fs;
    ReceivedMail r;
    ASSERT_TRUE(ReadMailFile(fs, "m.eml", dir.path(), &r).ok());
    EXPECT_EQ(r.Subject, text);
  }
  // Bytes invalid in the declared charset: replacement characters, never
  // raw bytes or the converters' own U+001A.
  for (const char* label : {"gb2312", "euc-kr", "big5", "ibm-1383", "utf-8"}) {
    const std::string text = DecodeMailCharset("a\x80\xff\xfe" "b", label);
    EXPECT_EQ(text.find('\x1a'), std::string::npos) << label;
    EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << label;
    EXPECT_EQ(SanitizeUtf8(text), text) << label;
  }
}

TEST(OddMimeTest, HtmlEntitiesAndLinks) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"&ouml;&Ouml;&szlig; &notin; &CounterClockwiseContourIntegral; &#x1F4F7; &#128;", "öÖß ∉ ∳ 📷 €"},
      {"&amp &lt;b&gt; &notit; &unknown;", "& <b> ¬it; &unknown;"},
      {"<p><a href=\"https://example.test/kizai\">機材リスト</a></p>", "機材リスト <https://example.test/kizai>"},
      {"<a href=\"https://example.test/\">https://example.test</a>", "https://example.test"},
      {"<a href=\"mailto:taro@example.test\">taro@example.test</a>", "taro@example.test"},
      {"<a href=\"#top\">top</a> <a href=\"javascript:f()\">run</a>", "top run"},
      {"see <a href='https://x.test/a b'><img src=x></a>", "see <https://x.test/ab>"},
      {"<div title=\"a>b\">text</div><p>1 < 2</p>", "text\n1 < 2"},
  };
  for (const auto& [html, text] : cases) EXPECT_EQ(HtmlToText(html), text) << html;
}

TEST(OddMimeTest, HostileHtmlStaysFastAndNeverCrashes) {
  // Nested 100,000 deep: the parser would take minutes or overflow the stack.
  for (const std::string unit : {"<div>", "<table><tr><td>", "<b>", "<a href=x>"}) {
    std::string html;
    for (int i = 0; i < 100000; ++i) html += unit;
    EXPECT_TRUE(HtmlToText(html + "end").find("end") != std::string::npos) << unit;
  }
}

TEST(OddMimeTest, DecodersAndRepairsDoNotDependOnHowTheInputIsCut) {
  const std::string uu = StrippedUuencode(kZeros);
  const std::string b64 = Base64(kZip).substr(0, 101);  // unpadded, cut in a group
  std::string repair_input = kHead + "Content-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\n"
                                     "Content-Type: text/plain\r\nno blank line\r\n--b1--";
  for (size_t step : {1, 2, 3, 7, 64, 4096}) {
    SCOPED_TRACE(step);
    UuDecoder uu_decoder;
    Base64Decoder b64_decoder;
    MessageRepairScanner scanner;
    std::string uu_out, b64_out;
    for (size_t i = 0; i < uu.size(); i += step) uu_decoder.Feed(uu.substr(i, step), &uu_out);
    uu_decoder.Finish(&uu_out);
    for (size_t i = 0; i < b64.size(); i += step) b64_decoder.Feed(b64.substr(i, step), &b64_out);
    for (size_t i = 0; i < repair_input.size(); i += step) scanner.Feed(repair_input.substr(i, step));
    EXPECT_EQ(uu_out, kZeros);
    EXPECT_EQ(b64_out, kZip.substr(0, 75));  // 101 characters carry 75 whole bytes
    const std::vector<LineBreakInsert> inserts = scanner.Finish();
    ASSERT_EQ(inserts.size(), 2u);
    EXPECT_EQ(inserts[0].offset, repair_input.find("no blank line"));
    EXPECT_EQ(inserts[0].text, "\r\n");
    EXPECT_EQ(inserts[1].offset, repair_input.size());
  }
  // CR LF split across two writes stays one line break; bare ones are made whole.
  std::string out;
  StringSink into(&out);
  CrLfSink crlf(into);
  for (const char* piece : {"a\r", "\nb\n", "c\r", "d\r"}) ASSERT_TRUE(crlf.Write(piece).ok());
  ASSERT_TRUE(crlf.Finish().ok());
  EXPECT_EQ(out, "a\r\nb\r\nc\r\nd\r\n");
}

TEST(OddMimeTest, AttachedMessagesAndLargeFilesTravelIntact) {
  TempFolder dir;
  RealFileSystem fs;
  FixedClock clock{LocalTime{2024, 5, 6, 7, 8, 9}};
  const std::string eight_bit = "From: inner@example.test\r\nSubject: inner\r\n\r\n中の本文";
  const std::string seven_bit = "Subject: plain\r\n\r\nbody\r\n";
  const std::string binary_lines = "Subject: bin\n\nbare LF\n";
  const std::string utf8_header = "Subject: 件名\r\n\r\nbody";
  std::string large(3 << 20, '\0');
  std::mt19937 rng(18);
  for (char& c : large) c = static_cast<char>(rng());
  const std::vector<std::pair<std::string, std::string>> files = {
      {"inner.eml", eight_bit}, {"plain.eml", seven_bit}, {"bin.eml", binary_lines}, {"large.bin", large},
      {"global.eml", utf8_header}};
  std::string paths;
  for (const auto& [name, bytes] : files) {
    std::ofstream(dir.File(name), std::ios::binary) << bytes;
    paths += (paths.empty() ? "" : "\t") + dir.File(name);
  }
  ComposedMail mail;
  ASSERT_TRUE(ComposeMail(fs, clock, MessageFromItems("m@example.test", "list@example.test", "s", "b", paths), &mail).ok());
  EXPECT_NE(mail.message.find("Content-Type: message/rfc822; name=inner.eml\r\nContent-Transfer-Encoding: 8bit\r\n"
                              "Content-Disposition: attachment; filename=inner.eml\r\n\r\n" + eight_bit + "\r\n--"),
            std::string::npos);
  EXPECT_NE(mail.message.find("Content-Transfer-Encoding: 7bit\r\nContent-Disposition: attachment; filename=plain.eml"
                              "\r\n\r\n" + seven_bit + "\r\n--"),
            std::string::npos);
  EXPECT_NE(mail.message.find("Content-Type: message/global; name=global.eml\r\nContent-Transfer-Encoding: 8bit"),
            std::string::npos);
  // Bare LF lines cannot travel as a message: a file in base64.
  EXPECT_EQ(mail.message.find("message/rfc822; name=bin.eml"), std::string::npos);
  // Read back: every attachment byte-exact, the message held once.
  std::ofstream(dir.File("sent.eml"), std::ios::binary) << mail.message;
  ReceivedMail r;
  Status s = ReadMailFile(fs, "sent.eml", dir.path(), &r);
  ASSERT_TRUE(s.ok()) << s.message();
  std::vector<std::string> got;
  for (int i = 1; i <= r.AttachmentCount(); ++i) got.push_back(FileBytes(r.AttachmentFiles[static_cast<size_t>(i)]));
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[2], binary_lines);
  EXPECT_EQ(got[3], large);
}

}  // namespace
}  // namespace kelmora
