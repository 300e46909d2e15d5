// SPDX-License-Identifier: GPL-3.0-or-later
// Pop3Inbox: the messages the POP3 accounts delivered in one cycle, as files
// the mail component stored in the reception folder (log/receive).
//
// Reading goes through the component's Read. Settling acts on the
// stored file: deleted, rewritten in readable form, or renamed to its
// "...Error.txt" name (never over an earlier failure of the same name); each
// settled message is reported to the component, which then never hands it
// out again. A message left unsettled is handed out again by a later fetch.
//
// Readable forms are committed in batches (see FileSystem::StageFile), at
// the latest by Finish or when the inbox goes away. The message counts as
// settled at once: should the program die before its batch is committed,
// it stays kept as it was received, and is never handed out again.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mail/inbox.h"
#include "mail/mail_component.h"
#include "textio/codepage.h"
#include "textio/file_system.h"

namespace kelmora {

class Pop3Inbox : public Inbox {
 public:
  // `stored_names` are the names the component gave, in reception order.
  Pop3Inbox(FileSystem& fs, Logger& log, MailComponent& mail, std::string receive_folder,
            std::vector<std::string> stored_names);

  ReceptionMode mode() const override { return ReceptionMode::kPop3; }
  int Count() const override { return static_cast<int>(names_.size()); }
  Status Read(int index, ReceivedMail* mail) override;
  std::string AttachmentList(int index, const ReceivedMail& mail, std::vector<std::string>* names) override;
  void DiscardAttachments(int index, const ReceivedMail& mail) override;
  void BeginProcessing(int index) override;
  void RecordAction(int index) override;
  void Settle(int index, const ReceivedMail& mail, Disposition how) override;
  // A message set aside is renamed to "…Error.txt".
  std::string SettledName(int index, const ReceivedMail& mail) const override;
  // The stored message stays as it was fetched; its readable form goes
  // beside it, under the same name with ".txt".
  std::string KeepUnprocessed(int index, const ReceivedMail& mail) override;
  ~Pop3Inbox() override;
  void Finish() override;

  // The text of a stored message that was kept in readable form.
  static std::string ReadableForm(const ReceivedMail& mail);

 private:
  std::string PathOf(int index) const;
  void SetAside(int index);
  // Commits the pending readable forms and reports them settled.
  void CommitReadable();
  // Stages the readable form of `mail` to be written to `path`.
  void StageReadable(const std::string& path, const ReceivedMail& mail, FileEncoding encoding);
  // One log line for a readable form that could not be written: the message
  // stays as it was received.
  void LogUnwritten(const std::string& path, const Status& s);

  FileSystem& fs_;
  Logger& log_;
  MailComponent& mail_;
  std::string folder_;
  std::vector<std::string> names_;
  std::map<int, std::string> set_aside_names_;  // index -> the name it was set aside under
  std::vector<StagedFile> pending_;  // readable forms not yet committed
  // Messages whose settling is reported when the pending forms are
  // committed, in the order they were settled.
  size_t pending_bytes_ = 0;
};

}  // namespace kelmora
