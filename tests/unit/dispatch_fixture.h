// SPDX-License-Identifier: GPL-3.0-or-later
// DispatchFixture: a whole program on the program folder "/prog" of an
// in-memory file system, driven through real mail-check cycles with a
// recording mail component, for tests of the rule dispatcher, the send
// methods and whatever builds on them.
//
// A test writes its data files (Master.txt, address files, Kelmora.ini,
// UnDelivery.txt, reply texts: all in code page 932 with CR LF), prepares
// stored messages, starts the program and runs a cycle:
//
//   WriteMaster({Rule{.ToAddr = "club@example.test", .Keyword = "news",
//                     .Destination = "members.txt"}});
//   WriteMembers("members.txt", {"a@example.test"});
//   WriteIni(Ini{});
//   AddMessage("m1.eml", Message{.subject = "news"});
//   ASSERT_TRUE(Start());
//   RunCycle();
//   // mail_.sent, mail_.settled, ReceiveFileExists("m1.eml"), MainLog() ...
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/core/program.h"
#include "mail/mail_component.h"
#include "process/dispatcher.h"
#include "process/message_processor.h"
#include "tests/support/fake_mail_component.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/silent_front_end.h"
#include "tests/support/test_roads.h"
#include "tests/unit/fake_file_system.h"
#include "textio/codepage.h"
#include "textio/file_system.h"

// Tests name only the fields they care about (Rule{.ToAddr = ..}); g++ 12
// warns about the others although they keep their defaults by design.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kelmora::fixture {

// A front end that counts what the core asks of it and can run a hook
// whenever pending events are let through (a stop request arrives there).
class TestFrontEnd : public SilentFrontEnd {
 public:
  void PumpEvents() override {
    ++pumps;
    if (on_pump) on_pump();
  }
  void Wait(int ms) override {
    waits.push_back(ms);
  }
  int pumps = 0;
  std::vector<int> waits;
  std::function<void()> on_pump;
};

// Receives messages and leaves them alone.
class IdleProcessor : public MessageProcessor {
 public:
  void ProcessMessages(Inbox& inbox) override { received += inbox.Count(); }
  int received = 0;
};

// One row of Master.txt; every column is written, so the row is a long one
// (an empty SenderFilter is then allowed for most process types). The sender
// address and server are filled in, as rows that send need them.
struct Rule {
  std::string ToAddr;
  std::string SenderFilter;
  std::string Keyword;
  std::string Destination;
  std::string SendFrom = "owner@example.test";
  std::string SendServer = "127.0.0.1:2525";
  std::string ToName;
  std::string ForwardSubject;
  std::string TextBefore;
  std::string TextAfter;
  std::string Delete;
  std::string Process;
  std::string Msg;
  std::string File;
  std::string Attatch;

  std::string Line(int number) const {
    return std::to_string(number) + "," + ToAddr + "," + SenderFilter + "," + Keyword + "," + Destination + "," + SendFrom +
           "," + SendServer + "," + ToName + "," + ForwardSubject + "," + TextBefore + "," + TextAfter + "," + Delete + "," +
           Process + "," + Msg + "," + File + "," + Attatch;
  }
};

// Kelmora.ini: no local mail store, one POP3 account, the busy window
// hidden. `sequence` holds the list sequence numbers (one per row; missing
// ones read as 0).
struct Ini {
  int delete_after_processing = 0;  // 正常処理後メールを削除する
  int log_sent_mail = 0;
  int log_received_mail = 0;        // 受信メールをログに残す
  std::vector<long long> sequence;

  std::string Text() const {
    std::string line2;
    for (size_t i = 0; i < sequence.size(); ++i) line2 += (i ? "," : "") + std::to_string(sequence[i]);
    if (line2.empty()) line2 = "0";
    return ",,1,0," + std::to_string(delete_after_processing) + ",1," + std::to_string(log_sent_mail) + "," +
           std::to_string(log_received_mail) + ",9,10,pop.test/user/secret\r\n" + line2 + "\r\n";
  }
};

// A stored message as the mail component reads it. `to` and `from` are
// header values, read as the reader reads them. `attachments` are file
// names created in log/receive (content: the name), reported as full paths.
struct Message {
  std::string to = "\"Club\" <club@example.test>";
  std::string from = "\"Taro\" <taro@example.test>";
  std::string subject = "hello";
  std::string body = "Body line 1\r\nBody line 2";
  std::vector<std::string> attachments;
  // The header fields the rows look at ({.AutoSubmitted = "auto-replied"},
  // {.HasReturnPath = true, .ReturnPath = "<>"} ...); the fields above win.
  ReceivedMail headers;
};

class DispatchFixture : public ::testing::Test {
 protected:
  static constexpr const char* kStamp = "20261207-090503";   // the fixed clock as logs write it
  static constexpr const char* kStamp14 = "20261207090503";  // and as file stamps write it

  void SetUp() override { disk_.AddDir(dir_ + "/log/receive"); }

  void TearDown() override {
    dispatcher_.reset();
    program_.reset();
  }

  // --- files of the program folder ---
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string ReceivePath(const std::string& name) const { return dir_ + "/log/receive/" + name; }

  // Creates missing folders on the way, like the setup of a real folder.
  void WriteBytes(const std::string& name, const std::string& bytes) { disk_.AddFile(Path(name), bytes); }
  // Writes UTF-8 text as code page 932, exactly as given.
  void WriteFile(const std::string& name, const std::string& text) { WriteBytes(name, Utf8ToCp932(text)); }
  // Writes lines, each ended by CR LF.
  void WriteLinesFile(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    WriteFile(name, text);
  }
  // "" when the file is missing.
  std::string ReadBytes(const std::string& name) const { return disk_.Bytes(Path(name)); }
  std::string ReadFile(const std::string& name) const { return Cp932ToUtf8(ReadBytes(name)); }
  bool Exists(const std::string& name) const { return disk_.Exists(Path(name)); }
  bool ReceiveFileExists(const std::string& name) const { return disk_.Exists(ReceivePath(name)); }
  // Removes a file of the program folder behind the program's back.
  void RemoveFile(const std::string& name) { disk_.Erase(Path(name)); }
  std::string ReadReceiveFile(const std::string& name) const { return ReadFile("log/receive/" + name); }

  void WriteMaster(const std::vector<Rule>& rules) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < rules.size(); ++i) lines.push_back(rules[i].Line(static_cast<int>(i) + 1));
    WriteLinesFile("Master.txt", lines);
  }
  void WriteIni(const Ini& ini) { WriteFile("Kelmora.ini", ini.Text()); }

  // An address file: "n,address,password,stamp" per member; an empty
  // password leaves the field empty.
  void WriteMembers(const std::string& name, const std::vector<std::string>& addresses,
                    const std::vector<std::string>& passwords = {}) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < addresses.size(); ++i) {
      const std::string pw = i < passwords.size() ? passwords[i] : "pw" + std::to_string(i + 1);
      lines.push_back(std::to_string(i + 1) + "," + addresses[i] + "," + pw + ",2026/01/01-00:00");
    }
    WriteLinesFile(name, lines);
  }

  // --- stored messages ---
  // Stores the message file in log/receive, prepares the component's read
  // of it and queues the name for the next cycle.
  void AddMessage(const std::string& name, const Message& m) {
    WriteBytes("log/receive/" + name, "raw message " + name + "\r\n");
    // Header settings written without field names ({"List-Id: x"}) would
    // compile and land in the stored name, testing nothing they say.
    EXPECT_EQ(m.headers.StoredName, "") << "set Message::headers by field name";
    ReceivedMail mail = m.headers;
    mail.ToAddress = ExtractAddress(m.to, "<", ">");
    mail.ToName = DisplayName(m.to);
    mail.FromAddress = ExtractAddress(m.from, "<", ">");
    mail.FromName = DisplayName(m.from);
    mail.Subject = m.subject;
    mail.Body = m.body;
    mail.AttachmentFiles.assign(1, "");
    for (const std::string& a : m.attachments) {
      WriteBytes("log/receive/" + a, a);
      mail.AttachmentFiles.push_back(ReceivePath(a));
    }
    mail_.stored[name] = std::move(mail);
    mail_.Deliver(name);
  }
  // A stored message that the component cannot read.
  void AddUnreadableMessage(const std::string& name, const std::string& failure = "壊れたメッセージです") {
    WriteBytes("log/receive/" + name, "garbage\r\n");
    mail_.unreadable[name] = Status::Corrupt(failure);
    mail_.Deliver(name);
  }

  // --- the program ---
  ::testing::AssertionResult Start() {
    roads_.mail = &mail_;
    roads_.build = [this](Program& p) {
      dispatcher_ = std::make_unique<Dispatcher>(p.dispatch_context());
      roads_.processor = dispatcher_.get();
      if (more_roads_) more_roads_(p);
    };
    program_ = roads_.Make(disk_, clock_, front_, dir_, /*no_wait=*/true);
    Status s = program_->Start("");
    if (!s.ok()) return ::testing::AssertionFailure() << "start-up failed: " << s.message();
    return ::testing::AssertionSuccess();
  }

  // One mail-check cycle: the queued messages are fetched and dispatched.
  void RunCycle() { program_->RunMailCheck(); }

  // Puts the program in POP3 mode without dispatching anything, for tests
  // that call a send method directly: one cycle receives a message that is
  // only held. The dispatcher is attached again afterwards.
  ::testing::AssertionResult EnterPop3Mode() {
    IdleProcessor idle;
    roads_.processor = &idle;
    mail_.Deliver("pop3-mode.eml");
    program_->RunMailCheck();
    roads_.processor = dispatcher_.get();
    if (program_->reception_mode() != ReceptionMode::kPop3) {
      return ::testing::AssertionFailure() << "the cycle did not enter POP3 mode";
    }
    return ::testing::AssertionSuccess();
  }

  Program& program() { return *program_; }

  // --- logs ---
  std::string MainLog() const { return ReadFile("log/Kelmoralog.txt"); }
  std::string UnDeliveryLog() const { return ReadFile("log/UnDeliveryLog.txt"); }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      out.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return out;
  }

  std::string dir_ = "/prog";
  FakeFileSystem disk_;
  FixedClock clock_{LocalTime{2026, 12, 7, 9, 5, 3}};
  TestFrontEnd front_;
  FakeMailComponent mail_;
  TestRoads roads_;
  // Roads a test adds that need the program (made with it).
  std::function<void(Program&)> more_roads_;
  std::unique_ptr<Program> program_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

}  // namespace kelmora::fixture
