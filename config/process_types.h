// SPDX-License-Identifier: GPL-3.0-or-later
// The words of the rule table's Delete, Process and attachment columns, and
// the enums the table loader turns them into. Only the loader compares the
// words; everything else works on the enums.
#pragma once

namespace kelmora {

namespace words {

inline constexpr const char* kDelete = "削除";
inline constexpr const char* kAutoDelete = "自動削除";
inline constexpr const char* kVirusAutoDelete = "ウイルスメール自動削除";

inline constexpr const char* kBodyReply = "本文応答";
inline constexpr const char* kAutoReply = "自動応答";
inline constexpr const char* kAutoSave = "自動保存";
inline constexpr const char* kNewForward = "新規転送";
inline constexpr const char* kExistingDelete = "既存削除";
inline constexpr const char* kNewRegistration = "新規登録";
inline constexpr const char* kUndeliveredDelete = "不配削除";
inline constexpr const char* kToForward = "ＴＯ転送";
inline constexpr const char* kCommand = "COMMAND";
inline constexpr const char* kCommandX = "COMMANDx";
inline constexpr const char* kSurvey = "アンケート";
inline constexpr const char* kSurveySelect = "アンケート選択";
inline constexpr const char* kSurveyOneLine = "アンケート１行";
inline constexpr const char* kSurveySelectOneLine = "アンケート選択１行";
inline constexpr const char* kSurveyResults = "アンケート＋結果転送";
inline constexpr const char* kSurveyResultsRestricted = "アンケート＋結果転送＋限定";
inline constexpr const char* kSurveyAddresses = "アンケート＋アドレス転送";
inline constexpr const char* kSurveyClear = "アンケート＋削除";
inline constexpr const char* kAddressRegistration = "アドレス登録";
inline constexpr const char* kAddressDeletion = "アドレス削除";
inline constexpr const char* kPasswordInquiry = "パスワード問い合わせ";
inline constexpr const char* kPasswordChange = "パスワード変更";

inline constexpr const char* kProcessAttachments = "処理する";

}  // namespace words

// The Delete column.
enum class DeleteInstruction {
  kNone,             // empty: the row deletes nothing by itself
  kDelete,           // delete the message once the row has acted on it
  kAutoDelete,       // delete a message whose subject holds the keyword
  kVirusAutoDelete,  // delete such a message (or one without subject) that has attachments
};

// The Process column: what a row does with a message it takes.
enum class RuleAction {
  kNone,  // empty: forward to the row's destination
  kBodyReply,
  kAutoReply,
  kAutoSave,
  kNewForward,        // forward mail of senders not on the sender list
  kExistingDelete,    // remove the sender from the list, no password asked
  kNewRegistration,   // add the sender, the keyword being the password
  kUndeliveredDelete, // remove the addresses a bounce names
  kToForward,         // forward with the list's own sender and server
  kCommand,           // send the files the body asks for
  kCommandX,          // the same, also from sub-folders
  kSurvey,
  kSurveySelect,
  kSurveyOneLine,
  kSurveySelectOneLine,
  kSurveyResults,
  kSurveyResultsRestricted,
  kSurveyAddresses,
  kSurveyClear,
  kAddressRegistration,
  kAddressDeletion,
  kPasswordInquiry,
  kPasswordChange,
};

// The attachment column.
enum class AttachmentHandling {
  kIgnore,   // empty
  kProcess,  // attachments of a forwarded message go with it
};

// What a message sent for a row is, for its subject and headers: a plain
// message, a list post (the received subject carries the list's tag, or the
// row's forwarding subject is the tag itself) or a reply the program wrote.
// The numbers are the values the mode has always had.
enum class ListTagMode {
  kPlain = 0,
  kSubjectHasTag = 1,
  kTitleIsTag = 2,
  kGeneratedReply = 5,
};

// Survey rows that record an answer.
constexpr bool IsSurveyAnswer(RuleAction a) {
  return a == RuleAction::kSurvey || a == RuleAction::kSurveySelect || a == RuleAction::kSurveyOneLine ||
         a == RuleAction::kSurveySelectOneLine;
}

// Survey rows that answer with the results, the voters or the clearing.
constexpr bool IsSurveyReply(RuleAction a) {
  return a == RuleAction::kSurveyResults || a == RuleAction::kSurveyResultsRestricted ||
         a == RuleAction::kSurveyAddresses || a == RuleAction::kSurveyClear;
}

// The six membership commands.
constexpr bool IsMembershipCommand(RuleAction a) {
  return a == RuleAction::kNewRegistration || a == RuleAction::kAddressRegistration ||
         a == RuleAction::kExistingDelete || a == RuleAction::kAddressDeletion ||
         a == RuleAction::kPasswordInquiry || a == RuleAction::kPasswordChange;
}

// Rows that forward to the row's destination file or address.
constexpr bool IsForwarding(RuleAction a) { return a == RuleAction::kToForward || a == RuleAction::kNewForward; }

// Rows whose answer is a prepared text.
constexpr bool IsPreparedTextReply(RuleAction a) {
  return a == RuleAction::kAutoReply || a == RuleAction::kBodyReply;
}

// Rows that file retrieval answers.
constexpr bool IsFileRetrieval(RuleAction a) { return a == RuleAction::kCommand || a == RuleAction::kCommandX; }

}  // namespace kelmora
