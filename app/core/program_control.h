// SPDX-License-Identifier: GPL-3.0-or-later
// ProgramControl: everything a window asks of and tells the core. A window
// never reaches the settings, lists or logs themselves: while a cycle runs
// on another thread, setting changes wait for the cycle's next check point
// (where they took effect when everything ran on one thread), and what the
// window shows comes from copies the cycle publishes there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/master_table.h"
#include "textio/status.h"

namespace kelmora {

// The options the window's check boxes stand for.
enum class WindowOption { kDownloadFromServer, kDeleteAfterProcessing, kHideBusyWindow, kLogSentMail, kLogReceivedMail };

// The settings as the window shows them; POP3 accounts as their display
// text, without a password.
struct WindowSettings {
  std::string user;
  std::string password;
  bool options[5] = {};
  int interval_minutes = 20;
  std::vector<std::string> accounts;

  bool option(WindowOption o) const { return options[static_cast<int>(o)]; }
};

// One rule row as the viewer shows it.
struct RuleView {
  MasterRule rule;                   // the server string's password masked
  std::vector<std::string> members;  // the addresses of its destination list
  std::int32_t sequence_number = 0;
  bool has_sequence_number = false;
};

class ProgramControl {
 public:
  virtual ~ProgramControl() = default;

  // --- what the window shows ---
  virtual WindowSettings CurrentSettings() const = 0;
  virtual int RuleCount() const = 0;
  // Row `row` (0-based); an empty view for a row that does not exist.
  virtual RuleView ViewRule(int row) const = 0;
  virtual int current_rule_index() const = 0;
  virtual void set_current_rule_index(int row) = 0;
  // The saved-mail files ("*.txt") of the log folder.
  virtual int SavedMailCount() = 0;
  // The main log's entries, newest first, decoded from code page 932.
  virtual std::vector<std::string> MainLogEntries() = 0;
  virtual const std::string& first_start_message() const = 0;

  // --- settings changes ---
  virtual void SetOption(WindowOption option, bool on) = 0;
  // Position `position` (0-based) of the interval list.
  virtual void OnIntervalChosen(int position) = 0;
  // The logon boxes changed; taken over when the settings are saved.
  virtual void SetLogon(const std::string& user, const std::string& password) = 0;
  virtual Status SaveSettings() = 0;

  // --- commands ---
  // The minute timer fired: true when a cycle is due now; the front end
  // then runs RunMailCheck (on any thread) and calls EndTickCycle after it.
  virtual bool TickStartsCycle() = 0;
  virtual void EndTickCycle() = 0;
  // One mail-check cycle; a call while one runs does nothing.
  virtual void RunMailCheck() = 0;
  // Minimised resumes automatic checking; any other state pauses it and
  // asks a running cycle to stop at its next check point.
  virtual void OnMinimise() = 0;
  virtual void OnRestore() = 0;
  // The cancel label: the cycle stops and a transfer under way is aborted.
  virtual void RequestStop() = 0;
  // Closing the window or a stop signal: as RequestStop, for good.
  virtual void OnCloseRequest() = 0;

  virtual bool cycle_running() const = 0;
  virtual bool timer_enabled() const = 0;
  virtual bool stop_requested() const = 0;
  virtual int minute_count() const = 0;
};

}  // namespace kelmora
