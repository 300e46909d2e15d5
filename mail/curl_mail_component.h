// SPDX-License-Identifier: GPL-3.0-or-later
// CurlMailComponent: the mail component on libcurl and GMime.
//
// Send goes to MailSender on libcurl SMTP sessions, Read to ReadMailFile.
// Fetch fetches a POP3 account (A = server string, B = user) into the
// reception folder with Pop3Fetcher on libcurl POP3 sessions and hands out
// plain file names inside that folder, in this order: first the account's stored messages
// that were handed out before and never settled (the program stopped
// before it got to them or while it processed them); then the messages
// fetched now. A message whose processing began three times without being
// settled, or that a rule already acted on, is renamed to its
// "...Error.txt" name instead, with a line in the main log.
//
// When the POP3 session fails, the result is that failure, unless there
// are messages to hand out all the same (some were stored before the
// failure, or old unsettled ones wait): then the failure goes to the main
// log as the caller would have logged it, and the names are handed out, so
// that nothing stored waits on a server that may be down for long.
#pragma once

#include <set>

#include <string>

#include "log/logger.h"
#include "mail/mail_component.h"
#include "net/mail_options.h"
#include "pop3/curl_pop3_session.h"
#include "pop3/pop3_fetcher.h"
#include "smtp/curl_smtp_session.h"
#include "smtp/delivery_queue.h"
#include "smtp/mail_sender.h"
#include "textio/clock.h"
#include "textio/file_system.h"

namespace kelmora {

class CurlMailComponent : public MailComponent {
 public:
  // `clock` is the only source of the time: Message-IDs, Date headers,
  // names of stored and saved messages. `queue` (may be null) keeps the
  // recipients of Send that met a temporary failure.
  CurlMailComponent(FileSystem& fs, Logger& log, const Clock& clock, MailOptions options = {},
                    DeliveryQueue* queue = nullptr);

  Status Send(const std::string& server, const OutgoingMessage& message) override {
    return sender_.Send(server, message);
  }

  DeliveryReport SendComposed(const std::string& server, const std::string& mail_from,
                              const std::vector<std::string>& recipients, const std::string& message) override {
    return sender_.SendComposed(server, mail_from, recipients, message);
  }

  Status Fetch(const std::string& a, const std::string& b, const std::string& password, const std::string& folder,
               std::vector<std::string>* names) override;

  Status Read(const std::string& name, const std::string& folder, ReceivedMail* mail) override;

  // Appends a settle mark to the folder's journal; `name` may be the plain
  // name Fetch gave or a path ending in it.
  void MarkSettled(const std::string& folder, const std::string& name) override;
  void MarkProcessing(const std::string& folder, const std::string& name) override;
  void MarkActed(const std::string& folder, const std::string& name) override;
  std::vector<UnknownRecipient> TakeUnknownRecipients() override { return sender_.TakeUnknownRecipients(); }

 private:
  FileSystem& fs_;
  Logger& log_;
  const Clock& clock_;
  MailOptions options_;
  CurlSmtpSessionFactory smtp_sessions_;
  CurlPop3SessionFactory pop3_sessions_;
  MailSender sender_;
  Pop3Fetcher fetcher_;
  std::set<std::string> swept_folders_;  // folders already rid of stale temporary files
};

}  // namespace kelmora
