// Address files (member lists) and the destination lists loaded from them.
//
// File format: one member per line, "number,address,password,stamp"; lines
// that begin with ";" are comments. The member-file operations read the
// whole file, change its lines and rewrite it atomically.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/master_table.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// One destination list, packed: the addresses share one text buffer and
// each slot is an offset and a length into it, so that two million members
// cost little more than their text. Empty slots ("") are skipped by every
// user.
class MemberList {
 public:
  MemberList() = default;
  // A list with these slots ("" = an empty slot).
  MemberList(std::string source, const std::vector<std::string>& slots);

  std::string Source;  // the AddrFile value naming the list

  size_t slot_count() const { return slots_.size(); }
  // The address in slot `i` ("" when empty). Valid until the list changes.
  std::string_view Slot(size_t i) const {
    const Span& s = slots_[i];
    return std::string_view(text_.data() + s.offset, s.length);
  }
  // Every slot, empty ones included.
  std::vector<std::string> Slots() const;

  void SetSlot(size_t i, std::string_view address);
  void ClearSlot(size_t i) { slots_[i] = Span{0, 0}; }
  // More or fewer slots; new ones are empty.
  void Resize(size_t n) { slots_.resize(n, Span{0, 0}); }
  // A new slot at the end holding `address`.
  void Append(std::string_view address);
  // Gives back what the loading over-reserved.
  void ShrinkToFit();
  void Reserve(size_t slots, size_t text_bytes);

 private:
  struct Span {
    std::uint32_t offset;
    std::uint32_t length;
  };
  std::uint32_t Store(std::string_view address);

  std::string text_;  // the addresses, one after the other
  std::vector<Span> slots_;
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
  // slot order, without copying them.
  template <class F>
  void ForEachMember(int index, F f) const {
    if (index < 0 || index >= static_cast<int>(lists.size())) return;
    const MemberList& list = lists[static_cast<size_t>(index)];
    for (size_t i = 0; i < static_cast<size_t>(slot_count) && i < list.slot_count(); ++i) {
      const std::string_view slot = list.Slot(i);
      if (!slot.empty()) f(slot);
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
MemberResult DeleteMember(FileSystem& fs, const std::string& path, const std::string& address,
                          const std::string& text);
// The old password is the first line of `text`, the new one the second. An
// address file that cannot be read is a failure here.
MemberResult ChangePassword(FileSystem& fs, const Clock& clock, const std::string& path,
                            const std::string& address, const std::string& text);
std::string GetPassword(const FileSystem& fs, const std::string& path, const std::string& address);
// 1 when some line has the address as its trimmed second field, else 0.
int IsMember(const std::vector<std::string>& lines, const std::string& address);

}  // namespace kelmora
