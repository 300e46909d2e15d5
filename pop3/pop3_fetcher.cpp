// SPDX-License-Identifier: GPL-3.0-or-later
#include "pop3/pop3_fetcher.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "net/server_string.h"
#include "textio/codepage.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

// A batch of stored messages is committed (and then deleted on the server)
// once it holds this many messages or bytes.
constexpr size_t kBatchMessages = 64;
constexpr size_t kBatchBytes = 16u << 20;

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

}  // namespace

Pop3Fetcher::Pop3Fetcher(FileSystem& fs, const Clock& clock, Pop3SessionFactory& sessions)
    : fs_(fs), clock_(clock), sessions_(sessions) {}

std::string Pop3Fetcher::NewName(const ReceiveJournal& journal) {
  const std::string stamp = FormatStamp14(clock_.Now());
  for (int attempt = 0; attempt < 100000; ++attempt) {
    char seq[16];
    std::snprintf(seq, sizeof seq, "%06u", name_sequence_++ % 1000000u);
    std::string name = stamp + "-" + seq + "-" + std::to_string(clock_.ProcessId()) + ".eml";
    if (!journal.Knows(name) && !fs_.Exists(journal.PathOf(name))) return name;
  }
  return "";
}

Pop3FetchResult Pop3Fetcher::Fetch(const std::string& server_text, const std::string& user,
                                   const std::string& password, const std::string& folder,
                                   ReceiveJournal* journal) {
  Pop3FetchResult result = FetchUnscrubbed(server_text, user, password, folder, journal);
  result.failure = ScrubPassword(result.failure, user, password);
  Pop3Server server;
  if (ParsePop3Server(server_text, &server).ok()) {
    result.failure = ScrubPassword(result.failure, server.login_user, server.login_password);
  }
  return result;
}

Pop3FetchResult Pop3Fetcher::FetchUnscrubbed(const std::string& server_text, const std::string& user,
                                             const std::string& password, const std::string& folder,
                                             ReceiveJournal* journal) {
  Pop3FetchResult result;
  Pop3Server server;
  if (Status parsed = ParsePop3Server(server_text, &server); !parsed.ok()) {
    result.failure = "POP3: " + parsed.message();
    return result;
  }
  // A pop3:// URL may carry the login itself ("pop3://club@example.org:pw@host").
  const std::string& login_user = user.empty() ? server.login_user : user;
  const std::string& login_password = password.empty() ? server.login_password : password;
  const std::string who = "POP3 " + server.Display() + " user " + ReplyText(login_user) + ": ";
  const std::string account = ReceiveJournal::AccountKey(server_text, user);

  std::unique_ptr<Pop3Session> session;
  // The server's refusal of the last command, for the failure text.
  std::string refusal;
  auto command = [&](Pop3Reply reply) {
    refusal = reply.refusal;
    return reply;
  };
  auto failed = [&](const std::string& step, const std::string& detail) {
    std::string text = who + step + " failed: " + detail;
    if (!refusal.empty()) text += "; server reply: " + refusal;
    return text;
  };

  // Opens a session and runs LIST (with libcurl the first command also
  // connects and logs in). "" or the failure text.
  std::map<int, std::uint64_t> sizes;
  std::string body;
  auto open_and_list = [&]() -> std::string {
    if (session) session->Quit();  // QUIT for an earlier session first
    session = sessions_.NewSession(server, login_user, login_password);
    const Pop3Reply opened = command(session->Open());
    if (!opened.ok) return opened.step.empty() ? who + opened.error : failed(opened.step, opened.error);
    const Pop3Reply listed = command(session->List(&body));
    if (!listed.ok) return failed(listed.step.empty() ? "LIST" : listed.step, listed.error);
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
  // after a broken session. A refused command may have cost the
  // connection, so that case goes on in a fresh session.
  std::map<int, std::string> uidls;
  bool have_uidls = false;
  if (!sizes.empty()) {
    const Pop3Reply listed = command(session->Uidl(&body));
    if (listed.ok) {
      if (!ParseNumberedLines(body, &uidls)) {
        result.failure = failed("UIDL", "unreadable answer \"" + ReplyText(body.substr(0, 80)) + "\"");
        return result;
      }
      have_uidls = true;
    } else if (!listed.refusal.empty()) {
      result.failure = open_and_list();
      if (!result.failure.empty()) return result;
    } else {
      result.failure = failed("UIDL", listed.error);
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
    std::string name = NewName(*journal);
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
    const Pop3Reply deleted = command(session->Dele(number));
    if (!deleted.ok) {
      forget_from(0);
      result.failure = failed("DELE " + std::to_string(number), deleted.error);
      return result;
    }
  }

  // Messages are stored in batches: each is written to a temporary file as
  // it arrives, then the batch is made durable at once (one flush per file,
  // one for the folder), and only then are its messages deleted on the
  // server. A break in the middle still commits what arrived; those
  // messages stay on the server and the next session deletes them by UIDL.
  std::vector<StagedFile> batch;
  std::vector<size_t> batch_plan;  // plan index of each batch entry
  size_t batch_bytes = 0;
  // Commits the batch; with `dele`, deletes its stored messages on the
  // server. "" or the failure text.
  auto commit_batch = [&](bool dele) -> std::string {
    std::string failure;
    Status committed = fs_.CommitFiles(&batch);
    for (size_t k = 0; k < batch.size(); ++k) {
      const Planned& p = plan[batch_plan[k]];
      if (batch[k].committed) {
        result.stored.push_back(p.name);
      } else {
        journal->Forget(p.name);
        if (failure.empty()) {
          failure = who + "store of message " + std::to_string(p.number) + " failed: " + committed.message();
        }
      }
    }
    // What is durable may go from the server, even when others of its
    // batch failed; a pipelining server gets the DELEs in one write.
    std::vector<int> durable;
    for (size_t k = 0; dele && k < batch.size(); ++k) {
      if (batch[k].committed) durable.push_back(plan[batch_plan[k]].number);
    }
    size_t deleted_count = 0;
    const Pop3Reply deleted =
        durable.empty() ? Pop3Reply::Ok() : command(session->DeleMany(durable, &deleted_count));
    if (!deleted.ok && failure.empty() && deleted_count < durable.size()) {
      failure = failed("DELE " + std::to_string(durable[deleted_count]), deleted.error);
    }
    batch.clear();
    batch_plan.clear();
    batch_bytes = 0;
    return failure;
  };
  // Ends the fetch at plan index `i` (not stored) with `text`: what arrived
  // before it is committed, without DELE when the connection is gone.
  auto stop_at = [&](size_t i, std::string text, bool connection_good) {
    const std::string batch_failure = commit_batch(connection_good);
    forget_from(i);
    result.failure = text.empty() ? batch_failure : std::move(text);
    return result;
  };

  // One buffer for every message: its pages stay mapped from one message
  // to the next (the session reserves it for the size LIST gave). The
  // batches are cut by LIST's sizes, so that each one's RETRs can be on
  // the way together.
  std::string message;
  for (size_t i = 0; i < plan.size();) {
    size_t end = i;
    std::uint64_t planned_bytes = 0;
    std::vector<Pop3Session::Wanted> wanted;
    while (end < plan.size() && end - i < kBatchMessages && planned_bytes < kBatchBytes) {
      planned_bytes += plan[end].size;
      wanted.push_back(Pop3Session::Wanted{plan[end].number, plan[end].size});
      ++end;
    }
    std::string store_failure;
    auto store = [&](size_t k) {
      const Planned& p = plan[i + k];
      StagedFile staged;
      Status stored = fs_.StageFile(journal->PathOf(p.name), message, &staged);
      if (!stored.ok()) {
        store_failure = who + "store of message " + std::to_string(p.number) + " failed: " + stored.message();
        return false;
      }
      batch.push_back(std::move(staged));
      batch_plan.push_back(i + k);
      batch_bytes += message.size();
      return true;
    };
    size_t handed = 0;
    const Pop3Reply fetched = command(session->RetrMany(wanted, &message, store, &handed));
    if (!fetched.ok) {
      const std::string step = "RETR " + std::to_string(plan[i + handed].number);
      return stop_at(i + handed, failed(step, fetched.error), false);
    }
    // The message whose store failed is the last one handed out.
    if (!store_failure.empty()) return stop_at(i + handed - 1, store_failure, true);
    const std::string failure = commit_batch(true);
    if (!failure.empty()) {
      forget_from(end);
      result.failure = failure;
      return result;
    }
    i = end;
  }
  session->Quit();  // commits the DELEs
  return result;
}

}  // namespace kelmora
