// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/address_file.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include "textio/codepage.h"
#include "textio/strings.h"
#include "textio/text_file.h"

namespace kelmora {
namespace {

constexpr char kIrregular[] = "ReadAddress:不正な処理がありました。";

// Splits a request text into lines. A bare LF ends a line too: mail bodies
// do not always arrive with CR LF, and a password must never swallow the
// line that follows it. Every remaining CR is dropped.
std::vector<std::string> RequestLines(const std::string& text) {
  std::vector<std::string> lines = Split(text, "\n");
  for (std::string& line : lines) line = ReplaceAll(line, "\r", "");
  return lines;
}

// The password carried by the first line of a request text, trimmed.
std::string FirstLinePassword(const std::string& text) { return Trim(RequestLines(text)[0]); }

// True when `s` can stand as one field of a member line: a "," would shift
// every later field, a line break would start a new line.
bool FitsOneField(const std::string& s) {
  return s.find_first_of(",\r\n") == std::string::npos;
}

bool FileHoldsNoMember(const std::vector<std::string>& lines) {
  return lines.size() == 1 && lines[0].empty();
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool IsAsciiText(std::string_view s) {
  unsigned char any = 0;
  for (char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// Loads one address file into *list. Line numbers in the messages count
// data lines only; `name` is the file name as the rule writes it. `bytes`
// is a buffer reused from file to file.
//
// The file is parsed where it lies: lines end at LF (one CR at the end of
// a line is dropped, also on a last line without LF), and only the address field of each line is copied, into the
// list's packed text. Pure ASCII needs no decoding.
Status LoadAddressFile(const FileSystem& fs, const std::string& path, const std::string& name, std::string* bytes,
                       MemberList* list) {
  if (!fs.ReadFile(path, bytes).ok()) return Status::Error(kIrregular);
  std::string decoded;
  std::string_view text;
  if (IsAsciiText(*bytes)) {
    text = *bytes;
  } else {
    decoded = DecodeFileBytes(*bytes);
    text = decoded;
  }
  // Every address is shorter than its line: the file's size bounds the
  // text, its line count the slots.
  list->Reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1, text.size());
  int k = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t lf = text.find('\n', start);
    const size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view stored = text.substr(start, end - start);
    if (!stored.empty() && stored.back() == '\r') stored.remove_suffix(1);
    start = lf == std::string_view::npos ? text.size() : lf + 1;
    // The comment test looks at the line exactly as stored.
    if (stored.empty() || stored[0] == ';') continue;
    ++k;
    const size_t comma = stored.find(',');
    auto where = [&] { return name + "の" + std::to_string(k) + "行目"; };
    if (comma == std::string_view::npos) {
      return Status::Error(where() + "<" + std::string(stored) + ">のデータのカンマが不足です。");
    }
    std::string_view field = stored.substr(comma + 1);
    field = field.substr(0, field.find(','));
    const std::string_view address = TrimView(field);
    if (address.empty()) return Status::Error(where() + "<" + std::string(stored) + ">にカラデータが有ります。");
    if (!IsMailAddress(address)) {
      return Status::Error(where() + "のＥメールアドレス<" + std::string(address) + ">が不正です。");
    }
    list->Append(address);
  }
  list->ShrinkToFit();
  return Status::OK();
}

Status ReadAddressUnchecked(const FileSystem& fs, const std::string& program_folder, const MasterTable& rules,
                            MemberTable* table) {
  std::string bytes;
  for (const MasterRule& rule : rules) {
    const std::string& value = rule.Destination;
    if (value.empty()) continue;
    const bool is_address = IsMailAddress(value);
    const std::string path = JoinPath(program_folder, value);
    if (!is_address && FindFile(fs, path).empty()) {
      return Status::Error("ファイル<" + value + ">がみつかりません。");
    }
    if (table->FindList(value) >= 0) continue;  // rules naming the same source share its list

    MemberList list;
    list.Source = value;
    if (is_address) {
      list.Append(value);
    } else {
      Status s = LoadAddressFile(fs, path, value, &bytes, &list);
      if (!s.ok()) return s;
      if (list.slot_count() == 0) return Status::Error("ファイル<" + value + ">の中がカラです。");
    }
    if (static_cast<int>(list.slot_count()) > table->slot_count) {
      table->slot_count = static_cast<int>(list.slot_count());
    }
    table->lists.push_back(std::move(list));
  }
  for (MemberList& list : table->lists) list.Resize(static_cast<size_t>(table->slot_count));
  return Status::OK();
}

}  // namespace

MemberList::MemberList(std::string source, const std::vector<std::string>& slots) : Source(std::move(source)) {
  for (const std::string& slot : slots) Append(slot);
}

namespace {

void PutVarint(std::string* out, std::uint32_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

std::uint32_t GetVarint(const char*& p) {
  std::uint32_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*p++);
    v |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return v;
  }
}

// The local part and the "@domain" part (from the last "@"; "" without one).
std::pair<std::string_view, std::string_view> SplitAddress(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {address, std::string_view()};
  return {address.substr(0, at), address.substr(at)};
}

}  // namespace

std::vector<std::string> MemberList::Slots() const {
  std::vector<std::string> out;
  out.reserve(slots_.size());
  for (size_t i = 0; i < slots_.size(); ++i) out.push_back(Slot(i));
  return out;
}

MemberList::Parts MemberList::Decode(std::uint32_t offset) const {
  const char* p = text_.data() + offset;
  const std::uint32_t length = GetVarint(p);
  std::string_view local(p, length);
  p += length;
  return Parts{local, GetVarint(p)};
}

std::string MemberList::Slot(size_t i) const {
  std::string out;
  AppendSlot(i, &out);
  return out;
}

bool MemberList::AppendSlot(size_t i, std::string* out) const {
  if (slots_[i] == kEmpty) return false;
  const Parts parts = Decode(slots_[i]);
  out->append(parts.local);
  out->append(domains_[parts.domain]);
  return true;
}

bool MemberList::SlotEquals(size_t i, std::string_view address) const {
  if (slots_[i] == kEmpty) return address.empty();
  const Parts parts = Decode(slots_[i]);
  const std::string& domain = domains_[parts.domain];
  // Domains are case-insensitive; a local part is compared exactly.
  return address.size() == parts.local.size() + domain.size() && address.substr(0, parts.local.size()) == parts.local &&
         EqualsIgnoringAsciiCase(address.substr(parts.local.size()), domain);
}

std::uint32_t MemberList::DomainNumber(std::string_view domain) {
  // Consecutive members mostly share their domain.
  if (!domains_.empty() && domains_.back() == domain) return static_cast<std::uint32_t>(domains_.size() - 1);
  auto [it, added] = domain_numbers_.try_emplace(std::string(domain), static_cast<std::uint32_t>(domains_.size()));
  if (added) domains_.emplace_back(domain);
  return it->second;
}

std::uint32_t MemberList::Store(std::string_view address) {
  if (address.empty()) return kEmpty;
  if (text_.size() + address.size() + 10 >= kEmpty) throw std::length_error("member list too large");
  const auto [local, domain] = SplitAddress(address);
  const std::uint32_t number = DomainNumber(domain);
  const auto offset = static_cast<std::uint32_t>(text_.size());
  PutVarint(&text_, static_cast<std::uint32_t>(local.size()));
  text_.append(local);
  PutVarint(&text_, number);
  return offset;
}

void MemberList::SetSlot(size_t i, std::string_view address) {
  // The old record stays behind unused: changes are rare and small.
  slots_[i] = Store(address);
}

void MemberList::Append(std::string_view address) { slots_.push_back(Store(address)); }

void MemberList::Reserve(size_t slots, size_t text_bytes) {
  slots_.reserve(slots);
  text_.reserve(text_bytes);
}

void MemberList::ShrinkToFit() {
  text_.shrink_to_fit();
  slots_.shrink_to_fit();
}

std::vector<std::string> MemberTable::Members(int index) const {
  std::vector<std::string> out;
  ForEachMember(index, [&](std::string_view address) { out.emplace_back(address); });
  return out;
}

bool MemberTable::HasMember(int index, std::string_view address) const {
  if (index < 0 || index >= static_cast<int>(lists.size()) || address.empty()) return false;
  const MemberList& list = lists[static_cast<size_t>(index)];
  for (size_t i = 0; i < static_cast<size_t>(slot_count) && i < list.slot_count(); ++i) {
    if (!list.SlotEmpty(i) && list.SlotEquals(i, address)) return true;
  }
  return false;
}

int MemberTable::FindList(const std::string& value) const {
  for (size_t i = 0; i < lists.size(); ++i) {
    if (lists[i].Source == value) return static_cast<int>(i);
  }
  return -1;
}

void MemberTable::AddLoadedMember(int index, const std::string& address) {
  if (index < 0 || index >= static_cast<int>(lists.size())) return;
  MemberList& list = lists[static_cast<size_t>(index)];
  for (size_t i = 0; i < list.slot_count(); ++i) {
    if (list.SlotEmpty(i)) {
      list.SetSlot(i, address);
      return;
    }
  }
  // No free slot: all lists stay the same length, so every one grows.
  ++slot_count;
  for (MemberList& l : lists) l.Resize(static_cast<size_t>(slot_count));
  list.SetSlot(list.slot_count() - 1, address);
}

void MemberTable::RemoveLoadedMember(int index, const std::string& address) {
  if (index < 0 || index >= static_cast<int>(lists.size())) return;
  MemberList& list = lists[static_cast<size_t>(index)];
  for (size_t i = 0; i < list.slot_count(); ++i) {
    if (list.SlotEquals(i, address)) list.ClearSlot(i);
  }
}

Status ReadAddress(const FileSystem& fs, const std::string& program_folder, const MasterTable& rules,
                   MemberTable* table) {
  table->lists.clear();
  table->slot_count = 0;
  try {
    Status s = ReadAddressUnchecked(fs, program_folder, rules, table);
    if (s.ok()) return s;
    table->lists.clear();
    table->slot_count = 0;
    return s;
  } catch (const std::exception&) {
    table->lists.clear();
    table->slot_count = 0;
    return Status::Error(kIrregular);
  }
}

int IsMember(const std::vector<std::string>& lines, const std::string& address) {
  for (const std::string& line : lines) {
    std::vector<std::string> f = Split(line, ",");
    if (f.size() >= 2 && SameAddress(Trim(f[1]), address)) return 1;
  }
  return 0;
}

// A file that went away before the rewrite is absent; any other failed
// write a failure.
MemberResult FromWriteResult(const Status& written) {
  if (written.ok()) return MemberResult::kDone;
  return written.IsNotFound() ? MemberResult::kFileAbsent : MemberResult::kFailure;
}

MemberResult AddMember(FileSystem& fs, const Clock& clock, const std::string& path, const std::string& address,
              const std::string& text) {
  try {
    const std::string addr = Trim(address);
    const std::string body = Trim(text);
    if (addr.empty() || body.empty() || addr.find('@') == std::string::npos) return MemberResult::kIncomplete;
    // The new line must read back as this member at the next start: an
    // address the loader would reject, or a field that would split the
    // line, is not a usable request.
    if (!IsMailAddress(addr) || !FitsOneField(addr)) return MemberResult::kIncomplete;
    const std::string password = FirstLinePassword(body);
    if (password.empty() || !FitsOneField(password)) return MemberResult::kIncomplete;

    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return MemberResult::kFileAbsent;
    if (IsMember(lines, addr)) return MemberResult::kAlreadyOrNotMember;

    const std::string stamp = FormatMemberStamp(clock.Now());
    if (FileHoldsNoMember(lines)) {
      lines[0] = "1," + addr + "," + password + "," + stamp;
    } else {
      lines.push_back(std::to_string(lines.size() + 1) + "," + addr + "," + password + "," + stamp);
    }
    return FromWriteResult(WriteLines(fs, path, lines));
  } catch (const std::exception&) {
    return MemberResult::kFailure;
  }
}

MemberResult DeleteMember(FileSystem& fs, const std::string& path, const std::string& address, const std::string& text,
                          PasswordCheck check) {
  try {
    const std::string addr = Trim(address);
    const bool any_password = check == PasswordCheck::kNone;
    if (addr.empty() || addr.find('@') == std::string::npos) return MemberResult::kIncomplete;
    const std::string body = Trim(text);
    if (!any_password && body.empty()) return MemberResult::kIncomplete;
    const std::string password = any_password ? "" : FirstLinePassword(body);
    if (!any_password && password.empty()) return MemberResult::kIncomplete;

    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return MemberResult::kFileAbsent;
    if (!IsMember(lines, addr)) return MemberResult::kAlreadyOrNotMember;

    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      std::vector<std::string> f = Split(line, ",");
      if (f.size() < 2) continue;
      if (SameAddress(Trim(f[1]), addr)) {
        // A line without a password field can be removed by anyone who
        // knows the address; a stored password, even an empty one, must
        // match exactly.
        if (f.size() >= 3 && f[2] != password && !any_password) return MemberResult::kWrongPassword;
        continue;
      }
      kept.push_back(line);
    }
    if (kept.empty()) kept.push_back("");
    return FromWriteResult(WriteLines(fs, path, kept));
  } catch (const std::exception&) {
    return MemberResult::kFailure;
  }
}

MemberResult ChangePassword(FileSystem& fs, const Clock& clock, const std::string& path,
                            const std::string& address, const std::string& text) {
  try {
    const std::string addr = Trim(address);
    const std::string body = Trim(text);
    if (addr.empty() || body.empty() || addr.find('@') == std::string::npos) return MemberResult::kIncomplete;
    std::vector<std::string> request = RequestLines(body);
    if (request.size() < 2) return MemberResult::kIncomplete;
    const std::string old_password = Trim(request[0]);
    const std::string new_password = Trim(request[1]);
    if (new_password.empty() || !FitsOneField(new_password)) return MemberResult::kIncomplete;

    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return MemberResult::kFailure;
    for (std::string& line : lines) {
      std::vector<std::string> f = Split(line, ",");
      if (f.size() < 2 || !SameAddress(Trim(f[1]), addr)) continue;
      // A member without a password (no field, or an empty one) may set
      // one whatever it gives as the old password.
      if (f.size() >= 3 && !Trim(f[2]).empty() && old_password != f[2]) return MemberResult::kWrongPassword;
      line = f[0] + "," + f[1] + "," + new_password + "," + FormatMemberStamp(clock.Now());
      return FromWriteResult(WriteLines(fs, path, lines));
    }
    return MemberResult::kAlreadyOrNotMember;
  } catch (const std::exception&) {
    return MemberResult::kFailure;
  }
}

std::string GetPassword(const FileSystem& fs, const std::string& path, const std::string& address) {
  try {
    const std::string addr = Trim(address);
    if (addr.find('@') == std::string::npos) return "";
    std::vector<std::string> lines;
    if (!ReadLines(fs, path, &lines).ok()) return "";
    for (const std::string& line : lines) {
      std::vector<std::string> f = Split(line, ",");
      if (f.size() >= 3 && SameAddress(Trim(f[1]), addr)) return f[2];
    }
    return "";
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace kelmora
