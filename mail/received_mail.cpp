// SPDX-License-Identifier: GPL-3.0-or-later
#include "mail/received_mail.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "log/error_entry.h"
#include "net/server_string.h"
#include "textio/strings.h"

namespace kelmora {
namespace {

constexpr const char* kReceiveCommand = "SAVEALLD";

bool IsContinuationByte(char ch) { return (static_cast<unsigned char>(ch) & 0xC0) == 0x80; }

// The text from its (skip + 1)-th character on. Characters are UTF-8 code
// points; a stray continuation byte travels with the character before it,
// so the cut never splits a valid character.
std::string_view FromCharacterView(std::string_view s, size_t skip) {
  size_t i = 0;
  for (size_t k = 0; k < skip && i < s.size(); ++k) {
    ++i;
    while (i < s.size() && IsContinuationByte(s[i])) ++i;
  }
  return s.substr(i);
}

std::string FromCharacter(std::string_view s, size_t skip) { return std::string(FromCharacterView(s, skip)); }

// The number of characters in `s`, counting no further than `limit`.
size_t CharactersUpTo(std::string_view s, size_t limit) {
  size_t n = 0;
  for (size_t i = 0; i < s.size() && n < limit; ++i) {
    if (i == 0 || !IsContinuationByte(s[i])) ++n;
  }
  return n;
}

// The address rule on one line; "" when the line gives none.
//
// All positions are byte offsets. A mark or "@" found by a byte search in
// UTF-8 text starts on a character boundary, so the stretches between found
// positions are exactly the stretches that character positions would name;
// only the "two characters after the @" test has to count characters.
std::string AddressInLine(std::string_view line, std::string_view open, std::string_view close) {
  const int at_count = CountOf(line, "@");
  if (at_count <= 0 || line.find(open) == std::string_view::npos || line.find(close) == std::string_view::npos) {
    return "";
  }
  size_t start = 0;  // where the search for the next "@" begins
  for (int k = 1; k <= at_count; ++k) {
    const size_t at = line.find('@', start);
    if (at == std::string_view::npos) break;
    if (CharactersUpTo(line.substr(at + 1), 2) < 2) break;

    const std::string_view left = line.substr(start, at - start);
    start = at + 1;  // the next round looks after this "@", whatever happens below

    const size_t open_pos = left.rfind(open);
    if (open_pos == std::string_view::npos) continue;
    const size_t local_start = open_pos + open.size();
    // A close mark after the open mark means the open mark belongs to an
    // earlier, already closed stretch.
    if (left.find(close, local_start) != std::string_view::npos) continue;

    std::string_view right;
    if (k == at_count) {
      right = line.substr(at + 1);
    } else {
      const size_t next_at = line.find('@', at + 1);
      if (next_at == std::string_view::npos) continue;
      right = line.substr(at + 1, next_at - at - 1);
    }
    const size_t close_pos = right.find(close);
    if (close_pos == std::string_view::npos) continue;
    if (right.substr(0, close_pos).find(open) != std::string_view::npos) continue;

    // The local part begins in `left`, which starts at line offset
    // (at - left.size()).
    const size_t begin = at - left.size() + local_start;
    return std::string(line.substr(begin, at + 1 + close_pos - begin));
  }
  return "";
}

}  // namespace

int FetchAccountMail(MailComponent& mail, Logger& log, const std::string& a, const std::string& b,
                     const std::string& password, const std::string& receive_folder,
                     std::vector<std::string>* stored_names) {
  try {
    MailReply reply = mail.RcvMail(a, b, password, kReceiveCommand, receive_folder);
    stored_names->assign(1, "");
    if (reply.is_list) {
      for (std::string& name : reply.items) stored_names->push_back(std::move(name));
      return static_cast<int>(stored_names->size()) - 1;
    }
    if (!Trim(reply.text).empty()) log.WriteLog("RcvMailの戻り値異常<" + MaskPassword(a) + ">:" + reply.text);
    return 0;
  } catch (const std::exception& e) {
    stored_names->assign(1, "");
    log.WriteLog(ErrorEntry("GetMailでエラー発生>", e));
    return 0;
  } catch (...) {
    stored_names->assign(1, "");
    log.WriteLog(ErrorEntry("GetMailでエラー発生>", "unknown error", 1));
    return 0;
  }
}

void AppendStoredNames(std::vector<std::string>* cycle_names, const std::vector<std::string>& account_names) {
  if (cycle_names->empty()) cycle_names->push_back("");  // keep element 0 in place
  for (size_t i = 1; i < account_names.size(); ++i) cycle_names->push_back(account_names[i]);
}

const char* const kReceivedMailFields =
    "to:from:subject:auto-submitted:precedence:list-id:return-path:x-loop:message-id:references:in-reply-to:"
    "recipients:delivery-status:";

void ApplyHeaderItems(const std::vector<std::string>& items, ReceivedMail* mail) {
  mail->AutoSubmitted.clear();
  mail->Precedence.clear();
  mail->ListId.clear();
  mail->HasReturnPath = false;
  mail->ReturnPath.clear();
  mail->XLoop.clear();
  mail->MessageId.clear();
  mail->References.clear();
  mail->InReplyTo.clear();
  mail->Recipients.clear();
  mail->DeliveryStatus.clear();
  for (const std::string& item : items) {
    if (StartsWith(item, "Auto-Submitted:")) mail->AutoSubmitted = Trim(item.substr(15));
    if (StartsWith(item, "Precedence:")) mail->Precedence = Trim(item.substr(11));
    if (StartsWith(item, "List-Id:")) mail->ListId = Trim(item.substr(8));
    if (StartsWith(item, "Return-Path:")) {
      mail->HasReturnPath = true;
      mail->ReturnPath = Trim(item.substr(12));
    }
    if (StartsWith(item, "X-Loop:")) mail->XLoop += (mail->XLoop.empty() ? "" : "\t") + Trim(item.substr(7));
    if (StartsWith(item, "Message-ID:")) mail->MessageId = Trim(item.substr(11));
    if (StartsWith(item, "References:")) mail->References = Trim(item.substr(11));
    if (StartsWith(item, "In-Reply-To:")) mail->InReplyTo = Trim(item.substr(12));
    if (StartsWith(item, "Recipient:")) {
      const std::string value = Trim(item.substr(10));
      Addressee a{ExtractAddress(value, "<", ">"), DisplayName(value)};
      if (!a.address.empty()) mail->Recipients.push_back(std::move(a));
    }
    if (StartsWith(item, "Delivery-Status:")) {
      ReportedRecipient r;
      if (ParseDeliveryStatusItemValue(item.substr(16), &r)) mail->DeliveryStatus.push_back(std::move(r));
    }
  }
}

Status ReadStoredMail(MailComponent& mail_component, const std::string& stored_name,
                      const std::string& receive_folder, ReceivedMail* mail) {
  MailReply reply = mail_component.ReadMail(stored_name, kReceivedMailFields, receive_folder);
  // An empty text has always meant a message with nothing to read.
  if (!reply.is_list) return reply.text.empty() ? Status::OK() : Status::Corrupt(reply.text);

  mail->StoredName = stored_name;
  mail->AttachmentFiles.assign(1, "");
  for (std::string& item : reply.items) {
    if (StartsWith(item, "To:")) {
      const std::string value = FromCharacter(item, 4);
      mail->ToAddress = ExtractAddress(value, "<", ">");
      mail->ToName = DisplayName(value);
    }
    if (StartsWith(item, "From:")) {
      const std::string value = FromCharacter(item, 6);
      mail->FromAddress = ExtractAddress(value, "<", ">");
      mail->FromName = DisplayName(value);
    }
    if (StartsWith(item, "Subject:")) mail->Subject = FromCharacter(item, 9);
    if (StartsWith(item, "Body:")) {
      // The body is the big item: cut its label off in place, no copy.
      const std::string_view value = FromCharacterView(item, 6);
      item.erase(0, item.size() - value.size());
      mail->Body = std::move(item);
    }
    if (StartsWith(item, "File:")) mail->AttachmentFiles.push_back(FromCharacter(item, 6));
  }
  ApplyHeaderItems(reply.items, mail);
  return Status::OK();
}

std::string ExtractAddress(const std::string& text, const std::string& open, const std::string& close) {
  // An empty mark delimits nothing; searching with it would make up
  // addresses such as "@" out of any text that holds an "@".
  if (open.empty() || close.empty()) return "";
  if (text.find(open) == std::string::npos || text.find('@') == std::string::npos ||
      text.find(close) == std::string::npos) {
    return "";
  }
  // Lines end at CR LF; a bare LF (text that lost its CRs on the way) ends a
  // line too, so an address never runs across a line break.
  std::string_view rest(text);
  while (true) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string address = AddressInLine(line, open, close);
    if (address.find('@') != std::string::npos) return address;
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return "";
}

std::string TextBetween(const std::string& text, const std::string& open, const std::string& close) {
  const size_t a = text.find(open);
  const size_t b = text.rfind(close);
  if (a == std::string::npos || b == std::string::npos) return "";
  const size_t start = a + open.size();
  // A close mark that starts inside or right after the open mark leaves
  // nothing between them.
  if (b <= start) return "";
  return text.substr(start, b - start);
}

std::string DisplayName(const std::string& value) {
  std::string name = ReplaceAll(TextBetween(value, "\\\"", "\\\""), "\\\"", "");
  if (name.empty()) name = TextBetween(value, "\"", "\"");
  return name;
}

std::string JoinAttachmentPaths(int n, const std::vector<std::string>& files) {
  std::string joined;
  const int last = std::min<int>(n, static_cast<int>(files.size()) - 1);
  for (int i = 1; i <= last; ++i) {
    if (i > 1) joined += '\t';
    joined += files[static_cast<size_t>(i)];
  }
  return joined;
}

bool DeleteFileForced(FileSystem& fs, const std::string& path) {
  // Removal ignores the file's own write bit here, so a read-only file
  // needs no attribute reset first. Only regular files are deleted.
  if (!fs.IsFile(path)) return false;
  return fs.RemoveFile(path).ok();
}

}  // namespace kelmora
