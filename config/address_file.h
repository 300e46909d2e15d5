// Address files (member lists) and the destination lists loaded from them.
//
// File format: one member per line, "number,address,password,stamp"; lines
// that begin with ";" are comments. The member-file operations read the
// whole file, change its lines and rewrite it atomically.
#pragma once

#include <string>
#include <vector>

#include "config/master_table.h"
#include "textio/clock.h"
#include "textio/file_system.h"
#include "textio/status.h"

namespace kelmora {

// One destination list. Empty slots ("") are skipped by every user.
struct MemberList {
  std::string Source;                  // the AddrFile value naming the list
  std::vector<std::string> Addresses;  // exactly MemberTable::slot_count slots
};

struct MemberTable {
  std::vector<MemberList> lists;
  int slot_count = 0;  // MemberSlotCount: every list has this many slots

  // The index of the list whose Source equals `value`, or -1.
  int FindList(const std::string& value) const;

  // The members of list `index`: its non-empty slots, in slot order.
  std::vector<std::string> Members(int index) const;

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
