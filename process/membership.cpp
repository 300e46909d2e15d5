#include "process/membership.h"

#include "app/core/program.h"
#include "config/address_file.h"
#include "config/process_types.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

// The row's own success text, when its Msg file holds one.
std::string SuccessText(Program& program, const MasterRule& rule, const std::string& built_in) {
  if (!rule.Msg.empty()) {
    std::string text = ReadWholeFile(program.fs(), JoinPath(program.program_folder(), rule.Msg));
    if (!text.empty()) return text;
  }
  return built_in;
}

std::string Register(Program& program, const MasterRule& rule, const ReceivedMail& mail, const std::string& path) {
  const std::string& password_text = rule.Process == words::kNewRegistration ? rule.Keyword : mail.Body;
  int r = AddMember(program.fs(), program.clock(), path, mail.FromAddress, password_text);
  switch (r) {
    case 0: {
      MemberTable& table = program.members();
      int index = table.FindList(rule.File);
      if (index >= 0) table.AddLoadedMember(index, mail.FromAddress);
      return SuccessText(program, rule, "登録申請したアドレス<" + mail.FromAddress + ">は正常に登録が完了しました。");
    }
    case 2: return "登録申請したアドレス<" + mail.FromAddress + ">は既に登録されていました。";
    case -3: return "アドレス登録は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
    case 1: return "アドレス登録は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
    default: return "アドレス登録は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
  }
}

std::string Remove(Program& program, const MasterRule& rule, const ReceivedMail& mail, const std::string& path) {
  const std::string password_text = rule.Process == words::kExistingDelete ? words::kExistingDelete : mail.Body;
  int r = DeleteMember(program.fs(), path, mail.FromAddress, password_text);
  switch (r) {
    case 0: {
      MemberTable& table = program.members();
      int index = table.FindList(rule.File);
      if (index >= 0) table.RemoveLoadedMember(index, mail.FromAddress);
      return SuccessText(program, rule, "削除申請したアドレス<" + mail.FromAddress + ">は正常に削除が完了しました。");
    }
    case 1: return "アドレス削除は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
    case 2: return "削除申請したアドレス<" + mail.FromAddress + ">は登録されていませんでした。";
    case 3: return "アドレス削除は、パスワードが違う為に削除されませんでした。";
    case -3: return "アドレス削除は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
    default: return "アドレス削除は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
  }
}

std::string Inquire(Program& program, const ReceivedMail& mail, const std::string& path) {
  std::string password = GetPassword(program.fs(), path, mail.FromAddress);
  if (!password.empty()) return password;
  return "パスワードが設定されていません。アドレス<" + mail.FromAddress + ">が登録されていない可能性もあります。";
}

std::string Change(Program& program, const MasterRule& rule, const ReceivedMail& mail, const std::string& path) {
  std::string r = ChangePassword(program.fs(), program.clock(), path, mail.FromAddress, mail.Body);
  if (r == "0") return SuccessText(program, rule, "パスワード変更は正常に完了しました。");
  if (r == "1") return "パスワード変更は、登録先のファイルがありませんでした。管理者にお問い合わせ下さい。";
  if (r == "2") return "パスワード変更申請したアドレス<" + mail.FromAddress + ">は登録されていませんでした。";
  if (r == "3") return "パスワード変更は、古いパスワードが違う為に変更されませんでした。";
  if (r == "-3") return "パスワード変更は、パスワードが設定されていない等の理由により正常に終了しませんでした。";
  return "パスワード変更は、異常が発生し正常に終了しませんでした。管理者にお問い合わせ下さい。";
}

}  // namespace

bool IsMembershipCommand(const std::string& p) {
  return p == words::kNewRegistration || p == words::kAddressRegistration || p == words::kExistingDelete ||
         p == words::kAddressDeletion || p == words::kPasswordInquiry || p == words::kPasswordChange;
}

std::string RunMembershipCommand(Program& program, const MasterRule& rule, const ReceivedMail& mail) {
  const std::string path = JoinPath(program.program_folder(), rule.File);
  const std::string& p = rule.Process;
  if (p == words::kNewRegistration || p == words::kAddressRegistration) return Register(program, rule, mail, path);
  if (p == words::kExistingDelete || p == words::kAddressDeletion) return Remove(program, rule, mail, path);
  if (p == words::kPasswordInquiry) return Inquire(program, mail, path);
  return Change(program, rule, mail, path);
}

}  // namespace kelmora
