// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/dispatcher.h"

#include <exception>
#include <functional>
#include <optional>

#include "config/address_file.h"
#include "config/process_types.h"
#include "log/error_entry.h"
#include "mime/mime_util.h"
#include "process/bounce_removal.h"
#include "process/file_retrieval.h"
#include "process/list_guard.h"
#include "process/mail_classifier.h"
#include "process/matching_form.h"
#include "process/membership.h"
#include "process/survey.h"
#include "send/list_headers.h"
#include "send/send_email.h"
#include "send/send_email_oe.h"
#include "send/send_email_to.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

constexpr const char* kDispatchFailureLabel = "受信メールのチェック処理で何らかの異常が発生：";
constexpr const char* kAutoSaveFailureLabel = "自動保存で保存用ファイルに書き込めません：";
constexpr const char* kSurveyFailureLabel = "アンケートの回答を記録できません：";

// Rows that serve senders who are NOT listed in their sender filter.
bool ServesUnlisted(RuleAction a) { return a == RuleAction::kNewRegistration || a == RuleAction::kNewForward; }

// Rows that also take a message whose body's first line holds the keyword.
bool MatchesFirstLine(RuleAction a) {
  return a == RuleAction::kBodyReply || a == RuleAction::kNewForward || a == RuleAction::kNewRegistration ||
         a == RuleAction::kExistingDelete || a == RuleAction::kToForward;
}

}  // namespace

const Addressee* ReceivingAddress(const ReceivedMail& mail, const std::string& address, Addressee* first_to) {
  // The first To address counts even when the To and Cc list is unknown
  // (a road that gives only it).
  *first_to = Addressee{mail.ToAddress, mail.ToName};
  if (!mail.ToAddress.empty() && SameAddress(mail.ToAddress, address)) return first_to;
  for (const Addressee& a : mail.Recipients) {
    if (SameAddress(a.address, address)) return &a;
  }
  return nullptr;
}

std::string UnprocessedLine(const ReceivedMail& mail) {
  std::string to;
  for (const Addressee& a : mail.Recipients) to += (to.empty() ? "<" : ",<") + a.address + ">";
  if (to.empty()) to = "<" + mail.ToAddress + ">";
  return "どのルールにも該当しなかった受信メール：差出人<" + mail.FromAddress + "> 宛先" + to + " 件名「" +
         OneLine(mail.Subject) + "」。";
}

std::string OriginalSender(const ReceivedMail& mail) {
  if (mail.FromAddress != mail.FromName) return "\"" + mail.FromName + "\" <" + mail.FromAddress + ">";
  return "<" + mail.FromAddress + ">";
}

// The send methods answer their failures with a Status; an exception that
// escapes all the same (memory, a library) is caught here, at the edge of
// the dispatcher, so that none leaves it.
void Dispatcher::ProcessMessages(Inbox& inbox) {
  try {
    ProcessAll(inbox);
  } catch (const std::exception& e) {
    ctx_.send.logger.WriteLog(ErrorEntry(kDispatchFailureLabel, ExceptionStatus(e)));
  }
}

std::string Dispatcher::RulePath(const std::string& name) const { return JoinPath(ctx_.program_folder, name); }

void Dispatcher::ProcessAll(Inbox& inbox) {
  const MasterTable& master = ctx_.send.master;
  keyword_forms_.clear();
  for (const MasterRule& rule : master) keyword_forms_.push_back(MatchingForm(rule.Keyword));

  for (int index = 0; index < inbox.Count(); ++index) {
    MessageState state;
    state.index = index;
    state.pop3 = inbox.mode() == ReceptionMode::kPop3;
    inbox.BeginProcessing(index);
    // A fresh record per message: a message that cannot be read must never
    // go out with the fields of the one before it.
    Status read = inbox.Read(index, &state.mail);
    if (!read.ok()) {
      ctx_.send.logger.WriteLog("ReadMailでエラー発生<" + state.mail.StoredName + ">:" + read.message());
      inbox.Settle(index, state.mail, Inbox::Disposition::kSetAside);
      continue;
    }
    state.subject_form = MatchingForm(state.mail.Subject);

    try {
      for (int row = 0; row < static_cast<int>(master.size()); ++row) {
        RowOutcome outcome = ProcessRow(inbox, row, state);
        if (outcome == RowOutcome::kStop) {
          SetAsideIfActed(inbox, state);
          return;
        }
        if (outcome == RowOutcome::kNextMessage) break;
      }
    } catch (const std::exception& e) {
      // A send that threw ends the cycle: the message is set aside if a row
      // acted on it already.
      ctx_.send.logger.WriteLog(ErrorEntry(kDispatchFailureLabel, ExceptionStatus(e)));
      SetAsideIfActed(inbox, state);
      return;
    }
    Settle(inbox, state);
  }
  inbox.Finish();
}

const std::string& Dispatcher::MessageState::FirstLineForm() {
  if (!first_line_built) {
    first_line_form = FirstLineMatchingForm(mail.Body);
    first_line_built = true;
  }
  return first_line_form;
}

void Dispatcher::Acting(Inbox& inbox, MessageState& m) {
  if (m.acted) return;
  m.acted = true;
  inbox.RecordAction(m.index);
}

void Dispatcher::SetAsideIfActed(Inbox& inbox, const MessageState& m) {
  // A message some rule already acted on must not come back to act twice;
  // one that no rule touched yet is handed out again by the next cycle.
  if (!m.acted) return;
  inbox.Settle(m.index, m.mail, Inbox::Disposition::kSetAside);
  ctx_.send.logger.WriteLog("処理の途中で止まった受信メールを、二重に処理しないよう退避しました>" +
                            inbox.SettledName(m.index, m.mail));
}

// A row's work on one message, in order: does the row take the message
// (match), may it act on it (guards), what it does (action), the mail that
// goes out (send), and what becomes of the message (settle).
Dispatcher::RowOutcome Dispatcher::ProcessRow(Inbox& inbox, int row, MessageState& m) {
  const SendContext& send = ctx_.send;
  send.pacer.PumpEvents();
  if (send.pacer.StopRequested()) return RowOutcome::kStop;

  RowMatch match{.rule = send.master[static_cast<size_t>(row)], .row = row, .keyword_form = KeywordForm(row)};
  match.keyword_in_subject = !m.subject_form.empty() && m.subject_form.find(match.keyword_form) != std::string::npos;
  if (std::optional<RowOutcome> done = Match(inbox, m, match)) return *done;

  ReplyLimiter limiter(send.fs, send.clock, RulePath(ReplyLimiter::kFileName));
  if (HeldBack(m, match, limiter)) return RowOutcome::kNextRow;

  bool sent = false;
  bool bounce_removed = false;
  if (match.rule.Action == RuleAction::kUndeliveredDelete) {
    if (!RemoveBounced(inbox, m, match.rule, &bounce_removed)) return RowOutcome::kNextRow;
    sent = true;
  } else {
    OutgoingMail out = Act(inbox, m, match);
    sent = Send(inbox, m, match, out);
  }
  SettleRow(m, match, limiter, sent, bounce_removed);
  return RowOutcome::kNextRow;
}

const std::string& Dispatcher::KeywordForm(int row) {
  // The table cannot change during a cycle; should it grow all the same,
  // a new row's form is built here.
  while (keyword_forms_.size() <= static_cast<size_t>(row)) {
    keyword_forms_.push_back(MatchingForm(ctx_.send.master[keyword_forms_.size()].Keyword));
  }
  return keyword_forms_[static_cast<size_t>(row)];
}

bool Dispatcher::DeletesOnSight(const MasterRule& rule, const ReceivedMail& mail, bool keyword_in_subject) {
  switch (rule.Deletion) {
    case DeleteInstruction::kAutoDelete: return keyword_in_subject;
    case DeleteInstruction::kVirusAutoDelete:
      return mail.AttachmentCount() > 0 && (keyword_in_subject || mail.Subject.empty());
    default: return false;
  }
}

std::optional<Dispatcher::RowOutcome> Dispatcher::Match(Inbox& inbox, MessageState& m, RowMatch& match) {
  const MasterRule& rule = match.rule;
  const ReceivedMail& mail = m.mail;
  const bool deletes_on_sight = DeletesOnSight(rule, mail, match.keyword_in_subject);
  if (rule.ToAddress == "*") {
    if (!deletes_on_sight) return RowOutcome::kNextRow;
    m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }
  // A row serves its address wherever the message names it in To or Cc,
  // and then acts as if it had been sent there.
  Addressee first_to;
  const Addressee* receiving = ReceivingAddress(mail, rule.ToAddress, &first_to);
  if (receiving == nullptr) return RowOutcome::kNextRow;
  match.receiving_name = receiving->name;
  if (!rule.SenderFilter.empty() && !SenderCheckPasses(rule, mail)) return RowOutcome::kNextRow;
  if (deletes_on_sight) {
    m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }
  if (std::optional<RowOutcome> recorded = RecordByKeyword(inbox, m, match)) return recorded;

  match.tag = ListTagOf(rule, mail);
  if (match.tag != ListTagMode::kPlain && SameAddress(mail.FromAddress, rule.ToAddress)) {
    m.own_post = true;  // the list's own post came back: nothing to do, nothing to tell
    return RowOutcome::kNextRow;
  }
  if (match.keyword_in_subject || match.tag != ListTagMode::kPlain) return std::nullopt;
  if (MatchesFirstLine(rule.Action) && FindInFirstLine(m.FirstLineForm(), match.keyword_form) > 0) {
    return std::nullopt;
  }
  return RowOutcome::kNextRow;
}

std::optional<Dispatcher::RowOutcome> Dispatcher::RecordByKeyword(Inbox& inbox, MessageState& m,
                                                                   const RowMatch& match) {
  const MasterRule& rule = match.rule;
  const bool auto_save = rule.Action == RuleAction::kAutoSave;
  if (!match.keyword_in_subject || !(auto_save || IsSurveyAnswer(rule.Action))) return std::nullopt;
  const SendContext& send = ctx_.send;
  const std::string& file = auto_save ? rule.BodyFile : rule.DataFile;
  if (file.empty()) {
    // Nowhere to save, or the answer has nowhere to go (the table may leave
    // File empty for three survey kinds): the message is kept rather than
    // lost, and later rows must not forward or delete it.
    send.logger.WriteLog(
        "Master.txtの" + std::to_string(match.row + 1) +
        (auto_save ? "行目の自動保存には保存用ファイルが指定されていないので保存できません。"
                   : "行目のアンケート<" + rule.ActionText + ">には保存用ファイルが指定されていないので回答を記録できません。"));
    return RowOutcome::kNextMessage;
  }
  Acting(inbox, m);
  const Status recorded = auto_save ? AutoSave(rule, m.mail)
                                    : RecordSurveyAnswer(send.fs, RulePath(rule.DataFile), rule.Keyword, m.mail.Body,
                                                         m.mail.FromAddress, SurveyKindOf(rule.Action));
  // A survey refuses a second vote, an empty answer or a file of another
  // survey: that is the answer's fate. A file that could not be read or
  // written lost nothing yet: the message is set aside, not deleted.
  const bool refused = recorded.code() == Status::Code::kRefused ||
                       recorded.code() == Status::Code::kInvalidArgument || recorded.code() == Status::Code::kCorrupt;
  if (!recorded.ok() && (auto_save || !refused)) {
    send.logger.WriteLog(ErrorEntry(auto_save ? kAutoSaveFailureLabel : kSurveyFailureLabel, recorded));
    m.send_failed = true;
    return RowOutcome::kNextMessage;
  }
  if (rule.Deletion == DeleteInstruction::kDelete || send.settings.DeleteAfterProcessing != 0) m.delete_mark = true;
  return RowOutcome::kNextMessage;
}

ListTagMode Dispatcher::ListTagOf(const MasterRule& rule, const ReceivedMail& mail) {
  if (!IsMLIDKeyword(rule.Keyword)) return ListTagMode::kPlain;
  if (Trim(rule.ForwardSubject) == rule.Keyword) return ListTagMode::kTitleIsTag;
  if (SubjectHasMLID(mail.Subject, rule.Keyword)) return ListTagMode::kSubjectHasTag;
  return ListTagMode::kPlain;
}

bool Dispatcher::HeldBack(MessageState& m, const RowMatch& match, const ReplyLimiter& limiter) {
  // list mail guards (list_guard.h): machine mail, loops, daily limit
  const std::string held = HoldBackLine(ctx_.send.master, match.row, m.mail, limiter);
  if (held.empty()) return false;
  ctx_.send.logger.WriteNotice(held);  // held back on purpose: no failure
  m.held = true;
  return true;
}

namespace {

// Rows that answer the sender instead of forwarding: the reply goes to the
// sender alone, with the generated text.
void ReplyToSender(const ReceivedMail& mail, std::string text, OutgoingMail* out) {
  out->ToAddr = mail.FromAddress;
  out->ToName = mail.FromName;
  out->Msg = std::move(text);
  out->ListTag = ListTagMode::kGeneratedReply;
  out->RequestMessageId = mail.MessageId;  // list mail guards: threading
  out->RequestReferences = mail.References;
}

// The received subject without the row's keyword and the list's tag.
std::string ReceivedSubjectFor(const MasterRule& rule, const ReceivedMail& mail) {
  std::string subject = ReplaceAll(mail.Subject, rule.Keyword, "");
  if (!rule.Keyword.empty() && SubjectHasMLID(subject, rule.Keyword)) subject = StripMLTag(subject, rule.Keyword);
  return subject;
}

}  // namespace

OutgoingMail Dispatcher::Act(Inbox& inbox, MessageState& m, RowMatch& match) {
  const MasterRule& rule = match.rule;
  const ReceivedMail& mail = m.mail;
  const SendContext& send = ctx_.send;
  OutgoingMail out;
  out.ToAddr = rule.ToAddress;
  out.ToName = match.receiving_name;
  out.MasterIndex = match.row;
  out.Msg = mail.Body;
  out.ListTag = match.tag;
  out.ReceivedInReplyTo = mail.InReplyTo;
  out.ReceivedReferences = mail.References;
  out.ReceivedSubject = ReceivedSubjectFor(rule, mail);
  out.OriginalSender = OriginalSender(mail);
  match.attachment_count = mail.AttachmentCount();

  if (IsPreparedTextReply(rule.Action)) {
    ReplyToSender(mail, ReadWholeFile(send.fs, RulePath(rule.BodyFile)), &out);
  } else if (IsMembershipCommand(rule.Action)) {
    Acting(inbox, m);
    ReplyToSender(mail,
                  RunMembershipCommand(MembershipContext{send.fs, send.clock, ctx_.members, ctx_.program_folder},
                                       rule, mail),
                  &out);
  } else if (IsSurveyReply(rule.Action)) {
    Acting(inbox, m);
    ReplyToSender(mail, SurveyReply(rule, mail), &out);
  }
  if (rule.Attachments == AttachmentHandling::kProcess && mail.AttachmentCount() > 0) {
    out.AttachmentPaths = inbox.AttachmentList(m.index, mail, &match.attachment_files);
    if (match.attachment_files.empty()) match.attachment_files.push_back("");
  }
  if (IsFileRetrieval(rule.Action)) {
    RetrievalReply reply =
        RunFileRetrieval(send.fs, ctx_.program_folder, rule.Action == RuleAction::kCommandX, mail.Body);
    ReplyToSender(mail, reply.Msg, &out);
    out.AttachmentPaths = reply.AttachmentPaths;
    match.attachment_count = reply.AttachmentCount;
  }
  return out;
}

bool Dispatcher::Send(Inbox& inbox, MessageState& m, RowMatch& match, const OutgoingMail& out) {
  const SendContext& send = ctx_.send;
  const MasterRule& rule = match.rule;
  bool sent = false;
  if (rule.SendFrom.empty()) {
    // A post forwarded through the store carries the received attachments
    // whatever the row's attachment column says; mail of another road
    // hands them over by their files.
    std::vector<std::string>& files = match.attachment_files;
    if (m.mail.AttachmentCount() > 0 && files.size() == 1 && files[0].empty()) {
      inbox.AttachmentList(m.index, m.mail, &files);
      if (files.empty()) files.push_back("");
    }
    // The store records a send as the message's action itself, once the
    // outgoing copy lies safely in its outbox: recorded here, a crash
    // before the copy is queued would lose the post.
    if (inbox.mode() != ReceptionMode::kLocalStore) Acting(inbox, m);
    // A failure is already in the log; the row only needs to know whether
    // the mail went out.
    sent = SendEMailOE(send, out, match.attachment_count, files).ok();
    if (sent) m.acted = true;
  } else {
    Acting(inbox, m);
    sent = (rule.Action == RuleAction::kToForward ? SendEMailTo(send, out) : SendEMail(send, out, inbox.mode())).ok();
  }
  // A server that refuses a dead address outright sends no bounce: its
  // refusal stands for one.
  if (send.mail != nullptr) RemoveUnknownRecipients(Bounces(), send.master, send.mail->TakeUnknownRecipients(), &rule);
  return sent;
}

void Dispatcher::SettleRow(MessageState& m, const RowMatch& match, ReplyLimiter& limiter, bool sent,
                           bool bounce_removed) {
  const SendContext& send = ctx_.send;
  const MasterRule& rule = match.rule;
  if (!sent) {
    m.send_failed = true;
    return;
  }
  // list mail guards: the reply is on record for a day
  if (IsPreparedTextReplyRow(rule.Action)) {
    Status recorded = limiter.RecordReply(ReplyRowKey(rule), m.mail.FromAddress);
    if (!recorded.ok()) send.logger.WriteLog(ReplyRecordFailureLine(recorded.message()));
  }
  const Settings& settings = send.settings;
  const bool mail_del = settings.DeleteAfterProcessing != 0;
  const bool pop3 = m.pop3;
  if (!mail_del) m.delete_mark = false;
  bool mark = rule.Deletion == DeleteInstruction::kDelete || (pop3 && settings.LogReceivedMail == 0) ||
              (!pop3 && mail_del);
  if (rule.Action == RuleAction::kUndeliveredDelete) mark = mark && bounce_removed;
  if (mark) m.delete_mark = true;
}

std::string Dispatcher::SurveyReply(const MasterRule& rule, const ReceivedMail& mail) {
  FileSystem& fs = ctx_.send.fs;
  const std::string path = RulePath(rule.DataFile);
  if (rule.Action == RuleAction::kSurveyResults) return SurveyResults(fs, path, "");
  if (rule.Action == RuleAction::kSurveyResultsRestricted) return SurveyResults(fs, path, mail.FromAddress);
  if (rule.Action == RuleAction::kSurveyAddresses) return SurveyVoters(fs, path);
  if (WriteTextFile(fs, path, " ").ok()) {
    return "アンケート結果(" + rule.DataFile + ")の中身の削除は正常に終了しました。";
  }
  return "アンケート結果(" + rule.DataFile + ")の中身の削除は異常の為に正常に終了しませんでした。";
}

bool Dispatcher::SenderCheckPasses(const MasterRule& rule, const ReceivedMail& mail) {
  const bool unlisted_rows = ServesUnlisted(rule.Action);
  const bool bounce_row = rule.Action == RuleAction::kUndeliveredDelete;
  // Mail servers write MAILER-DAEMON and postmaster in every case, so a
  // bounce row's senders match without regard to case; any other sender
  // only in the case of the domain.
  auto same = [&](const std::string& a, const std::string& b) {
    return bounce_row ? EqualsIgnoringAsciiCase(a, b) : SameAddress(a, b);
  };
  auto contains = [&](const std::string& text, const std::string& part) {
    return bounce_row ? ContainsIgnoringAsciiCase(text, part) : Contains(text, part);
  };
  if (IsMailAddress(rule.SenderFilter)) {
    if (same(mail.FromAddress, rule.SenderFilter)) return !unlisted_rows;
    if (unlisted_rows) return true;
    return bounce_row && (contains(rule.SenderFilter, mail.FromAddress) || contains(rule.SenderFilter, mail.FromName));
  }
  bool listed = false;
  const MemberTable& table = ctx_.members;
  int index = table.FindList(rule.SenderFilter);
  if (index >= 0 && !bounce_row) {
    listed = table.HasMember(index, mail.FromAddress);
  } else if (index >= 0) {
    table.ForEachMember(index, [&](std::string_view a) { listed = listed || same(std::string(a), mail.FromAddress); });
  } else {
    std::vector<std::string> lines;
    // A sender file that is gone or unreadable lists nobody (its lines are
    // one empty element then): the start-up check found it, and a row must
    // not serve every sender because its list cannot be read.
    (void)ReadLinesFromOne(ctx_.send.fs, RulePath(rule.SenderFilter), &lines);
    const std::string from = Trim(mail.FromAddress);
    const std::string from_name = Trim(mail.FromName);
    for (size_t i = 1; i < lines.size() && !listed; ++i) {
      std::vector<std::string> f = Split(lines[i], ",");
      if (f.size() > 1 && same(Trim(f[1]), from)) listed = true;
      if (bounce_row && !mail.FromName.empty() && f.size() > 2 && contains(f[2], from_name)) listed = true;
    }
  }
  return listed != unlisted_rows;
}

Status Dispatcher::AutoSave(const MasterRule& rule, const ReceivedMail& mail) {
  FileSystem& fs = ctx_.send.fs;
  const std::string path = RulePath(rule.BodyFile);
  if (!FindFile(fs, path).empty()) {
    // The stamp goes in front of the file's own name, so a save file in a
    // sub-folder keeps its copies beside it instead of failing silently.
    std::string copy = path;
    size_t slash = copy.find_last_of('/');
    copy.insert(slash + 1, FormatStamp14(ctx_.send.clock.Now()));
    // The earlier body must be safe in its copy before the new one
    // replaces it.
    std::string bytes;
    Status read = fs.ReadFile(path, &bytes);
    if (!read.ok()) return read;
    Status copied = fs.WriteFileAtomic(copy, bytes);
    if (!copied.ok()) return copied;
  }
  return WriteTextFile(fs, path, mail.Body);
}

bool Dispatcher::RemoveBounced(Inbox& inbox, MessageState& m, const MasterRule& rule, bool* removed) {
  *removed = false;
  const std::vector<std::string> bounced = BouncedAddresses(m.mail, ctx_.undelivery);
  if (bounced.empty()) return false;
  Acting(inbox, m);
  for (const std::string& address : bounced) {
    if (RemoveBouncedMember(Bounces(), rule.DataFile, address)) *removed = true;
  }
  return true;
}

bool Dispatcher::IsOwnPostComingBack(const ReceivedMail& mail) const {
  for (const MasterRule& rule : ctx_.send.master) {
    if (rule.ToAddress != "*" && !LoopReason(mail, rule.ToAddress, ListIdentifier(rule)).empty()) return true;
  }
  return false;
}

BounceContext Dispatcher::Bounces() const {
  return BounceContext{ctx_.send.fs, ctx_.send.logger, ctx_.members, ctx_.program_folder};
}

void Dispatcher::Settle(Inbox& inbox, const MessageState& m) {
  // Attachments of a message whose send failed stay with it, so that it can
  // be sent again by hand.
  if (!m.send_failed) inbox.DiscardAttachments(m.index, m.mail);
  // A failed send keeps the message, whatever later rows did: a list post
  // that did not go out must never vanish.
  if (m.send_failed) {
    inbox.Settle(m.index, m.mail, Inbox::Disposition::kSetAside);
  } else if (m.delete_mark) {
    inbox.Settle(m.index, m.mail, Inbox::Disposition::kDelete);
  } else if (!m.acted && (m.own_post || IsOwnPostComingBack(m.mail))) {
    // The list's own copy of a post (its address is a visible recipient)
    // needs nothing and no word.
    inbox.Settle(m.index, m.mail, Inbox::Disposition::kKeepReadable);
  } else if (!m.acted) {
    // No row took the message: the owner must see it, whole, and why (an
    // address in another letter case, a sender not on the list).
    std::string kept = inbox.KeepUnprocessed(m.index, m.mail);
    if (kept.empty()) {
      kept = inbox.mode() == ReceptionMode::kLocalStore ? "メールストアに既読にして残しました。" : "残しました。";
    }
    // A message a row held back has its line already. Nothing failed: the
    // line is for the owner, not a fault of the check.
    if (!m.held) ctx_.send.logger.WriteNotice(UnprocessedLine(m.mail) + kept);
  } else {
    inbox.Settle(m.index, m.mail, Inbox::Disposition::kKeepReadable);
  }
}

}  // namespace kelmora
