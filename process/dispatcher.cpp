// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/dispatcher.h"

#include <exception>
#include <functional>

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

bool IsOneOf(const std::string& p, std::initializer_list<const char*> words) {
  for (const char* w : words) {
    if (p == w) return true;
  }
  return false;
}

bool IsSurveyAnswer(const std::string& p) {
  return IsOneOf(p, {words::kSurvey, words::kSurveySelect, words::kSurveyOneLine, words::kSurveySelectOneLine});
}

bool IsSurveyReply(const std::string& p) {
  return IsOneOf(p, {words::kSurveyResults, words::kSurveyResultsRestricted, words::kSurveyAddresses,
                     words::kSurveyClear});
}

// Rows that serve senders who are NOT listed in their sender filter.
bool ServesUnlisted(const std::string& p) { return IsOneOf(p, {words::kNewRegistration, words::kNewForward}); }

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

void Dispatcher::ProcessMessages(Inbox& inbox) {
  try {
    ProcessAll(inbox);
  } catch (const std::exception& e) {
    ctx_.send.logger.WriteLog(ErrorEntry(kDispatchFailureLabel, e));
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
      ctx_.send.logger.WriteLog(ErrorEntry(kDispatchFailureLabel, e));
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
  ctx_.send.logger.WriteLog("処理の途中で止まった受信メールを、二重に処理しないよう退避しました>" + m.mail.StoredName);
  inbox.Settle(m.index, m.mail, Inbox::Disposition::kSetAside);
}

Dispatcher::RowOutcome Dispatcher::ProcessRow(Inbox& inbox, int row, MessageState& m) {
  const SendContext& send = ctx_.send;
  send.pacer.PumpEvents();
  if (send.pacer.StopRequested()) return RowOutcome::kStop;

  const MasterRule& rule = send.master[static_cast<size_t>(row)];
  const ReceivedMail& mail = m.mail;
  const bool pop3 = inbox.mode() == ReceptionMode::kPop3;
  const Settings& settings = send.settings;

  // The table cannot change during a cycle; should it grow all the same,
  // a new row's form is built here.
  while (keyword_forms_.size() <= static_cast<size_t>(row)) {
    keyword_forms_.push_back(MatchingForm(send.master[keyword_forms_.size()].Keyword));
  }
  const std::string& k = keyword_forms_[static_cast<size_t>(row)];
  const bool keyword_in_subject = !m.subject_form.empty() && m.subject_form.find(k) != std::string::npos;
  const bool delete_by_keyword = rule.Delete == words::kAutoDelete && keyword_in_subject;
  const bool delete_as_virus = rule.Delete == words::kVirusAutoDelete && mail.AttachmentCount() > 0 &&
                               (keyword_in_subject || mail.Subject.empty());

  if (rule.ToAddr == "*") {
    if (delete_by_keyword || delete_as_virus) {
      m.delete_mark = true;
      return RowOutcome::kNextMessage;
    }
    return RowOutcome::kNextRow;
  }
  // A row serves its address wherever the message names it in To or Cc,
  // and then acts as if it had been sent there.
  Addressee first_to;
  const Addressee* receiving = ReceivingAddress(mail, rule.ToAddr, &first_to);
  if (receiving == nullptr) return RowOutcome::kNextRow;
  if (!rule.RecAddr.empty() && !SenderCheckPasses(rule, mail)) return RowOutcome::kNextRow;

  if (!rule.Delete.empty() && (delete_by_keyword || delete_as_virus)) {
    m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }

  const bool mail_del = settings.DeleteAfterProcessing != 0;
  if (rule.Process == words::kAutoSave && keyword_in_subject) {
    if (rule.Msg.empty()) {
      // Nowhere to save: the message is kept rather than deleted unsaved.
      send.logger.WriteLog("Master.txtの" + std::to_string(row + 1) +
                           "行目の自動保存には保存用ファイルが指定されていないので保存できません。");
      return RowOutcome::kNextMessage;
    }
    Acting(inbox, m);
    AutoSave(rule, mail);
    if (rule.Delete == words::kDelete || mail_del) m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }
  if (keyword_in_subject && IsSurveyAnswer(rule.Process)) {
    if (rule.File.empty()) {
      // The table may leave File empty for three survey kinds; the answer
      // then has nowhere to go, so the message is kept rather than lost.
      send.logger.WriteLog("Master.txtの" + std::to_string(row + 1) + "行目のアンケート<" + rule.Process +
                           ">には保存用ファイルが指定されていないので回答を記録できません。");
      // Later rows must not forward or delete an answer that was not
      // recorded.
      return RowOutcome::kNextMessage;
    }
    Acting(inbox, m);
    RecordSurveyAnswer(send.fs, RulePath(rule.File), rule.Keyword, mail.Body, mail.FromAddress,
                       SurveyKindOf(rule.Process));
    if (rule.Delete == words::kDelete || mail_del) m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }

  int flag = kPlainMessage;
  if (IsMLIDKeyword(rule.Keyword)) {
    if (SubjectHasMLID(mail.Subject, rule.Keyword)) flag = kSubjectHasListTag;
    if (Trim(rule.Tittle) == rule.Keyword) flag = kTitleIsListTag;
  }
  if (SameAddress(mail.FromAddress, rule.ToAddr) && flag >= 1) {
    m.own_post = true;  // the list's own post came back: nothing to do, nothing to tell
    return RowOutcome::kNextRow;
  }

  const bool first_line_rows = IsOneOf(rule.Process, {words::kBodyReply, words::kNewForward, words::kNewRegistration,
                                                      words::kExistingDelete, words::kToForward});
  const bool matched = keyword_in_subject || flag > 0 || (first_line_rows && FindInFirstLine(m.FirstLineForm(), k) > 0);
  if (!matched) return RowOutcome::kNextRow;

  // >>> list mail guards (list_guard.h): machine mail, loops, daily limit
  ReplyLimiter limiter(send.fs, send.clock, RulePath(ReplyLimiter::kFileName));
  const std::string held = HoldBackLine(send.master, row, mail, limiter);
  if (!held.empty()) {
    send.logger.WriteNotice(held);  // held back on purpose: no failure
    m.held = true;
    return RowOutcome::kNextRow;
  }
  // <<< list mail guards

  OutgoingMail out;
  out.ToAddr = rule.ToAddr;
  out.ToName = receiving->name;
  out.MasterIndex = row;
  out.Msg = mail.Body;
  out.ML_IDflag = flag;
  out.ReceivedInReplyTo = mail.InReplyTo;
  out.ReceivedReferences = mail.References;

  bool sent = false;
  bool bounce_removed = false;
  const bool bounce_row = rule.Process == words::kUndeliveredDelete;
  // Rows that answer the sender instead of forwarding: the reply goes to
  // the sender alone, with the generated text.
  auto reply_to_sender = [&](std::string text) {
    out.ToAddr = mail.FromAddress;
    out.ToName = mail.FromName;
    out.Msg = std::move(text);
    out.ML_IDflag = kGeneratedReply;
    out.RequestMessageId = mail.MessageId;  // list mail guards: threading
    out.RequestReferences = mail.References;
  };
  if (bounce_row) {
    if (!RemoveBounced(inbox, m, rule, &bounce_removed)) return RowOutcome::kNextRow;
    sent = true;
  } else {
    if (rule.Process == words::kAutoReply || rule.Process == words::kBodyReply) {
      reply_to_sender(ReadWholeFile(send.fs, RulePath(rule.Msg)));
    } else if (IsMembershipCommand(rule.Process)) {
      Acting(inbox, m);
      reply_to_sender(RunMembershipCommand(MembershipContext{send.fs, send.clock, ctx_.members, ctx_.program_folder},
                                           rule, mail));
    } else if (IsSurveyReply(rule.Process)) {
      Acting(inbox, m);
      reply_to_sender(SurveyReply(rule, mail));
    }

    std::string subject = ReplaceAll(mail.Subject, rule.Keyword, "");
    if (!rule.Keyword.empty() && SubjectHasMLID(subject, rule.Keyword)) subject = StripMLTag(subject, rule.Keyword);
    out.mailsb = subject;
    // The attachment names the store gives, for its own sender; a single
    // empty entry when nothing was prepared.
    std::vector<std::string> att_file{""};
    if (rule.Attatch == words::kProcessAttachments && mail.AttachmentCount() > 0) {
      out.strAttatch = inbox.AttachmentList(m.index, mail, &att_file);
      if (att_file.empty()) att_file.push_back("");
    }
    int att_cnt = mail.AttachmentCount();
    if (rule.Process == words::kCommand || rule.Process == words::kCommandX) {
      RetrievalReply reply =
          RunFileRetrieval(send.fs, ctx_.program_folder, rule.Process == words::kCommandX, mail.Body);
      reply_to_sender(reply.Msg);
      out.strAttatch = reply.strAttatch;
      att_cnt = reply.AttCnt;
    }
    out.strOrgAN = OriginalSender(mail);
    if (rule.OrigAddr.empty()) {
      // A post forwarded through the store carries the received
      // attachments whatever the row's Attatch says; mail of another road
      // hands them over by their files.
      if (mail.AttachmentCount() > 0 && att_file.size() == 1 && att_file[0].empty()) {
        inbox.AttachmentList(m.index, mail, &att_file);
        if (att_file.empty()) att_file.push_back("");
      }
      // The store records a send as the message's action itself, once the
      // outgoing copy lies safely in its outbox: recorded here, a crash
      // before the copy is queued would lose the post.
      if (inbox.mode() != ReceptionMode::kLocalStore) Acting(inbox, m);
      sent = SendEMailOE(send, out, att_cnt, att_file);
      if (sent) m.acted = true;
    } else {
      Acting(inbox, m);
      sent = rule.Process == words::kToForward ? SendEMailTo(send, out) : SendEMail(send, out, inbox.mode());
    }
    // A server that refuses a dead address outright sends no bounce: its
    // refusal stands for one.
    if (send.mail != nullptr) RemoveUnknownRecipients(Bounces(), send.master, send.mail->TakeUnknownRecipients(), &rule);
  }

  // >>> list mail guards: the reply is on record for a day
  if (sent && IsPreparedTextReplyRow(rule.Process)) {
    Status recorded = limiter.RecordReply(ReplyRowKey(rule), mail.FromAddress);
    if (!recorded.ok()) send.logger.WriteLog(ReplyRecordFailureLine(recorded.message()));
  }
  // <<< list mail guards
  if (sent) {
    if (!mail_del) m.delete_mark = false;
    bool mark = rule.Delete == words::kDelete || (pop3 && settings.LogReceivedMail == 0) || (!pop3 && mail_del);
    if (bounce_row) mark = mark && bounce_removed;
    if (mark) m.delete_mark = true;
  } else {
    m.send_failed = true;
  }
  return RowOutcome::kNextRow;
}

std::string Dispatcher::SurveyReply(const MasterRule& rule, const ReceivedMail& mail) {
  FileSystem& fs = ctx_.send.fs;
  const std::string path = RulePath(rule.File);
  if (rule.Process == words::kSurveyResults) return SurveyResults(fs, path, "");
  if (rule.Process == words::kSurveyResultsRestricted) return SurveyResults(fs, path, mail.FromAddress);
  if (rule.Process == words::kSurveyAddresses) return SurveyVoters(fs, path);
  if (WriteTextFile(fs, path, " ") == 0) {
    return "アンケート結果(" + rule.File + ")の中身の削除は正常に終了しました。";
  }
  return "アンケート結果(" + rule.File + ")の中身の削除は異常の為に正常に終了しませんでした。";
}

bool Dispatcher::SenderCheckPasses(const MasterRule& rule, const ReceivedMail& mail) {
  const bool unlisted_rows = ServesUnlisted(rule.Process);
  const bool bounce_row = rule.Process == words::kUndeliveredDelete;
  // Mail servers write MAILER-DAEMON and postmaster in every case, so a
  // bounce row's senders match without regard to case; any other sender
  // only in the case of the domain.
  auto same = [&](const std::string& a, const std::string& b) {
    return bounce_row ? EqualsIgnoringAsciiCase(a, b) : SameAddress(a, b);
  };
  auto contains = [&](const std::string& text, const std::string& part) {
    return bounce_row ? ContainsIgnoringAsciiCase(text, part) : Contains(text, part);
  };
  if (IsMailAddress(rule.RecAddr)) {
    if (same(mail.FromAddress, rule.RecAddr)) return !unlisted_rows;
    if (unlisted_rows) return true;
    return bounce_row && (contains(rule.RecAddr, mail.FromAddress) || contains(rule.RecAddr, mail.FromName));
  }
  bool listed = false;
  const MemberTable& table = ctx_.members;
  int index = table.FindList(rule.RecAddr);
  if (index >= 0 && !bounce_row) {
    listed = table.HasMember(index, mail.FromAddress);
  } else if (index >= 0) {
    table.ForEachMember(index, [&](std::string_view a) { listed = listed || same(std::string(a), mail.FromAddress); });
  } else {
    std::vector<std::string> lines;
    ReadLinesFromOne(ctx_.send.fs, RulePath(rule.RecAddr), &lines);
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

void Dispatcher::AutoSave(const MasterRule& rule, const ReceivedMail& mail) {
  FileSystem& fs = ctx_.send.fs;
  const std::string path = RulePath(rule.Msg);
  if (!FindFile(fs, path).empty()) {
    // The stamp goes in front of the file's own name, so a save file in a
    // sub-folder keeps its copies beside it instead of failing silently.
    std::string copy = path;
    size_t slash = copy.find_last_of('/');
    copy.insert(slash + 1, FormatStamp14(ctx_.send.clock.Now()));
    std::string bytes;
    if (fs.ReadFile(path, &bytes).ok()) fs.WriteFileAtomic(copy, bytes);
  }
  WriteTextFile(fs, path, mail.Body);
}

bool Dispatcher::RemoveBounced(Inbox& inbox, MessageState& m, const MasterRule& rule, bool* removed) {
  *removed = false;
  const std::vector<std::string> bounced = BouncedAddresses(m.mail, ctx_.undelivery);
  if (bounced.empty()) return false;
  Acting(inbox, m);
  for (const std::string& address : bounced) {
    if (RemoveBouncedMember(Bounces(), rule.File, address)) *removed = true;
  }
  return true;
}

bool Dispatcher::IsOwnPostComingBack(const ReceivedMail& mail) const {
  for (const MasterRule& rule : ctx_.send.master) {
    if (rule.ToAddr != "*" && !LoopReason(mail, rule.ToAddr, ListIdentifier(rule)).empty()) return true;
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
