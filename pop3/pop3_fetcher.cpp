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
  if (result.status.ok()) return result;
  std::string failure = ScrubPassword(result.status.message(), user, password);
  Pop3Server server;
  if (ParsePop3Server(server_text, &server).ok()) {
    failure = ScrubPassword(failure, server.login_user, server.login_password);
  }
  result.status = Status::Error(std::move(failure));
  return result;
}

// Every step answers a Status; a failed step ends the run.
class Pop3Fetcher::Run {
 public:
  Run(Pop3Fetcher& fetcher, const Pop3Server& server, const std::string& login_user,
      const std::string& login_password, std::string account, const std::string& folder, ReceiveJournal& journal)
      : fetcher_(fetcher),
        server_(server),
        login_user_(login_user),
        login_password_(login_password),
        who_("POP3 " + server.Display() + " user " + ReplyText(login_user) + ": "),
        account_(std::move(account)),
        folder_(folder),
        journal_(journal) {}

  Pop3FetchResult Fetch() {
    result_.status = FetchAll();
    return std::move(result_);
  }

 private:
  struct Planned {
    int number;
    std::uint64_t size;
    std::string name;
  };

  Status FetchAll();
  // The server's refusal of the last command is kept for the failure text.
  Pop3Reply Command(Pop3Reply reply) {
    refusal_ = reply.refusal;
    return reply;
  }
  Status Failed(const std::string& step, const std::string& detail) const {
    std::string text = who_ + step + " failed: " + detail;
    if (!refusal_.empty()) text += "; server reply: " + refusal_;
    return Status::Error(text);
  }
  Status OpenAndList();
  Status ReadSizes();
  Status ReadUidls();
  void KeepOnlyListedInJournal();
  Status PlanMessages();
  Status RecordPlan();
  Status DeleteStoredEarlier();
  Status FetchPlanned();
  size_t BatchEnd(size_t first) const;
  Status FetchBatch(size_t first, size_t end);
  Status Stage(size_t index);
  Status CommitBatch(bool dele);
  Status TakeCommitted(const Status& committed);
  Status DeleteDurable();
  Status StopAt(size_t index, const Status& failure, bool connection_good);
  // Forgets the records of planned messages from `from` on (not stored).
  void ForgetFrom(size_t from) {
    for (size_t i = from; i < plan_.size(); ++i) journal_.Forget(plan_[i].name);
  }

  Pop3Fetcher& fetcher_;
  const Pop3Server& server_;
  const std::string& login_user_;
  const std::string& login_password_;
  const std::string who_;
  const std::string account_;
  const std::string& folder_;
  ReceiveJournal& journal_;

  std::unique_ptr<Pop3Session> session_;
  std::string refusal_;
  std::string body_;  // the last LIST or UIDL answer
  std::map<int, std::uint64_t> sizes_;
  std::map<int, std::string> uidls_;
  bool have_uidls_ = false;
  std::vector<int> already_stored_;
  std::vector<Planned> plan_;
  std::vector<StagedFile> batch_;
  std::vector<size_t> batch_plan_;  // plan index of each batch entry
  // One buffer for every message: its pages stay mapped from one message
  // to the next (the session reserves it for the size LIST gave).
  std::string message_;
  Pop3FetchResult result_;
};

Status Pop3Fetcher::Run::FetchAll() {
  Status failure = OpenAndList();
  if (failure.ok()) failure = ReadUidls();
  if (!failure.ok()) return failure;
  if (have_uidls_ || sizes_.empty()) KeepOnlyListedInJournal();
  failure = PlanMessages();
  if (failure.ok()) failure = RecordPlan();
  if (failure.ok()) failure = DeleteStoredEarlier();
  if (!failure.ok()) {
    ForgetFrom(0);
    return failure;
  }
  failure = FetchPlanned();
  if (failure.ok()) session_->Quit();  // commits the DELEs
  return failure;
}

// Opens a session and runs LIST (with libcurl the first command also
// connects and logs in).
Status Pop3Fetcher::Run::OpenAndList() {
  if (session_) session_->Quit();  // QUIT for an earlier session first
  session_ = fetcher_.sessions_.NewSession(server_, login_user_, login_password_);
  const Pop3Reply opened = Command(session_->Open());
  if (!opened.ok()) {
    if (opened.step.empty()) return Status::Error(who_ + opened.status.message());
    return Failed(opened.step, opened.status.message());
  }
  const Pop3Reply listed = Command(session_->List(&body_));
  if (!listed.ok()) return Failed(listed.step.empty() ? "LIST" : listed.step, listed.status.message());
  return ReadSizes();
}

Status Pop3Fetcher::Run::ReadSizes() {
  std::map<int, std::string> sizes_text;
  if (!ParseNumberedLines(body_, &sizes_text)) {
    return Failed("LIST", "unreadable answer \"" + ReplyText(body_.substr(0, 80)) + "\"");
  }
  sizes_.clear();
  for (const auto& [number, text] : sizes_text) {
    std::uint64_t size = 0;
    if (!ParseSize(text, &size)) {
      return Failed("LIST", "unreadable size \"" + ReplyText(text) + "\" of message " + std::to_string(number));
    }
    sizes_[number] = size;
  }
  return Status::OK();
}

// UIDL: what ties a message to the journal across sessions. A server
// without UIDL still works, only without protection against duplicates
// after a broken session. A refused command may have cost the connection,
// so that case goes on in a fresh session.
Status Pop3Fetcher::Run::ReadUidls() {
  if (sizes_.empty()) return Status::OK();
  const Pop3Reply listed = Command(session_->Uidl(&body_));
  if (listed.ok()) {
    if (!ParseNumberedLines(body_, &uidls_)) {
      return Failed("UIDL", "unreadable answer \"" + ReplyText(body_.substr(0, 80)) + "\"");
    }
    have_uidls_ = true;
    return Status::OK();
  }
  if (!listed.refusal.empty()) return OpenAndList();
  return Failed("UIDL", listed.status.message());
}

void Pop3Fetcher::Run::KeepOnlyListedInJournal() {
  std::set<std::string> listed;
  for (const auto& [number, uidl] : uidls_) listed.insert(uidl);
  journal_.KeepOnlyListedUidls(account_, listed);
}

// Each message the journal does not hold yet gets a fresh name and a
// record; those it holds were stored by an earlier session.
Status Pop3Fetcher::Run::PlanMessages() {
  for (const auto& [number, size] : sizes_) {
    auto it = uidls_.find(number);
    const std::string uidl = it == uidls_.end() ? "" : it->second;
    if (journal_.HoldsUidl(account_, uidl)) {
      already_stored_.push_back(number);
      continue;
    }
    std::string name = fetcher_.NewName(journal_);
    if (name.empty()) return Failed("store", "no free file name in " + folder_);
    journal_.AddStored(name, account_, uidl);
    plan_.push_back(Planned{number, size, name});
  }
  return Status::OK();
}

// Record before fetching: a crash from here on leaves no stored file that
// the journal does not know.
Status Pop3Fetcher::Run::RecordPlan() {
  if (plan_.empty()) return Status::OK();
  Status saved = journal_.Save();
  return saved.ok() ? Status::OK() : Status::Error(who_ + "journal write failed: " + saved.message());
}

// Messages stored by an earlier session whose deletion was not committed.
Status Pop3Fetcher::Run::DeleteStoredEarlier() {
  for (int number : already_stored_) {
    const Pop3Reply deleted = Command(session_->Dele(number));
    if (!deleted.ok()) return Failed("DELE " + std::to_string(number), deleted.status.message());
  }
  return Status::OK();
}

// Messages are stored in batches: each is written to a temporary file as
// it arrives, then the batch is made durable at once (one flush per file,
// one for the folder), and only then are its messages deleted on the
// server. A break in the middle still commits what arrived; those messages
// stay on the server and the next session deletes them by UIDL.
Status Pop3Fetcher::Run::FetchPlanned() {
  for (size_t first = 0; first < plan_.size();) {
    const size_t end = BatchEnd(first);
    const Status failure = FetchBatch(first, end);
    if (!failure.ok()) return failure;
    first = end;
  }
  return Status::OK();
}

// The batches are cut by LIST's sizes, so that each one's RETRs can be on
// the way together.
size_t Pop3Fetcher::Run::BatchEnd(size_t first) const {
  size_t end = first;
  std::uint64_t planned_bytes = 0;
  while (end < plan_.size() && end - first < kBatchMessages && planned_bytes < kBatchBytes) {
    planned_bytes += plan_[end].size;
    ++end;
  }
  return end;
}

Status Pop3Fetcher::Run::FetchBatch(size_t first, size_t end) {
  std::vector<Pop3Session::Wanted> wanted;
  for (size_t i = first; i < end; ++i) wanted.push_back(Pop3Session::Wanted{plan_[i].number, plan_[i].size});
  Status store_failure;
  auto store = [&](size_t k) {
    store_failure = Stage(first + k);
    return store_failure.ok();
  };
  size_t handed = 0;
  const Pop3Reply fetched = Command(session_->RetrMany(wanted, &message_, store, &handed));
  if (!fetched.ok()) {
    const std::string step = "RETR " + std::to_string(plan_[first + handed].number);
    return StopAt(first + handed, Failed(step, fetched.status.message()), false);
  }
  // The message whose store failed is the last one handed out.
  if (!store_failure.ok()) return StopAt(first + handed - 1, store_failure, true);
  const Status failure = CommitBatch(true);
  if (!failure.ok()) ForgetFrom(end);
  return failure;
}

// Writes the message just received to a temporary file of the batch.
Status Pop3Fetcher::Run::Stage(size_t index) {
  const Planned& p = plan_[index];
  StagedFile staged;
  Status stored = fetcher_.fs_.StageFile(journal_.PathOf(p.name), message_, &staged);
  if (!stored.ok()) {
    return Status::Error(who_ + "store of message " + std::to_string(p.number) + " failed: " + stored.message());
  }
  batch_.push_back(std::move(staged));
  batch_plan_.push_back(index);
  return Status::OK();
}

// Commits the batch; with `dele`, deletes its stored messages on the
// server.
Status Pop3Fetcher::Run::CommitBatch(bool dele) {
  Status failure = TakeCommitted(fetcher_.fs_.CommitFiles(&batch_));
  const Status dele_failure = dele ? DeleteDurable() : Status::OK();
  if (failure.ok()) failure = dele_failure;
  batch_.clear();
  batch_plan_.clear();
  return failure;
}

// Counts the committed files of the batch as stored and forgets the others.
Status Pop3Fetcher::Run::TakeCommitted(const Status& committed) {
  Status failure;
  for (size_t k = 0; k < batch_.size(); ++k) {
    const Planned& p = plan_[batch_plan_[k]];
    if (batch_[k].committed) {
      result_.stored.push_back(p.name);
    } else {
      journal_.Forget(p.name);
      if (failure.ok()) {
        failure =
            Status::Error(who_ + "store of message " + std::to_string(p.number) + " failed: " + committed.message());
      }
    }
  }
  return failure;
}

// What is durable may go from the server, even when others of its batch
// failed; a pipelining server gets the DELEs in one write.
Status Pop3Fetcher::Run::DeleteDurable() {
  std::vector<int> durable;
  for (size_t k = 0; k < batch_.size(); ++k) {
    if (batch_[k].committed) durable.push_back(plan_[batch_plan_[k]].number);
  }
  if (durable.empty()) return Status::OK();
  size_t deleted_count = 0;
  const Pop3Reply deleted = Command(session_->DeleMany(durable, &deleted_count));
  if (deleted.ok() || deleted_count >= durable.size()) return Status::OK();
  return Failed("DELE " + std::to_string(durable[deleted_count]), deleted.status.message());
}

// Ends the fetch at plan index `index` (not stored) with `failure`: what
// arrived before it is committed, without DELE when the connection is gone.
Status Pop3Fetcher::Run::StopAt(size_t index, const Status& failure, bool connection_good) {
  const Status batch_failure = CommitBatch(connection_good);
  ForgetFrom(index);
  return failure.ok() ? batch_failure : failure;
}

Pop3FetchResult Pop3Fetcher::FetchUnscrubbed(const std::string& server_text, const std::string& user,
                                             const std::string& password, const std::string& folder,
                                             ReceiveJournal* journal) {
  Pop3Server server;
  if (Status parsed = ParsePop3Server(server_text, &server); !parsed.ok()) {
    Pop3FetchResult result;
    result.status = Status::Error("POP3: " + parsed.message());
    return result;
  }
  // A pop3:// URL may carry the login itself ("pop3://club@example.org:pw@host").
  const std::string& login_user = user.empty() ? server.login_user : user;
  const std::string& login_password = password.empty() ? server.login_password : password;
  Run run(*this, server, login_user, login_password, ReceiveJournal::AccountKey(server_text, user), folder, *journal);
  return run.Fetch();
}

}  // namespace kelmora
