// SPDX-License-Identifier: GPL-3.0-or-later
#include "process/bounce_removal.h"

#include <algorithm>

#include "textio/strings.h"

namespace kelmora {

std::vector<std::string> BouncedAddresses(const ReceivedMail& mail, const std::vector<UnDeliveryPattern>& patterns) {
  std::vector<std::string> out;
  if (!mail.DeliveryStatus.empty()) {
    for (const ReportedRecipient& r : mail.DeliveryStatus) {
      const bool seen = std::any_of(out.begin(), out.end(), [&](const std::string& a) { return SameAddress(a, r.address); });
      if (r.Failed() && !seen) out.push_back(r.address);
    }
    return out;
  }
  // A delay warning quotes the same wording as a bounce; the mail may still
  // arrive.
  if (IsDelayNoticeSubject(mail.Subject)) return out;
  for (const UnDeliveryPattern& p : patterns) {
    if (!Contains(mail.Body, p.Marker)) continue;
    std::string address = ExtractAddress(mail.Body, p.AddressOpen, p.AddressClose);
    if (!address.empty()) {
      out.push_back(std::move(address));
      break;
    }
  }
  return out;
}

bool RemoveBouncedMember(const BounceContext& ctx, const std::string& file, const std::string& address) {
  const bool removed = DeleteMember(ctx.fs, JoinPath(ctx.program_folder, file), address, "", PasswordCheck::kNone) ==
                       MemberResult::kDone;
  // The loaded list follows the file, so the next post of this run no
  // longer goes to the dead address.
  if (removed) ctx.members.RemoveLoadedMember(ctx.members.FindList(file), Trim(address));
  ctx.logger.WriteUnDeliveryLog(
      address, file + (removed ? "から削除しました。" : "からの削除に失敗しました。（登録されていない等）"));
  return removed;
}

const MasterRule* BounceRowFor(const MasterTable& master, const std::string& addr_file) {
  if (addr_file.empty()) return nullptr;
  for (const MasterRule& rule : master) {
    if (rule.Action == RuleAction::kUndeliveredDelete && rule.DataFile == addr_file) return &rule;
  }
  return nullptr;
}

void RemoveUnknownRecipients(const BounceContext& ctx, const MasterTable& master,
                             const std::vector<UnknownRecipient>& refused, const MasterRule* sending_row) {
  std::vector<std::pair<std::string, std::string>> done;  // file, address
  for (const UnknownRecipient& r : refused) {
    std::vector<std::string> files;
    if (sending_row != nullptr) {
      files.push_back(sending_row->Destination);
    } else if (!r.list_address.empty()) {
      for (const MasterRule& rule : master) {
        if (SameAddress(Trim(rule.ToAddress), r.list_address)) files.push_back(rule.Destination);
      }
    }
    for (const std::string& file : files) {
      const MasterRule* bounce_row = BounceRowFor(master, file);
      if (bounce_row == nullptr) continue;
      const bool again = std::any_of(done.begin(), done.end(), [&](const auto& d) {
        return d.first == file && SameAddress(d.second, r.address);
      });
      if (again || !ctx.members.HasMember(ctx.members.FindList(file), r.address)) continue;
      done.emplace_back(file, r.address);
      RemoveBouncedMember(ctx, bounce_row->DataFile, r.address);
    }
  }
}

}  // namespace kelmora
