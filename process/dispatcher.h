// SPDX-License-Identifier: GPL-3.0-or-later
// Dispatcher: walks every received message of a cycle against every rule
// row in file order, carries out the delete instruction or process type of
// each row that applies, hands the resulting mail to a send method, and
// settles each message through its inbox (deleted, set aside as a failure,
// or kept in readable form).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/master_table.h"
#include "config/undelivery.h"
#include "mail/inbox.h"
#include "mail/received_mail.h"
#include "process/bounce_removal.h"
#include "process/membership.h"
#include "process/message_processor.h"
#include "process/reply_limiter.h"
#include "send/outgoing_mail.h"
#include "send/send_context.h"

namespace kelmora {

// Everything the dispatcher works with, handed in by the owner of the
// loaded data.
struct DispatchContext {
  const SendContext& send;  // the send methods' collaborators; also fs, clock, logger, settings
  MemberTable& members;     // registration and removal keep the loaded lists in step
  const std::vector<UnDeliveryPattern>& undelivery;
  const std::string& program_folder;
};

class Dispatcher : public MessageProcessor {
 public:
  explicit Dispatcher(const DispatchContext& ctx) : ctx_(ctx) {}

  void ProcessMessages(Inbox& inbox) override;

 private:
  enum class RowOutcome { kNextRow, kNextMessage, kStop };

  struct MessageState {
    int index = 0;
    ReceivedMail mail;
    std::string subject_form;  // matching form of the subject
    // The matching form of the body's first line, built when a row first
    // needs it: only first lines are ever matched, and most messages meet
    // no row that looks.
    std::string first_line_form;
    bool first_line_built = false;
    const std::string& FirstLineForm();
    bool delete_mark = false;
    bool send_failed = false;
    bool acted = false;  // a rule acted on the message (recorded in the inbox)
    bool held = false;      // a row held it back and said why in the main log
    bool own_post = false;  // the list's own post came back
    bool pop3 = false;      // it came from a POP3 account
  };

  // What a row found out about a message while matching it, and what it
  // prepared for the send.
  struct RowMatch {
    const MasterRule& rule;
    int row;
    const std::string& keyword_form;  // the matching form of the row's keyword
    bool keyword_in_subject = false;
    std::string receiving_name{};  // the display name of the row's address in the message
    ListTagMode tag = ListTagMode::kPlain;
    // The received attachment count (or the retrieved file's), and the
    // attachment files the store gives for its own sender: a single empty
    // entry when nothing was prepared.
    int attachment_count = 0;
    std::vector<std::string> attachment_files{""};
  };

  void ProcessAll(Inbox& inbox);
  RowOutcome ProcessRow(Inbox& inbox, int row, MessageState& m);
  const std::string& KeywordForm(int row);
  // Whether the row deletes the message before anything else: by its
  // keyword, or as a suspected virus mail.
  static bool DeletesOnSight(const MasterRule& rule, const ReceivedMail& mail, bool keyword_in_subject);
  // Nothing when the row takes the message on to its guards; otherwise
  // where the walk goes on.
  std::optional<RowOutcome> Match(Inbox& inbox, MessageState& m, RowMatch& match);
  // The rows that act on the keyword alone and end the message's walk:
  // auto-save and survey answers.
  std::optional<RowOutcome> RecordByKeyword(Inbox& inbox, MessageState& m, const RowMatch& match);
  static ListTagMode ListTagOf(const MasterRule& rule, const ReceivedMail& mail);
  // True when a list guard holds the message back from this row.
  bool HeldBack(MessageState& m, const RowMatch& match, const ReplyLimiter& limiter);
  // The row's action: the mail to send for it.
  OutgoingMail Act(Inbox& inbox, MessageState& m, RowMatch& match);
  // Sends `out` by the row's road; true when it went out.
  bool Send(Inbox& inbox, MessageState& m, RowMatch& match, const OutgoingMail& out);
  // What the row's send means for the message's fate.
  void SettleRow(MessageState& m, const RowMatch& match, ReplyLimiter& limiter, bool sent, bool bounce_removed);
  bool SenderCheckPasses(const MasterRule& rule, const ReceivedMail& mail);
  // Saves the body in the row's file, the earlier content kept in a
  // stamped copy.
  Status AutoSave(const MasterRule& rule, const ReceivedMail& mail);
  // The reply text of the four survey reply rows.
  std::string SurveyReply(const MasterRule& rule, const ReceivedMail& mail);
  BounceContext Bounces() const;
  // The bounce row's action: false when the message names nobody to
  // remove; *removed tells whether someone left the row's file.
  bool RemoveBounced(Inbox& inbox, MessageState& m, const MasterRule& rule, bool* removed);
  // True when the message went through one of the table's lists before
  // (its X-Loop or List-Id): a list's own copy of a post.
  bool IsOwnPostComingBack(const ReceivedMail& mail) const;
  // Records (once per message) that a rule is about to act on it.
  void Acting(Inbox& inbox, MessageState& m);
  void SetAsideIfActed(Inbox& inbox, const MessageState& m);
  void Settle(Inbox& inbox, const MessageState& m);
  std::string RulePath(const std::string& name) const;

  DispatchContext ctx_;
  // The matching form of each row's keyword, built once per cycle.
  std::vector<std::string> keyword_forms_;
};

// The sender as received: "\"Name\" <addr>", or "<addr>" when the name is
// the address itself.
std::string OriginalSender(const ReceivedMail& mail);

// The recipient of `mail` that `address` names: its first To address, or
// any To or Cc recipient (domains compared without regard to case); null
// when the message does not name it. *first_to holds the first To address
// for the answer.
const Addressee* ReceivingAddress(const ReceivedMail& mail, const std::string& address, Addressee* first_to);

// The main-log line for a message no row processed: its sender, the
// addresses it was sent to and its subject.
std::string UnprocessedLine(const ReceivedMail& mail);

}  // namespace kelmora
