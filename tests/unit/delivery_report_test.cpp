// SPDX-License-Identifier: GPL-3.0-or-later
// What returned mail and refusals say about recipients: the report part
// of a bounce, the subjects of delay warnings, and the refusals at RCPT
// that name an address that does not exist.
#include "mime/delivery_report.h"

#include <gtest/gtest.h>

#include "smtp/smtp_delivery.h"

namespace kelmora {
namespace {

// The report part as Postfix writes it for one message with two dead
// recipients and one only delayed, folded and with CR LF.
constexpr const char* kPostfixReport =
    "Reporting-MTA: dns; mx.example.test\r\n"
    "X-Postfix-Queue-ID: F0ADEA72164\r\n"
    "X-Postfix-Sender: rfc822; club@example.test\r\n"
    "\r\n"
    "Final-Recipient: rfc822; dead1@example.test\r\n"
    "Original-Recipient: rfc822;dead1@example.test\r\n"
    "Action: failed\r\n"
    "Status: 5.1.1\r\n"
    "Diagnostic-Code: X-Postfix; unknown user: \"dead1@example.test\"\r\n"
    "\r\n"
    "Final-Recipient: rfc822; dead2@example.test\r\n"
    "Action: failed\r\n"
    "Status: 5.1.1\r\n"
    "\r\n"
    "Final-Recipient: rfc822; slow@slow.test\r\n"
    "Action: delayed\r\n"
    "Status: 4.2.1\r\n"
    "Diagnostic-Code: smtp; 450 4.2.1 <slow@slow.test>: Recipient address rejected:\r\n"
    "    mailbox busy, try again later\r\n";

TEST(DeliveryReportTest, EveryRecipientGroupIsReadWithItsActionAndStatus) {
  const std::vector<ReportedRecipient> r = ParseDeliveryStatus(kPostfixReport);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].address, "dead1@example.test");
  EXPECT_EQ(r[0].action, "failed");
  EXPECT_EQ(r[0].status, "5.1.1");
  EXPECT_EQ(r[1].address, "dead2@example.test");
  EXPECT_EQ(r[2].address, "slow@slow.test");
  EXPECT_EQ(r[2].action, "delayed");
  EXPECT_EQ(r[2].status, "4.2.1");
}

TEST(DeliveryReportTest, OddlyWrittenGroupsStillNameTheirRecipient) {
  struct Case {
    const char* text;
    const char* address;
    const char* action;
    const char* status;
  };
  for (const Case& c : {
           // LF only, field names in another case, address in brackets, comments
           Case{"final-recipient: RFC822; <a@x.test>\naction: Failed (bad mailbox)\nSTATUS: 5.1.10 (moved)\n",
                "a@x.test", "failed", "5.1.10"},
           // no Final-Recipient: the original one stands in
           Case{"Original-Recipient: rfc822;b@x.test\nAction: failed\nStatus: 5.0.0\n", "b@x.test", "failed",
                "5.0.0"},
           // a folded Final-Recipient
           Case{"Final-Recipient:\n rfc822; c@x.test\nStatus: 5.2.2\n", "c@x.test", "", "5.2.2"},
           // UTF-8 address of a global report
           Case{"Final-Recipient: utf-8; 太郎@x.test\nAction: delivered\n", "太郎@x.test", "delivered", ""},
       }) {
    const std::vector<ReportedRecipient> r = ParseDeliveryStatus(c.text);
    ASSERT_EQ(r.size(), 1u) << c.text;
    EXPECT_EQ(r[0].address, c.address) << c.text;
    EXPECT_EQ(r[0].action, c.action) << c.text;
    EXPECT_EQ(r[0].status, c.status) << c.text;
  }
  // Groups without an address, and text that is no report, name nobody.
  EXPECT_TRUE(ParseDeliveryStatus("Reporting-MTA: dns; x\n\nAction: failed\nStatus: 5.1.1\n").empty());
  EXPECT_TRUE(ParseDeliveryStatus("").empty());
  EXPECT_TRUE(ParseDeliveryStatus("Hello,\nyour mail could not be delivered.\n").empty());
}

TEST(DeliveryReportTest, OnlyAFailureForGoodCountsAsFailed) {
  struct Case {
    const char* action;
    const char* status;
    bool failed;
  };
  for (const Case& c : {
           Case{"failed", "5.1.1", true},    Case{"failed", "", true},       Case{"failed", "4.4.7", true},
           Case{"", "5.1.1", true},          Case{"", "4.2.2", false},       Case{"", "", false},
           Case{"delayed", "5.1.1", false},  Case{"delayed", "4.2.1", false}, Case{"relayed", "2.0.0", false},
           Case{"delivered", "", false},     Case{"expanded", "5.0.0", false},
       }) {
    ReportedRecipient r{"a@x.test", c.action, c.status};
    EXPECT_EQ(r.Failed(), c.failed) << c.action << " " << c.status;
  }
}

TEST(DeliveryReportTest, DelayWarningsAreKnownByTheirSubject) {
  for (const char* delay : {"Delayed Mail (still being retried)", "Warning: message 1abcDE-000Fg1-2h delayed 24 hours",
                            "Warning: could not send message for past 4 hours",
                            "Delivery Status Notification (Delay)", "Delivery delayed:Club news"}) {
    EXPECT_TRUE(IsDelayNoticeSubject(delay)) << delay;
  }
  for (const char* bounce : {"Undelivered Mail Returned to Sender", "Mail delivery failed: returning message to sender",
                             "Returned mail: see transcript for details", "Delivery Status Notification (Failure)",
                             "Undeliverable: Club news", "Warning: message about the delayed train", ""}) {
    EXPECT_FALSE(IsDelayNoticeSubject(bounce)) << bounce;
  }
}

TEST(DeliveryReportTest, UnknownAddressRefusalsAreTheFiveAddressStatuses) {
  struct Case {
    const char* reply;
    bool unknown;
  };
  for (const Case& c : {
           Case{"550 5.1.1 <dead@example.test>: Recipient address rejected: User unknown", true},
           Case{"550-5.1.1 The email account that you tried to reach does not exist. 550 5.1.1 more", true},
           Case{"553 5.1.2 bad destination system", true},
           Case{"550 5.1.3 bad destination mailbox address syntax", true},
           Case{"551 5.1.6 mailbox has moved", true},
           Case{"550 5.1.10 RESOLVER.ADR.RecipientNotFound", true},
           Case{"550 5.1.0 sender rejected", false},
           Case{"550 5.7.1 relaying denied", false},
           Case{"552 5.2.2 mailbox full", false},
           Case{"450 4.1.1 try later", false},
           Case{"550 5.1.11 something else", false},
           Case{"550 User unknown", false},                        // no enhanced status
           Case{"MAIL FROM: 550 5.1.1 sender unknown", false},    // a failed step, not a recipient's reply
           Case{"RCPT TO <a@b>: 550 5.1.1 unknown", false},
           Case{"", false},
       }) {
    EXPECT_EQ(IsUnknownAddressReply(c.reply), c.unknown) << c.reply;
  }
}

}  // namespace
}  // namespace kelmora
