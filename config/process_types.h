// SPDX-License-Identifier: GPL-3.0-or-later
// The words of the rule table's Delete and Process columns, compared exactly.
#pragma once

namespace kelmora::words {

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

}  // namespace kelmora::words
