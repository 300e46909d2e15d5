// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/membership.h"

#include "config/process_types.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

// The row's own success text, when its Msg file holds one.
std::string SuccessText(const MembershipContext& ctx, const MasterRule& rule, const std::string& built_in) {
  if (!rule.BodyFile.empty()) {
    std::string text = ReadWholeFile(ctx.fs, JoinPath(ctx.program_folder, rule.BodyFile));
    if (!text.empty()) return text;
  }
  return built_in;
}

std::string Register(const MembershipContext& ctx, const MasterRule& rule, const ReceivedMail& mail,
                     const std::string& path) {
  const std::string& password_text = rule.Action == RuleAction::kNewRegistration ? rule.Keyword : mail.Body;
  switch (AddMember(ctx.fs, ctx.clock, path, mail.FromAddress, password_text)) {
    case MemberResult::kDone:
      ctx.members.AddLoadedMember(ctx.members.FindList(rule.DataFile), mail.FromAddress);
      return SuccessText(ctx, rule, "登録申請したアドレス<" + mail.FromAddress + ">は正常に登録が完了しました。");
    case MemberResult::kAlreadyOrNotMember:
      return "登録申請したアドレス<" + mail.FromAddress + ">は既に登録されていました。";
    case MemberResult::kIncomplete:
      return "アドレス登録は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
    case MemberResult::kFileAbsent:
      return "アドレス登録は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
    default: return "アドレス登録は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
  }
}

std::string Remove(const MembershipContext& ctx, const MasterRule& rule, const ReceivedMail& mail,
                   const std::string& path) {
  // The remove-existing row removes its sender without asking a password.
  const PasswordCheck check =
      rule.Action == RuleAction::kExistingDelete ? PasswordCheck::kNone : PasswordCheck::kFirstLine;
  switch (DeleteMember(ctx.fs, path, mail.FromAddress, mail.Body, check)) {
    case MemberResult::kDone:
      ctx.members.RemoveLoadedMember(ctx.members.FindList(rule.DataFile), mail.FromAddress);
      return SuccessText(ctx, rule, "削除申請したアドレス<" + mail.FromAddress + ">は正常に削除が完了しました。");
    case MemberResult::kFileAbsent:
      return "アドレス削除は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
    case MemberResult::kAlreadyOrNotMember:
      return "削除申請したアドレス<" + mail.FromAddress + ">は登録されていませんでした。";
    case MemberResult::kWrongPassword: return "アドレス削除は、パスワードが違う為に削除されませんでした。";
    case MemberResult::kIncomplete:
      return "アドレス削除は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
    default: return "アドレス削除は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
  }
}

std::string Inquire(const MembershipContext& ctx, const ReceivedMail& mail, const std::string& path) {
  std::string password = GetPassword(ctx.fs, path, mail.FromAddress);
  if (!password.empty()) return password;
  return "パスワードが設定されていません。アドレス<" + mail.FromAddress + ">が登録されていない可能性もあります。";
}

std::string Change(const MembershipContext& ctx, const MasterRule& rule, const ReceivedMail& mail,
                   const std::string& path) {
  switch (ChangePassword(ctx.fs, ctx.clock, path, mail.FromAddress, mail.Body)) {
    case MemberResult::kDone: return SuccessText(ctx, rule, "パスワード変更は正常に完了しました。");
    case MemberResult::kFileAbsent:
      return "パスワード変更は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
    case MemberResult::kAlreadyOrNotMember:
      return "パスワード変更申請したアドレス<" + mail.FromAddress + ">は登録されていませんでした。";
    case MemberResult::kWrongPassword: return "パスワード変更は、古いパスワードが違う為に変更されませんでした。";
    case MemberResult::kIncomplete:
      return "パスワード変更は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
    default: return "パスワード変更は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
  }
}

}  // namespace

std::string RunMembershipCommand(const MembershipContext& ctx, const MasterRule& rule, const ReceivedMail& mail) {
  const std::string path = JoinPath(ctx.program_folder, rule.DataFile);
  switch (rule.Action) {
    case RuleAction::kNewRegistration:
    case RuleAction::kAddressRegistration: return Register(ctx, rule, mail, path);
    case RuleAction::kExistingDelete:
    case RuleAction::kAddressDeletion: return Remove(ctx, rule, mail, path);
    case RuleAction::kPasswordInquiry: return Inquire(ctx, mail, path);
    default: return Change(ctx, rule, mail, path);
  }
}

}  // namespace kelmora
