// SPDX-License-Identifier: GPL-3.0-or-later
// Address files (member lists) and the destination lists loaded from them.
//
// File format: one member per line, "number,address,password,stamp"; lines
// that begin with ";" are comments. The member-file operations read the
// whole file, change its lines and rewrite it atomically.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "config/master_table.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// One destination list, packed: two million members must fit in little
// more memory than their local parts. Each address is kept as its local
// part and the number of its domain ("@example.jp", stored once per list:
// most members of a list share a few domains), one after the other in one
// text buffer; a slot is the offset of its address there. Empty slots ("")
// are skipped by every user.
class MemberList {
 public:
  MemberList() = default;
  // A list with these slots ("" = an empty slot).
  MemberList(std::string source, const std::vector<std::string>& slots);

  std::string Source;  // the Destination value naming the list

  size_t slot_count() const { return slots_.size(); }
  // The address in slot `i` ("" when empty).
  std::string Slot(size_t i) const;
  // Appends the address in slot `i` to *out; false (nothing appended) when
  // the slot is empty.
  bool AppendSlot(size_t i, std::string* out) const;
  // True when slot `i` holds exactly `address`.
  bool SlotEquals(size_t i, std::string_view address) const;
  bool SlotEmpty(size_t i) const { return slots_[i] == kEmpty; }
  // Every slot, empty ones included.
  std::vector<std::string> Slots() const;

  void SetSlot(size_t i, std::string_view address);
  void ClearSlot(size_t i) { slots_[i] = kEmpty; }
  // More or fewer slots; new ones are empty.
  void Resize(size_t n) { slots_.resize(n, kEmpty); }
  // A new slot at the end holding `address`.
  void Append(std::string_view address);
  void Reserve(size_t slots, size_t text_bytes);
  // Gives back what the loading over-reserved.
  void ShrinkToFit();

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  struct Parts {
    std::string_view local;
    std::uint32_t domain;
  };
  std::uint32_t Store(std::string_view address);
  Parts Decode(std::uint32_t offset) const;
  std::uint32_t DomainNumber(std::string_view domain);

  std::string text_;  // per address: local-part length, local part, domain number (varints)
  std::vector<std::uint32_t> slots_;  // offset of the slot's address in text_, or kEmpty
  std::vector<std::string> domains_;  // "@domain", or "" for an address without "@"
  std::unordered_map<std::string, std::uint32_t> domain_numbers_;
};

struct MemberTable {
  std::vector<MemberList> lists;
  int slot_count = 0;  // MemberSlotCount: every list has this many slots

  // The index of the list whose Source equals `value`, or -1.
  int FindList(const std::string& value) const;

  // The members of list `index`: its non-empty slots, in slot order.
  std::vector<std::string> Members(int index) const;

  // True when some slot of list `index` holds exactly `address`.
  bool HasMember(int index, std::string_view address) const;

  // Calls f(std::string_view address) for each member of list `index`, in
  // slot order; the view lasts until f returns.
  template <class F>
  void ForEachMember(int index, F f) const {
    if (index < 0 || index >= static_cast<int>(lists.size())) return;
    const MemberList& list = lists[static_cast<size_t>(index)];
    std::string address;
    for (size_t i = 0; i < static_cast<size_t>(slot_count) && i < list.slot_count(); ++i) {
      address.clear();
      if (list.AppendSlot(i, &address)) f(std::string_view(address));
    }
  }

  // Puts `address` into the first empty slot of list `index`; when it has
  // none, every list gets one more slot.
  void AddLoadedMember(int index, const std::string& address);

  // Empties every slot of list `index` that equals `address`.
  void RemoveLoadedMember(int index, const std::string& address);
};

// Builds the destination lists of every rule. On a fault returns an error
// whose message is the text to show before the program ends.
Status ReadAddress(const FileSystem& fs, const std::string& program_folder, const MasterTable& rules,
                   MemberTable* table);

// The result of a member operation; the values are the numbers the
// operations have always answered, turned into reply texts only where the
// replies are written.
enum class MemberResult : int {
  kDone = 0,
  kFileAbsent = 1,
  kAlreadyOrNotMember = 2,  // already a member (add), not a member (delete, change)
  kWrongPassword = 3,
  kIncomplete = -3,         // the request lacks an address or a usable password
  kFailure = -1,
};

// The password is the first line of `text`; a bare LF ends a line as CR LF
// does. A new password or a new member's address holding "," (which would
// shift the fields of the line), and a new member's address that the
// start-up loader would reject, make the request incomplete.
// A failed rewrite leaves the file as it was.
MemberResult AddMember(FileSystem& fs, const Clock& clock, const std::string& path, const std::string& address,
                       const std::string& text);
// kNone removes the member whatever its password: the bounce handler and
// the remove-existing row act for the list, not for the member.
enum class PasswordCheck { kFirstLine, kNone };
MemberResult DeleteMember(FileSystem& fs, const std::string& path, const std::string& address,
                          const std::string& text, PasswordCheck check = PasswordCheck::kFirstLine);
// The old password is the first line of `text`, the new one the second. An
// address file that cannot be read is a failure here.
MemberResult ChangePassword(FileSystem& fs, const Clock& clock, const std::string& path,
                            const std::string& address, const std::string& text);
std::string GetPassword(const FileSystem& fs, const std::string& path, const std::string& address);
// 1 when some line has the address as its trimmed second field, else 0.
int IsMember(const std::vector<std::string>& lines, const std::string& address);

}  // namespace kelmora
