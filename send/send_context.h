// SPDX-License-Identifier: GPL-3.0-or-later
// SendContext: everything the send methods use, handed in by whoever owns
// it (the program), so that they can be driven by any front end and tested
// with fakes.
#pragma once

#include <cstdint>
#include <string>

#include "config/address_file.h"
#include "config/master_table.h"
#include "config/settings.h"
#include "log/logger.h"
#include "mail/mail_component.h"
#include "maildir/mail_store.h"
#include "send/pacer.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

struct SendContext {
  FileSystem& fs;
  const Clock& clock;
  Logger& logger;
  MailComponent* mail;   // null: every send fails
  Pacer& pacer;
  Settings& settings;    // the list sequence numbers advance here
  const MasterTable& master;
  const MemberTable& members;
  const SettingsFile& settings_file;  // where the settings are saved
  const bool& no_wait;                // the fixed waits after sends become 0
  const std::int32_t& to_forward_delay_ms;  // pause between one-by-one sends
  MailStore* store = nullptr;  // the local mail store; null: its sends fail

  // Stores the settings (the sequence numbers just used) at once.
  Status SaveSettings() const { return settings_file.Save(settings); }
  // The fixed wait of `ms`, skipped when no_wait is set.
  void FixedWait(int ms) const { pacer.Wait(no_wait ? 0 : ms); }
};

}  // namespace kelmora
