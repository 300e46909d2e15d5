// SPDX-License-Identifier: GPL-3.0-or-later
// kelmora_sendtool: drives the mail sender and the message reader from the
// command line, for end-to-end tests and benchmarks.
//
//   kelmora_sendtool send --server S --from F --subject S --body-file B
//                         --recipients-file R [--attachments "p1<TAB>p2"]
//                         [--log-folder L] [--max-per-transaction N]
//                         [--connect-timeout SEC] [--timeout SEC] [--repeat N]
//                         [--ca-file PEM]
//     R holds the recipient items one per line (visible recipient, "bcc",
//     addresses, ">Message-ID: Kelmora", ">#save folder" ...;
//     tests/support/recipient_items.h); they are joined with TAB. B is UTF-8 text. L is the program folder: the main
//     log is L/log/Kelmoralog.txt (default: the current folder). Prints the
//     send's result on one line ("" when sent; --repeat prints one line
//     per send and the elapsed time on standard error). Exit 0 when every
//     send returned "", else 1.
//
//   kelmora_sendtool read --folder D --name N [--json]
//     Reads the message and prints what was read as items, one per line:
//     "To: ...", "From: ...", "Subject: ...", "Body: ..." and "File: <path>"
//     per saved attachment (To and From as "\"Name\" <address>", or
//     "<address>" without a name), with "\" written as "\\", CR as "\r",
//     LF as "\n" and TAB as "\t" so that the body stays on its line; or the
//     failure text. --json prints {"is_list": bool, "items": [...],
//     "text": "..."} instead. Exit 0 when read, 1 for a failure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mime/mail_reader.h"
#include "net/mail_options.h"
#include "smtp/curl_smtp_session.h"
#include "smtp/mail_sender.h"
#include "tests/support/recipient_items.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/strings.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: kelmora_sendtool send --server S --from F --subject S --body-file B --recipients-file R\n"
               "                             [--attachments PATHS] [--log-folder L] [--max-per-transaction N]\n"
               "                             [--connect-timeout SEC] [--timeout SEC] [--repeat N] [--ca-file PEM]\n"
               "       kelmora_sendtool read --folder D --name N [--json]\n");
  return 2;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool ReadText(kelmora::FileSystem& fs, const std::string& path, std::string* text) {
  kelmora::Status s = fs.ReadFile(path, text);
  if (!s.ok()) std::fprintf(stderr, "kelmora_sendtool: %s\n", s.message().c_str());
  return s.ok();
}

int Send(std::map<std::string, std::string>& args) {
  for (const char* key : {"server", "from", "body-file", "recipients-file"}) {
    if (!args.count(key)) return Usage();
  }
  kelmora::RealFileSystem fs;
  std::string body, recipients_text;
  if (!ReadText(fs, args["body-file"], &body) || !ReadText(fs, args["recipients-file"], &recipients_text)) return 2;
  std::vector<std::string> items;
  for (std::string line : kelmora::Split(recipients_text, "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) items.push_back(line);
  }
  std::string recipients = kelmora::Join(items, "\t");

  kelmora::SystemClock clock;
  std::string folder = args.count("log-folder") ? args["log-folder"] : ".";
  kelmora::Logger log(fs, clock, folder);
  if (kelmora::Status made = log.EnsureLogFolders(); !made.ok()) {
    std::fprintf(stderr, "cannot make the log folders: %s\n", made.message().c_str());
    return 2;
  }
  kelmora::MailOptions options;
  if (args.count("max-per-transaction")) options.max_recipients_per_transaction = std::atoi(args["max-per-transaction"].c_str());
  if (args.count("connect-timeout")) options.connect_timeout_seconds = std::atol(args["connect-timeout"].c_str());
  if (args.count("timeout")) options.transfer_timeout_seconds = std::atol(args["timeout"].c_str());
  if (args.count("ca-file")) options.ca_file = args["ca-file"];
  int repeat = args.count("repeat") ? std::max(1, std::atoi(args["repeat"].c_str())) : 1;

  kelmora::CurlSmtpSessionFactory sessions(options);
  kelmora::MailSender sender(fs, log, clock, sessions, options);
  bool all_sent = true;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeat; ++i) {
    std::string result = SendItems(sender, args["server"], recipients, args["from"], args["subject"], body,
                                         args.count("attachments") ? args["attachments"] : "");
    std::printf("%s\n", Escape(result).c_str());
    all_sent = all_sent && result.empty();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (repeat > 1) std::fprintf(stderr, "%d sends in %.3f s\n", repeat, seconds);
  return all_sent ? 0 : 1;
}

// An address as the items show it.
std::string AddressValue(const std::string& name, const std::string& address) {
  return name.empty() ? "<" + address + ">" : "\"" + name + "\" <" + address + ">";
}

// What was read, as the items the tests compare.
std::vector<std::string> Items(const kelmora::ReceivedMail& mail) {
  std::vector<std::string> items{"To: " + AddressValue(mail.ToName, mail.ToAddress),
                                 "From: " + AddressValue(mail.FromName, mail.FromAddress), "Subject: " + mail.Subject,
                                 "Body: " + mail.Body};
  for (size_t i = 1; i < mail.AttachmentFiles.size(); ++i) items.push_back("File: " + mail.AttachmentFiles[i]);
  return items;
}

int Read(std::map<std::string, std::string>& args) {
  if (!args.count("folder") || !args.count("name")) return Usage();
  kelmora::RealFileSystem fs;
  kelmora::ReceivedMail mail;
  const kelmora::Status read = kelmora::ReadMailFile(fs, args["name"], args["folder"], &mail);
  const std::vector<std::string> items = read.ok() ? Items(mail) : std::vector<std::string>{};
  const std::string text = read.ok() ? "" : read.message();
  if (args.count("json")) {
    std::string out = "{\"is_list\": ";
    out += read.ok() ? "true" : "false";
    out += ", \"items\": [";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
    out += "], \"text\": " + JsonString(text) + "}";
    std::printf("%s\n", out.c_str());
  } else if (read.ok()) {
    for (const std::string& item : items) std::printf("%s\n", Escape(item).c_str());
  } else {
    std::printf("%s\n", Escape(text).c_str());
  }
  return read.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::map<std::string, std::string> args;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) return Usage();
    std::string key = a.substr(2);
    if (key == "json") {
      args[key] = "1";
    } else if (i + 1 < argc) {
      args[key] = argv[++i];
    } else {
      return Usage();
    }
  }
  if (command == "send") return Send(args);
  if (command == "read") return Read(args);
  return Usage();
}
