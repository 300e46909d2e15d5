// SPDX-License-Identifier: GPL-3.0-or-later
#include "smtp/curl_smtp_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <set>

#include "mime/mail_library_init.h"
#include "mime/mime_util.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

struct Transaction {
  std::vector<SmtpRecipientReply> rcpts;
  CURLcode result = CURLE_OK;
  std::string curl_error;
  // The last command whose reply was not positive, and that reply.
  std::string failed_step;
  std::string failed_reply;
  bool data_accepted = false;
  int data_code = 0;
  std::string data_reply;
  bool reached_rcpt = false;

  // Parser state for the debug stream.
  std::string command = "connect";
  std::string reply_lines;
  std::string in_buffer;
  size_t next_rcpt = 0;       // first RCPT without its reply
  size_t rcpts_sent = 0;
  bool after_354 = false;
};

std::string CommandVerb(const std::string& line) {
  std::string upper;
  for (char c : line) {
    if (c == ' ' || c == ':') break;
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  static const std::set<std::string> kVerbs = {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL", "RCPT",
                                               "DATA", "RSET", "QUIT",     "NOOP", "VRFY"};
  return kVerbs.count(upper) ? upper : "";
}

void OnCommandSent(Transaction& t, const std::string& data) {
  for (const std::string& raw : Split(data, "\n")) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string verb = CommandVerb(line);
    if (verb.empty()) {
      // AUTH continuation (credentials): keep the step, never the text.
      continue;
    }
    t.command = verb == "MAIL" ? "MAIL FROM" : verb == "RCPT" ? "RCPT TO" : verb;
    t.after_354 = false;
    if (verb == "RCPT") {
      t.reached_rcpt = true;
      ++t.rcpts_sent;
    }
  }
}

void OnReply(Transaction& t, int code, const std::string& text) {
  if (t.command == "RCPT TO") {
    if (t.next_rcpt < t.rcpts.size()) {
      SmtpRecipientReply& rr = t.rcpts[t.next_rcpt++];
      rr.code = code;
      rr.reply = text;
      if (code >= 400) {
        t.failed_step = "RCPT TO <" + rr.address + ">";
        t.failed_reply = text;
      }
    }
    return;
  }
  if (t.command == "DATA" && code == 354) {
    t.after_354 = true;
    t.command = "end of data";
    return;
  }
  if (t.command == "end of data") {
    t.data_code = code;
    t.data_reply = text;
    t.data_accepted = code / 100 == 2;
  }
  if (code >= 400 && t.command != "QUIT") {
    t.failed_step = t.command;
    t.failed_reply = text;
  }
}

void OnReplyData(Transaction& t, const std::string& data) {
  t.in_buffer += data;
  size_t nl;
  // Each complete line; the bound keeps a hostile server from growing the
  // buffer forever without line ends.
  while ((nl = t.in_buffer.find('\n')) != std::string::npos) {
    std::string line = t.in_buffer.substr(0, nl);
    t.in_buffer.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = SanitizeUtf8(OneLine(line));
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2])))
      continue;
    if (!t.reply_lines.empty()) t.reply_lines += " ";
    if (t.reply_lines.size() < 1000) t.reply_lines += line;
    bool more = line.size() > 3 && line[3] == '-';
    if (more) continue;
    int code = std::stoi(line.substr(0, 3));
    std::string text = t.reply_lines;
    t.reply_lines.clear();
    OnReply(t, code, text);
  }
  if (t.in_buffer.size() > 65536) t.in_buffer.clear();
}

int DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (user == nullptr) return 0;  // between transactions (the closing QUIT)
  Transaction& t = *static_cast<Transaction*>(user);
  try {
    if (type == CURLINFO_HEADER_OUT) OnCommandSent(t, std::string(data, size));
    else if (type == CURLINFO_HEADER_IN) OnReplyData(t, std::string(data, size));
  } catch (const std::exception&) {
    // Bookkeeping only: a failure here must not break the transfer.
  }
  return 0;
}

struct Upload {
  const std::string* data;
  size_t offset = 0;
};

size_t ReadCallback(char* buffer, size_t size, size_t nitems, void* user) {
  if (user == nullptr) return 0;
  Upload& u = *static_cast<Upload*>(user);
  size_t room = size * nitems;
  size_t n = std::min(room, u.data->size() - u.offset);
  std::copy(u.data->data() + u.offset, u.data->data() + u.offset + n, buffer);
  u.offset += n;
  return n;
}

std::string TransactionFailure(const Transaction& t, const SmtpServer& server) {
  if (!t.failed_reply.empty()) return t.failed_step + ": " + t.failed_reply;
  std::string err = t.curl_error.empty() ? curl_easy_strerror(t.result) : t.curl_error;
  if (t.result == CURLE_USE_SSL_FAILED && server.tls_required) {
    // Only asked for when a password is at stake: say why nothing was sent.
    return "STARTTLS: login refused: the server offers no TLS (" + err +
           "), and a password goes without TLS only to this machine's own address"
           " (plain-login=yes in the server string allows it)";
  }
  if (t.result == CURLE_PEER_FAILED_VERIFICATION) {
    err += " (verify=no in the server string turns the check off)";
  }
  return t.command + ": " + err;
}

}  // namespace

CurlSmtpSession::CurlSmtpSession(SmtpServer server, MailOptions options)
    : server_(std::move(server)), options_(options) {}

CurlSmtpSession::~CurlSmtpSession() { Close(); }

std::string CurlSmtpSession::Open() {
  EnsureMailLibrariesInitialized();
  if (handle_ == nullptr) handle_ = curl_easy_init();
  return handle_ == nullptr ? "connect: libcurl cannot start" : "";
}

void CurlSmtpSession::Close() {
  if (handle_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle_));  // QUIT
  handle_ = nullptr;
}

SmtpTransaction CurlSmtpSession::Send(const std::string& mail_from_address, const std::vector<std::string>& recipients,
                                      const std::string& message) {
  SmtpTransaction out;
  for (const std::string& a : recipients) out.recipients.push_back(SmtpRecipientReply{a, 0, ""});
  if (handle_ == nullptr) {
    out.failure = Open();
    if (handle_ == nullptr) return out;
  }
  CURL* curl = static_cast<CURL*>(handle_);
  Transaction t;
  t.rcpts = out.recipients;
  try {
    curl_slist* rcpt_list = nullptr;
    for (const std::string& a : recipients) {
      std::string arg = "<" + a + ">";
      rcpt_list = curl_slist_append(rcpt_list, arg.c_str());
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> rcpt_owner(rcpt_list, curl_slist_free_all);
    Upload upload{&message, 0};
    char errbuf[CURL_ERROR_SIZE] = {0};
    std::string mail_from = "<" + mail_from_address + ">";

    const std::string url = server_.UrlFor(mail_from_address);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (server_.login) {
      curl_easy_setopt(curl, CURLOPT_USERNAME, server_.login_user.c_str());
      curl_easy_setopt(curl, CURLOPT_PASSWORD, server_.login_password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mail_from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt_list);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadCallback);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, DebugCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, options_.transfer_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.low_speed_bytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options_.low_speed_seconds);
    if (!server_.implicit_tls) {
      // STARTTLS whenever offered. A server that offers none gets the mail
      // in plain text (as between mail servers), but a password only when
      // it is this machine or the server string allows it: libcurl then
      // fails before AUTH.
      curl_easy_setopt(curl, CURLOPT_USE_SSL,
                       static_cast<long>(server_.tls_required ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    }
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, server_.verify_certificate ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, server_.verify_certificate ? 2L : 0L);
    if (!options_.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options_.ca_file.c_str());
    TransferCancel::Watch(curl, options_.cancel);
    t.result = curl_easy_perform(curl);
    t.curl_error = SanitizeUtf8(OneLine(errbuf));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    // `t` and `upload` end with this call; the handle outlives them.
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
  } catch (const std::exception& e) {
    out.failure = server_.Scrub(std::string(t.command) + ": " + e.what());
    return out;
  }
  out.recipients = t.rcpts;
  out.reached_rcpt = t.reached_rcpt;
  out.message_taken = t.result == CURLE_OK || t.data_accepted;
  out.data_code = t.data_code;
  out.data_reply = server_.Scrub(t.data_reply);
  if (!out.message_taken || !t.failed_reply.empty()) out.failure = TransactionFailure(t, server_);
  // Replies and transport errors are the server's and libcurl's words: a
  // server may echo what it refused, AUTH included.
  out.failure = server_.Scrub(out.failure);
  for (SmtpRecipientReply& rr : out.recipients) rr.reply = server_.Scrub(rr.reply);
  return out;
}

std::unique_ptr<SmtpSession> CurlSmtpSessionFactory::NewSession(const SmtpServer& server) {
  return std::make_unique<CurlSmtpSession>(server, options_);
}

}  // namespace kelmora
