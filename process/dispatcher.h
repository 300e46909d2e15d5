// Dispatcher: walks every received message of a cycle against every rule
// row in file order, carries out the delete instruction or process type of
// each row that applies, hands the resulting mail to a send method, and
// settles each stored message (deleted, set aside as "…Error.txt", or
// rewritten in readable form).
#pragma once

#include <string>
#include <vector>

#include "app/core/message_processor.h"
#include "config/master_table.h"
#include "receive/received_mail.h"

namespace kelmora {

class Program;

class Dispatcher : public MessageProcessor {
 public:
  explicit Dispatcher(Program& program) : program_(program) {}

  void ProcessMessages(int count, const std::vector<std::string>& stored_names) override;

 private:
  enum class RowOutcome { kNextRow, kNextMessage, kStop };

  struct MessageState {
    ReceivedMail mail;
    std::string subject_form;  // matching forms
    std::string body_form;
    bool delete_mark = false;
    std::string failed_name;
  };

  void ProcessAll(int count, const std::vector<std::string>& stored_names);
  RowOutcome ProcessRow(int row, MessageState& m);
  bool SenderCheckPasses(const MasterRule& rule, const ReceivedMail& mail);
  void AutoSave(const MasterRule& rule, const ReceivedMail& mail);
  // The reply text of the four survey reply rows.
  std::string SurveyReply(const MasterRule& rule, const ReceivedMail& mail);
  // Returns true when a bounced address was found; *removed tells whether
  // it left the address file.
  bool RemoveBouncedAddress(const MasterRule& rule, const ReceivedMail& mail, bool* removed);
  void Settle(const MessageState& m);
  void SetAside(const std::string& stored_name);
  std::string StoredPath(const std::string& name) const;
  void LogUnavailable(int row, const std::string& what);

  Program& program_;
};

// The readable form a message that no row deleted is rewritten in.
std::string ReadableForm(const ReceivedMail& mail);

// The sender as received: "\"Name\" <addr>", or "<addr>" when the name is
// the address itself.
std::string OriginalSender(const ReceivedMail& mail);

}  // namespace kelmora
