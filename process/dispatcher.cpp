#include "process/dispatcher.h"

#include <exception>

#include "app/core/program.h"
#include "config/address_file.h"
#include "config/process_types.h"
#include "log/error_entry.h"
#include "process/matching_form.h"
#include "process/file_retrieval.h"
#include "process/membership.h"
#include "process/survey.h"
#include "send/send_email.h"
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

std::string OriginalSender(const ReceivedMail& mail) {
  if (mail.FromAddress != mail.FromName) return "\"" + mail.FromName + "\" <" + mail.FromAddress + ">";
  return "<" + mail.FromAddress + ">";
}

std::string ReadableForm(const ReceivedMail& mail) {
  return "宛先：\"" + mail.ToName + "\" <" + mail.ToAddress + ">\r\n" + "差出人：\"" + mail.FromName + "\" <" +
         mail.FromAddress + ">\r\n" + "件名：" + mail.Subject + "\r\n" + mail.Body + "\r\n";
}

void Dispatcher::ProcessMessages(int count, const std::vector<std::string>& stored_names) {
  try {
    ProcessAll(count, stored_names);
  } catch (const std::exception& e) {
    program_.logger().WriteLog(ErrorEntry(kDispatchFailureLabel, e));
  }
}

std::string Dispatcher::StoredPath(const std::string& name) const {
  if (!name.empty() && name[0] == '/') return name;
  return JoinPath(program_.logger().ReceiveFolder(), name);
}

void Dispatcher::LogUnavailable(int row, const std::string& what) {
  program_.logger().WriteLog("Master.txtの" + std::to_string(row + 1) + "行目の" + what +
                             "はこの版ではまだ使えません。メールは未処理のまま残します。");
}

void Dispatcher::ProcessAll(int count, const std::vector<std::string>& stored_names) {
  // Messages of the local mail store are read through its own session,
  // which this dispatcher does not drive yet; they stay where they are.
  if (program_.reception_mode() != ReceptionMode::kPop3 || program_.mail() == nullptr) return;
  const std::string folder = program_.logger().ReceiveFolder();

  for (int m = 0; m < count && m + 1 < static_cast<int>(stored_names.size()); ++m) {
    MessageState state;
    state.mail.StoredName = stored_names[static_cast<size_t>(m + 1)];
    // A fresh record per message: a message that cannot be read must never
    // go out with the fields of the one before it.
    std::string error = ReadStoredMail(*program_.mail(), state.mail.StoredName, folder, &state.mail);
    if (!error.empty()) {
      program_.logger().WriteLog("ReadMailでエラー発生<" + state.mail.StoredName + ">:" + error);
      SetAside(state.mail.StoredName);
      continue;
    }
    state.subject_form = MatchingForm(state.mail.Subject);
    state.body_form = MatchingForm(state.mail.Body);

    bool stopped = false;
    for (int row = 0; row < static_cast<int>(program_.master().size()); ++row) {
      RowOutcome outcome = ProcessRow(row, state);
      if (outcome == RowOutcome::kStop) {
        stopped = true;
        break;
      }
      if (outcome == RowOutcome::kNextMessage) break;
    }
    if (stopped) return;
    Settle(state);
  }
}

Dispatcher::RowOutcome Dispatcher::ProcessRow(int row, MessageState& m) {
  program_.front().PumpEvents();
  if (program_.stop_requested()) return RowOutcome::kStop;

  const MasterRule& rule = program_.master()[static_cast<size_t>(row)];
  const ReceivedMail& mail = m.mail;
  const bool pop3 = program_.reception_mode() == ReceptionMode::kPop3;
  const Settings& settings = program_.settings();

  const std::string k = MatchingForm(rule.Keyword);
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
  if (mail.ToAddress != rule.ToAddr) return RowOutcome::kNextRow;
  if (!rule.RecAddr.empty() && !SenderCheckPasses(rule, mail)) return RowOutcome::kNextRow;

  if (!rule.Delete.empty() && (delete_by_keyword || delete_as_virus)) {
    m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }

  const bool mail_del = settings.DeleteAfterProcessing != 0;
  if (rule.Process == words::kAutoSave && keyword_in_subject) {
    AutoSave(rule, mail);
    if (rule.Delete == words::kDelete || mail_del) m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }
  if (keyword_in_subject && IsSurveyAnswer(rule.Process)) {
    if (rule.File.empty()) {
      // The table may leave File empty for three survey kinds; the answer
      // then has nowhere to go, so the message is kept rather than lost.
      program_.logger().WriteLog("Master.txtの" + std::to_string(row + 1) + "行目のアンケート<" + rule.Process +
                                 ">には保存用ファイルが指定されていないので回答を記録できません。");
      return RowOutcome::kNextRow;
    }
    RecordSurveyAnswer(program_.fs(), JoinPath(program_.program_folder(), rule.File), rule.Keyword, mail.Body,
                       mail.FromAddress, SurveyKindOf(rule.Process));
    if (rule.Delete == words::kDelete || mail_del) m.delete_mark = true;
    return RowOutcome::kNextMessage;
  }

  int flag = kPlainMessage;
  if (IsMLIDKeyword(rule.Keyword)) {
    if (SubjectHasMLID(mail.Subject, rule.Keyword)) flag = kSubjectHasListTag;
    if (Trim(rule.Tittle) == rule.Keyword) flag = kTitleIsListTag;
  }
  if (mail.FromAddress == rule.ToAddr && flag >= 1) return RowOutcome::kNextRow;

  const bool first_line_rows = IsOneOf(rule.Process, {words::kBodyReply, words::kNewForward, words::kNewRegistration,
                                                      words::kExistingDelete, words::kToForward});
  const bool matched = keyword_in_subject || flag > 0 || (first_line_rows && FindInFirstLine(m.body_form, k) > 0);
  if (!matched) return RowOutcome::kNextRow;

  // Rows without a sender address send through the local mail store,
  // which this version cannot send with yet: they are recognised, logged
  // and left alone, so the message is kept.
  if (rule.OrigAddr.empty() && rule.Process != words::kUndeliveredDelete) {
    LogUnavailable(row, "差出人アドレスなしの送信（メールストア経由）");
    return RowOutcome::kNextRow;
  }

  OutgoingMail out;
  out.ToAddr = rule.ToAddr;
  out.ToName = mail.ToName;
  out.MasterIndex = row;
  out.Msg = mail.Body;
  out.ML_IDflag = flag;

  bool sent = false;
  bool bounce_removed = false;
  const bool bounce_row = rule.Process == words::kUndeliveredDelete;
  if (bounce_row) {
    if (!RemoveBouncedAddress(rule, mail, &bounce_removed)) return RowOutcome::kNextRow;
    sent = true;
  } else {
    if (rule.Process == words::kAutoReply || rule.Process == words::kBodyReply) {
      out.ToAddr = mail.FromAddress;
      out.ToName = mail.FromName;
      out.Msg = ReadWholeFile(program_.fs(), JoinPath(program_.program_folder(), rule.Msg));
      out.ML_IDflag = kGeneratedReply;
    } else if (IsMembershipCommand(rule.Process)) {
      out.ToAddr = mail.FromAddress;
      out.ToName = mail.FromName;
      out.Msg = RunMembershipCommand(program_, rule, mail);
      out.ML_IDflag = kGeneratedReply;
    } else if (IsSurveyReply(rule.Process)) {
      out.ToAddr = mail.FromAddress;
      out.ToName = mail.FromName;
      out.Msg = SurveyReply(rule, mail);
      out.ML_IDflag = kGeneratedReply;
    }

    std::string subject = ReplaceAll(mail.Subject, rule.Keyword, "");
    if (!rule.Keyword.empty() && SubjectHasMLID(subject, rule.Keyword)) subject = StripMLTag(subject, rule.Keyword);
    out.mailsb = subject;
    if (rule.Attatch == words::kProcessAttachments && mail.AttachmentCount() > 0) {
      out.strAttatch = JoinAttachmentPaths(mail.AttachmentCount(), mail.AttachmentFiles);
    }
    if (rule.Process == words::kCommand || rule.Process == words::kCommandX) {
      RetrievalReply reply = RunFileRetrieval(program_.fs(), program_.program_folder(),
                                              rule.Process == words::kCommandX, mail.Body);
      out.Msg = reply.Msg;
      out.strAttatch = reply.strAttatch;
      out.ToAddr = mail.FromAddress;
      out.ToName = mail.FromName;
      out.ML_IDflag = kGeneratedReply;
    }
    out.strOrgAN = OriginalSender(mail);
    sent = rule.Process == words::kToForward ? SendEMailTo(program_, out) : SendEMail(program_, out);
  }

  if (sent) {
    if (!mail_del) m.delete_mark = false;
    bool mark = rule.Delete == words::kDelete || (pop3 && settings.LogReceivedMail == 0) || (!pop3 && mail_del);
    if (bounce_row) mark = mark && bounce_removed;
    if (mark) m.delete_mark = true;
  } else if (pop3) {
    m.failed_name = mail.StoredName;
  }
  return RowOutcome::kNextRow;
}

std::string Dispatcher::SurveyReply(const MasterRule& rule, const ReceivedMail& mail) {
  const std::string path = JoinPath(program_.program_folder(), rule.File);
  if (rule.Process == words::kSurveyResults) return SurveyResults(program_.fs(), path, "");
  if (rule.Process == words::kSurveyResultsRestricted) return SurveyResults(program_.fs(), path, mail.FromAddress);
  if (rule.Process == words::kSurveyAddresses) return SurveyVoters(program_.fs(), path);
  if (WriteTextFile(program_.fs(), path, " ") == 0) {
    return "アンケート結果(" + rule.File + ")の中身の削除は正常に終了しました。";
  }
  return "アンケート結果(" + rule.File + ")の中身の削除は異常の為に正常に終了しませんでした。";
}

bool Dispatcher::SenderCheckPasses(const MasterRule& rule, const ReceivedMail& mail) {
  const bool unlisted_rows = ServesUnlisted(rule.Process);
  const bool bounce_row = rule.Process == words::kUndeliveredDelete;
  if (IsMailAddress(rule.RecAddr)) {
    if (mail.FromAddress == rule.RecAddr) return !unlisted_rows;
    if (unlisted_rows) return true;
    return bounce_row && (Contains(rule.RecAddr, mail.FromAddress) || Contains(rule.RecAddr, mail.FromName));
  }
  bool listed = false;
  const MemberTable& table = program_.members();
  int index = table.FindList(rule.RecAddr);
  if (index >= 0) {
    for (const std::string& slot : table.lists[static_cast<size_t>(index)].Addresses) {
      if (!slot.empty() && slot == mail.FromAddress) {
        listed = true;
        break;
      }
    }
  } else {
    std::vector<std::string> lines;
    ReadLinesFromOne(program_.fs(), JoinPath(program_.program_folder(), rule.RecAddr), &lines);
    const std::string from = Trim(mail.FromAddress);
    const std::string from_name = Trim(mail.FromName);
    for (size_t i = 1; i < lines.size() && !listed; ++i) {
      std::vector<std::string> f = Split(lines[i], ",");
      if (f.size() > 1 && Trim(f[1]) == from) listed = true;
      if (bounce_row && !mail.FromName.empty() && f.size() > 2 && Contains(f[2], from_name)) listed = true;
    }
  }
  return listed != unlisted_rows;
}

void Dispatcher::AutoSave(const MasterRule& rule, const ReceivedMail& mail) {
  FileSystem& fs = program_.fs();
  const std::string path = JoinPath(program_.program_folder(), rule.Msg);
  if (!FindFile(fs, path).empty()) {
    // The stamp goes in front of the file's own name, so a save file in a
    // sub-folder keeps its copies beside it instead of failing silently.
    std::string copy = path;
    size_t slash = copy.find_last_of('/');
    copy.insert(slash + 1, FormatStamp14(program_.clock().Now()));
    std::string bytes;
    if (fs.ReadFile(path, &bytes).ok()) fs.WriteFileAtomic(copy, bytes);
  }
  WriteTextFile(fs, path, mail.Body);
}

bool Dispatcher::RemoveBouncedAddress(const MasterRule& rule, const ReceivedMail& mail, bool* removed) {
  *removed = false;
  std::string address;
  for (const UnDeliveryPattern& p : program_.undelivery_patterns()) {
    if (!Contains(mail.Body, p.Marker)) continue;
    address = ExtractAddress(mail.Body, p.AddressOpen, p.AddressClose);
    if (!address.empty()) break;
  }
  if (address.empty()) return false;
  int r = DeleteMember(program_.fs(), JoinPath(program_.program_folder(), rule.File), address,
                       words::kUndeliveredDelete);
  *removed = r == 0;
  program_.logger().WriteUnDeliveryLog(
      address, rule.File + (*removed ? "から削除しました。" : "からの削除に失敗しました。（登録されていない等）"));
  return true;
}

void Dispatcher::SetAside(const std::string& stored_name) {
  FileSystem& fs = program_.fs();
  const std::string path = StoredPath(stored_name);
  std::string target = StripExtension(path) + "Error.txt";
  // Never overwrite an earlier failure of the same name.
  for (int n = 2; fs.Exists(target) && n < 1000; ++n) {
    target = StripExtension(path) + "Error" + std::to_string(n) + ".txt";
  }
  if (fs.Exists(path)) fs.Rename(path, target);
  program_.mail()->MarkSettled(program_.logger().ReceiveFolder(), stored_name);
}

void Dispatcher::Settle(const MessageState& m) {
  FileSystem& fs = program_.fs();
  const ReceivedMail& mail = m.mail;
  if (m.failed_name.empty()) {
    for (int i = 1; i <= mail.AttachmentCount(); ++i) DeleteFileForced(fs, mail.AttachmentFiles[static_cast<size_t>(i)]);
  }
  const std::string path = StoredPath(mail.StoredName);
  if (m.delete_mark) {
    DeleteFileForced(fs, path);
  } else if (!m.failed_name.empty()) {
    SetAside(mail.StoredName);
    return;
  } else {
    WriteTextFile(fs, path, ReadableForm(mail));
  }
  program_.mail()->MarkSettled(program_.logger().ReceiveFolder(), mail.StoredName);
}

}  // namespace kelmora
