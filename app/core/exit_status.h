// SPDX-License-Identifier: GPL-3.0-or-later
// Exit statuses of the kelmora command, as cron, systemd units and scripts
// see them. Each tells the caller something different to do: fix a file,
// fix the command, look at the main log, or simply try again later.
#pragma once

#include "textio/status.h"

namespace kelmora {

inline constexpr int kExitOk = 0;
// Start-up found a fault (a data file, the program folder); nothing ran and
// nothing was saved.
inline constexpr int kExitStartupFault = 1;
// The command line cannot be carried out: an unknown option, a program
// folder that does not exist, a window this installation does not have.
inline constexpr int kExitUsage = 2;
// --once: the mail check ran but wrote a failure to the main log (a fetch,
// a send, a data file), or the settings could not be saved afterwards.
inline constexpr int kExitCheckFailed = 3;
// Another copy already works on this program folder; nothing was done.
inline constexpr int kExitAlreadyRunning = 4;

// The status for a failed Program::Start: another copy holding the folder is
// the one refusal Start reports; everything else is a start-up fault.
inline int StartupExitStatus(const Status& start_failure) {
  return start_failure.code() == Status::Code::kRefused ? kExitAlreadyRunning : kExitStartupFault;
}

}  // namespace kelmora
