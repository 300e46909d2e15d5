#include "receive/pop3_fetcher.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "receive/mail_library_init.h"
#include "textio/clock.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ParsePort(std::string_view s, int* port) {
  if (s.empty() || s.size() > 5) return false;
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v < 1 || v > 65535) return false;
  *port = v;
  return true;
}

// A host name or address literal: letters, digits and the few marks that
// names and addresses use. Everything else would change the URL's meaning.
bool IsHostText(std::string_view host, bool v6) {
  if (host.empty() || host.size() > 253) return false;
  for (char ch : host) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                    ch == '-' || ch == '.' || ch == '_' || (v6 && (ch == ':' || ch == '%'));
    if (!ok) return false;
  }
  return true;
}

// A server reply line as it may appear in a failure text: valid UTF-8, no
// line breaks, bounded length.
std::string ReplyText(std::string_view raw) {
  std::string s = SanitizeUtf8(raw.substr(0, 300));
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  for (char& ch : s) {
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  }
  return s;
}

// One POP3 session: one easy handle, reused for every command, so that
// every command runs on the same connection and the message numbers of
// LIST stay valid. Destroying it sends QUIT.
class Session {
 public:
  Session(const Pop3Server& server, const std::string& user, const std::string& password,
          const MailOptions& options) {
    handle_ = curl_easy_init();
    if (!handle_) return;
    errbuf_[0] = '\0';
    base_url_ = server.Url() + "/";
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "pop3,pop3s");
    curl_easy_setopt(handle_, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(handle_, CURLOPT_PASSWORD, password.c_str());
    if (!server.implicit_tls) curl_easy_setopt(handle_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT, options.transfer_timeout_seconds);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, options.low_speed_bytes);
    curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, options.low_speed_seconds);
    // Also bounds the wait for the answer to QUIT when the handle goes.
    curl_easy_setopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     std::max(options.low_speed_seconds, options.connect_timeout_seconds));
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errbuf_);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &Session::OnBody);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &Session::OnReply);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
  }
  ~Session() {
    if (handle_) curl_easy_cleanup(handle_);  // QUIT: the server commits the DELEs
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return handle_ != nullptr; }

  // Runs one command: LIST or RETR when `command` is null, else that
  // command; `number` 0 means no message number. The multi-line answer (if
  // any) goes to *body.
  CURLcode Run(int number, const char* command, bool no_body, std::string* body) {
    errbuf_[0] = '\0';
    refusal_.clear();
    body->clear();
    const std::string url = number > 0 ? base_url_ + std::to_string(number) : base_url_;
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, command);
    curl_easy_setopt(handle_, CURLOPT_NOBODY, no_body ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, body);
    CURLcode rc = curl_easy_perform(handle_);
    // Back to plain LIST/RETR so that a custom command never leaks into the
    // next one (a DELE left set would delete the next message fetched).
    curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    curl_easy_setopt(handle_, CURLOPT_NOBODY, 0L);
    ++runs_;
    long connects = 0;
    curl_easy_getinfo(handle_, CURLINFO_NUM_CONNECTS, &connects);
    reconnected_ = runs_ > 1 && connects > 0;
    return rc;
  }

  // True when the last command had to open a new connection: the session
  // it belonged to is gone, and with it the meaning of message numbers and
  // the uncommitted DELEs.
  bool reconnected() const { return reconnected_; }

  // libcurl's words for the failure of the last command.
  std::string ErrorText(CURLcode rc) const {
    std::string text = errbuf_[0] ? std::string(errbuf_) : std::string(curl_easy_strerror(rc));
    return ReplyText(text);
  }
  // The server's refusal ("-ERR ...") of the last command, else "". The
  // first one counts: after a refusal libcurl closes the connection with a
  // QUIT whose "+OK" would hide it.
  std::string Refusal() const { return ReplyText(refusal_); }

  bool connected_once() const {
    curl_off_t t = 0;
    curl_easy_getinfo(handle_, CURLINFO_CONNECT_TIME_T, &t);
    return t > 0;
  }

 private:
  static size_t OnBody(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
  }
  static size_t OnReply(char* data, size_t size, size_t n, void* user) {
    auto* self = static_cast<Session*>(user);
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (self->refusal_.empty() && StartsWith(line, "-ERR")) self->refusal_ = line;
    return size * n;
  }

  CURL* handle_ = nullptr;
  char errbuf_[CURL_ERROR_SIZE];
  std::string base_url_;
  std::string refusal_;
  int runs_ = 0;
  bool reconnected_ = false;
};

// "n size" or "n uidl" lines of a LIST or UIDL answer. False when a line
// does not have that form.
bool ParseNumberedLines(const std::string& text, std::map<int, std::string>* out) {
  for (std::string line : Split(text, "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    if (line.empty()) continue;
    const size_t sp = line.find(' ');
    if (sp == std::string::npos) return false;
    int number = 0;
    const std::string num = line.substr(0, sp);
    if (num.empty() || num.size() > 9) return false;
    for (char ch : num) {
      if (ch < '0' || ch > '9') return false;
      number = number * 10 + (ch - '0');
    }
    if (number <= 0) return false;
    (*out)[number] = Trim(line.substr(sp + 1));
  }
  return true;
}

bool ParseSize(const std::string& s, std::uint64_t* size) {
  if (s.empty() || s.size() > 18) return false;
  std::uint64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  *size = v;
  return true;
}

std::atomic<unsigned> g_name_sequence{0};

}  // namespace

std::string Pop3Server::Url() const {
  const bool v6 = host.find(':') != std::string::npos;
  return std::string(implicit_tls ? "pop3s://" : "pop3://") + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

std::string Pop3Server::Display() const {
  const bool v6 = host.find(':') != std::string::npos;
  std::string hp = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  return implicit_tls ? "pop3s://" + hp : hp;
}

bool ParsePop3Server(const std::string& text, Pop3Server* server, std::string* error) {
  std::string rest = Trim(text);
  Pop3Server out;
  const size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = rest.substr(0, scheme_end);
    if (EqualsIgnoreCase(scheme, "pop3")) {
      out.implicit_tls = false;
      out.port = 110;
    } else if (EqualsIgnoreCase(scheme, "pop3s")) {
      out.implicit_tls = true;
      out.port = 995;
    } else {
      *error = "not a POP3 server: \"" + ReplyText(text) + "\"";
      return false;
    }
    rest = rest.substr(scheme_end + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) rest = rest.substr(at + 1);
  }
  std::string host = rest;
  bool v6 = false;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      *error = "bad POP3 server \"" + ReplyText(text) + "\"";
      return false;
    }
    host = rest.substr(1, close - 1);
    v6 = true;
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && (after[0] != ':' || !ParsePort(after.substr(1), &out.port))) {
      *error = "bad port in POP3 server \"" + ReplyText(text) + "\"";
      return false;
    }
  } else if (CountOf(rest, ":") == 1) {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (!ParsePort(rest.substr(colon + 1), &out.port)) {
      *error = "bad port in POP3 server \"" + ReplyText(text) + "\"";
      return false;
    }
  } else if (CountOf(rest, ":") > 1) {
    v6 = true;  // a bare IPv6 address without a port
  }
  if (!IsHostText(host, v6)) {
    *error = "bad POP3 server \"" + ReplyText(text) + "\"";
    return false;
  }
  out.host = host;
  *server = out;
  return true;
}

Pop3Fetcher::Pop3Fetcher(FileSystem& fs, MailOptions options) : fs_(fs), options_(options) {}

std::string Pop3Fetcher::NewName(const std::string& folder, const ReceiveJournal& journal) {
  const std::string stamp = FormatStamp14(SystemClock().Now());
  for (int attempt = 0; attempt < 100000; ++attempt) {
    char seq[16];
    std::snprintf(seq, sizeof seq, "%06u", g_name_sequence.fetch_add(1) % 1000000u);
    std::string name = stamp + "-" + seq + "-" + std::to_string(::getpid()) + ".eml";
    if (!journal.Knows(name) && !fs_.Exists(journal.PathOf(name))) return name;
  }
  return "";
}

Pop3FetchResult Pop3Fetcher::Fetch(const std::string& server_text, const std::string& user,
                                   const std::string& password, const std::string& folder,
                                   ReceiveJournal* journal) {
  EnsureMailLibrariesInitialized();
  Pop3FetchResult result;
  Pop3Server server;
  std::string error;
  if (!ParsePop3Server(server_text, &server, &error)) {
    result.failure = "POP3: " + error;
    return result;
  }
  const std::string who = "POP3 " + server.Display() + " user " + ReplyText(user) + ": ";
  const std::string account = ReceiveJournal::AccountKey(server_text, user);

  std::unique_ptr<Session> session;
  auto failed = [&](const std::string& step, const std::string& detail) {
    std::string text = who + step + " failed: " + detail;
    const std::string refusal = session ? session->Refusal() : "";
    if (!refusal.empty()) text += "; server reply: " + refusal;
    return text;
  };

  // Opens a session and runs LIST (the first command also connects and
  // logs in). "" or the failure text.
  std::map<int, std::uint64_t> sizes;
  std::string body;
  CURLcode rc = CURLE_OK;
  auto open_and_list = [&]() -> std::string {
    session.reset();  // QUIT for an earlier session first
    session = std::make_unique<Session>(server, user, password, options_);
    if (!session->ok()) return who + "cannot start a session (libcurl)";
    rc = session->Run(0, nullptr, false, &body);
    if (rc != CURLE_OK) {
      std::string step = "LIST";
      if (rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT ||
          (rc == CURLE_OPERATION_TIMEDOUT && !session->connected_once())) {
        step = "connect";
      } else if (rc == CURLE_LOGIN_DENIED) {
        step = "login";
      } else if (rc == CURLE_USE_SSL_FAILED || rc == CURLE_SSL_CONNECT_ERROR ||
                 rc == CURLE_PEER_FAILED_VERIFICATION) {
        step = "TLS";
      }
      return failed(step, session->ErrorText(rc));
    }
    std::map<int, std::string> sizes_text;
    if (!ParseNumberedLines(body, &sizes_text)) {
      return failed("LIST", "unreadable answer \"" + ReplyText(body.substr(0, 80)) + "\"");
    }
    sizes.clear();
    for (const auto& [number, text] : sizes_text) {
      std::uint64_t size = 0;
      if (!ParseSize(text, &size)) {
        return failed("LIST", "unreadable size \"" + ReplyText(text) + "\" of message " + std::to_string(number));
      }
      sizes[number] = size;
    }
    return "";
  };
  result.failure = open_and_list();
  if (!result.failure.empty()) return result;

  // UIDL: what ties a message to the journal across sessions. A server
  // without UIDL still works, only without protection against duplicates
  // after a broken session. libcurl drops the connection after a refused
  // command, so that case needs a fresh session.
  std::map<int, std::string> uidls;
  bool have_uidls = false;
  if (!sizes.empty()) {
    rc = session->Run(0, "UIDL", false, &body);
    if (session->reconnected()) {
      result.failure = failed("UIDL", "connection lost");
      return result;
    }
    if (rc == CURLE_OK) {
      if (!ParseNumberedLines(body, &uidls)) {
        result.failure = failed("UIDL", "unreadable answer \"" + ReplyText(body.substr(0, 80)) + "\"");
        return result;
      }
      have_uidls = true;
    } else if (!session->Refusal().empty()) {
      result.failure = open_and_list();
      if (!result.failure.empty()) return result;
    } else {
      result.failure = failed("UIDL", session->ErrorText(rc));
      return result;
    }
  }
  if (have_uidls || sizes.empty()) {
    std::set<std::string> listed;
    for (const auto& [number, uidl] : uidls) listed.insert(uidl);
    journal->KeepOnlyListedUidls(account, listed);
  }

  struct Planned {
    int number;
    std::uint64_t size;
    std::string name;
  };
  std::vector<int> already_stored;
  std::vector<Planned> plan;
  for (const auto& [number, size] : sizes) {
    auto it = uidls.find(number);
    const std::string uidl = it == uidls.end() ? "" : it->second;
    if (journal->HoldsUidl(account, uidl)) {
      already_stored.push_back(number);
      continue;
    }
    std::string name = NewName(folder, *journal);
    if (name.empty()) {
      result.failure = failed("store", "no free file name in " + folder);
      break;
    }
    journal->AddStored(name, account, uidl);
    plan.push_back(Planned{number, size, name});
  }
  // Forgets the records of planned messages from `from` on (not stored).
  auto forget_from = [&](size_t from) {
    for (size_t i = from; i < plan.size(); ++i) journal->Forget(plan[i].name);
  };
  if (!result.failure.empty()) {
    forget_from(0);
    return result;
  }
  // Record before fetching: a crash from here on leaves no stored file
  // that the journal does not know.
  if (!plan.empty()) {
    Status saved = journal->Save();
    if (!saved.ok()) {
      forget_from(0);
      result.failure = who + "journal write failed: " + saved.message();
      return result;
    }
  }

  // Messages stored by an earlier session whose deletion was not committed.
  for (int number : already_stored) {
    rc = session->Run(number, "DELE", true, &body);
    if (rc != CURLE_OK || session->reconnected()) {
      forget_from(0);
      result.failure = failed("DELE " + std::to_string(number),
                              rc != CURLE_OK ? session->ErrorText(rc) : std::string("connection lost"));
      return result;
    }
  }

  for (size_t i = 0; i < plan.size(); ++i) {
    const Planned& p = plan[i];
    const std::string step = "RETR " + std::to_string(p.number);
    std::string message;
    rc = session->Run(p.number, nullptr, false, &message);
    if (rc != CURLE_OK || session->reconnected()) {
      forget_from(i);
      result.failure = failed(step, rc != CURLE_OK ? session->ErrorText(rc) : std::string("connection lost"));
      return result;
    }
    if (message.size() != p.size) {
      // libcurl ends a RETR cut off by a dropped connection without an
      // error. Only a connection still in step proves that the server's end
      // mark arrived and the size in LIST was merely inexact.
      rc = session->Run(0, "NOOP", true, &body);
      if (rc != CURLE_OK || session->reconnected()) {
        forget_from(i);
        result.failure = failed(step, "message incomplete (" + std::to_string(message.size()) + " of " +
                                          std::to_string(p.size) + " bytes), connection lost");
        return result;
      }
    }
    Status stored = fs_.WriteFileAtomic(journal->PathOf(p.name), message);
    if (!stored.ok()) {
      forget_from(i);
      result.failure = who + "store of message " + std::to_string(p.number) + " failed: " + stored.message();
      return result;
    }
    result.stored.push_back(p.name);
    rc = session->Run(p.number, "DELE", true, &body);
    if (rc != CURLE_OK || session->reconnected()) {
      forget_from(i + 1);
      result.failure = failed("DELE " + std::to_string(p.number),
                              rc != CURLE_OK ? session->ErrorText(rc) : std::string("connection lost"));
      return result;
    }
  }
  return result;
}

}  // namespace kelmora
