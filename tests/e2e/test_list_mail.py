# SPDX-License-Identifier: GPL-3.0-or-later
"""List mail in a hostile mail world, end to end: build/kelmora --once
against a private Dovecot (POP3) and a recording SMTP server. What Kelmora
sends is carried back into the list's mailbox as a mail server would, and
members' naive vacation responders answer every post, so loops show."""

import re
import unittest
from email.utils import make_msgid

import harness
from mail_world import MailWorld, decoded_body, decoded_subject, header_of, japanese_message

# Two body-reply rows whose texts name each other's keyword in their first
# line (so each would answer the other's reply, "Fw:Fw:..." for ever), a list forwarded one by
# one, a list forwarded as blind copies with a removal row, a bounce row.
MASTER = """;mail that behaves well
1,alpha@example.test,,案内,,alpha@example.test,SMTP_SERVER,,,,,,本文応答,alpha.txt,,
2,beta@example.test,,案内,,beta@example.test,SMTP_SERVER,,,,,,本文応答,beta.txt,,
3,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,ＴＯ転送,,,
4,news@example.test,members.txt,[news],members.txt,news@example.test,SMTP_SERVER,,[news],,,,,,,
5,leave@example.test,members.txt,退会,,leave@example.test,SMTP_SERVER,,,,,,既存削除,bye.txt,members.txt,
6,news@example.test,mailer-daemon@example.test,,,,,,,,,,不配削除,,members.txt,
"""
MEMBERS = "1,m1@example.test,pw1\n2,m2@example.test,pw2\n"
UNDELIVERY = "User unknown\n<,>\n"
INI = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0,0,0,0,0\n"
HANDLED_HERE = {"alpha@example.test", "beta@example.test", "club@example.test", "news@example.test",
                "leave@example.test"}


def world():
    return MailWorld({"Master.txt": MASTER, "members.txt": MEMBERS, "UnDelivery.txt": UNDELIVERY,
                      "alpha.txt": "案内：アルファの自動応答です。", "beta.txt": "案内：ベータの自動応答です。",
                      "bye.txt": "退会しました。", "Kelmora.ini": INI}, kelmora_bin=harness.BIN)


def vacation_reply(member, post):
    """What a naive vacation responder of `member` sends back for `post`:
    to the post's sender, with the post's subject, marked as automatic."""
    subject = decoded_subject(post)
    sender = re.sub(r".*<|>.*", "", str(header_of(post, "From")))
    raw = japanese_message(member, sender, "不在: " + subject, "ただいま休暇中です。")
    return b"Auto-Submitted: auto-replied\r\n" + raw


class ListMailTest(unittest.TestCase):
    def run_once(self, w):
        r = w.run()
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def carry_back(self, w, messages):
        """Delivers what Kelmora sent to its own addresses into its mailbox."""
        for m in messages:
            if any(r in HANDLED_HERE for r in m["rcpt_tos"]):
                w.deliver_from(m["mail_from"], m["content"])

    def test_two_auto_responders_stop_after_one_reply(self):
        with world() as w:
            w.deliver_from("beta@example.test", japanese_message("beta@example.test", "alpha@example.test", "こんにちは", "案内をください"))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 1)
            self.assertEqual(sent[0]["rcpt_tos"], ["beta@example.test"])
            self.assertEqual(str(header_of(sent[0]["content"], "Auto-Submitted")), "auto-replied")
            self.assertEqual(sent[0]["mail_from"], "alpha@example.test", "the envelope sender stays the row's")

            self.carry_back(w, sent)
            for _ in range(3):  # the loop would go on every cycle
                self.run_once(w)
                self.carry_back(w, w.sent()[len(sent):])
            self.assertEqual(len(w.sent()), 1, [decoded_subject(m["content"]) for m in w.sent()])
            self.assertIn("自動送信メールには応答しません<alpha@example.test>:Auto-Submitted: auto-replied", w.main_log())
            # Nothing lost: the stopped reply is kept as it came, beside its readable form.
            files = w.received_files()
            self.assertEqual([f[-4:] for f in files], [".eml", ".txt"], files)
            self.assertIn("アルファの自動応答です。", w.read("log/receive/" + files[1]))
            self.assertEqual(w.mailbox(), [])

    def test_vacation_responders_on_a_one_by_one_list_stop_within_one_cycle(self):
        with world() as w:
            w.deliver_from("m1@example.test", japanese_message("m1@example.test", "club@example.test", "[club] 春の例会", "集まりましょう"))
            self.run_once(w)
            posts = w.sent()
            self.assertEqual(sorted(m["rcpt_tos"][0] for m in posts), ["m1@example.test", "m2@example.test"])
            for post in posts:
                raw = post["content"]
                self.assertEqual(str(header_of(raw, "List-Id")), "<club.example.test>")
                self.assertEqual(str(header_of(raw, "List-Post")), "<mailto:club@example.test>")
                self.assertEqual(str(header_of(raw, "List-Unsubscribe")),
                                 "<mailto:leave@example.test?subject=%e9%80%80%e4%bc%9a>")
                self.assertEqual(str(header_of(raw, "X-Loop")), "club@example.test")
                self.assertEqual(str(header_of(raw, "Precedence")), "list")
                self.assertIsNone(header_of(raw, "Auto-Submitted"))

            for post in posts:  # each member's responder answers the list
                member = post["rcpt_tos"][0]
                w.deliver_from(member, vacation_reply(member, post["content"]))
            self.run_once(w)
            self.assertEqual(len(w.sent()), 2, "no vacation reply went to the list")
            log = w.main_log()
            for member in ("m1@example.test", "m2@example.test"):
                self.assertIn("自動送信メールは転送しません<%s>:Auto-Submitted: auto-replied" % member, log)
            self.assertEqual(len(w.received_files()), 4, "both replies kept, whole and readable")

    def test_posts_through_the_list_show_the_list_headers(self):
        with world() as w:
            w.deliver_from("m1@example.test", japanese_message("m1@example.test", "news@example.test", "[news] お知らせ", "本文"))
            # Mail from another list is still forwarded: lists can be chained.
            chained = japanese_message("m2@example.test", "news@example.test", "[news] 他のリストから", "転送")
            w.deliver_from("other-bounces@example.test",
                           b"List-Id: <other.example.test>\r\nPrecedence: list\r\nX-Loop: other@example.test\r\n" + chained)
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 2)
            raw = sent[0]["content"]
            self.assertEqual(sorted(sent[0]["rcpt_tos"]), ["m1@example.test", "m2@example.test", "news@example.test"])
            self.assertEqual(str(header_of(raw, "List-Id")), "<news.example.test>")
            self.assertEqual(str(header_of(raw, "List-Post")), "<mailto:news@example.test>")
            self.assertEqual(str(header_of(raw, "List-Unsubscribe")), "<mailto:leave@example.test?subject=%e9%80%80%e4%bc%9a>")
            self.assertEqual(str(header_of(raw, "X-Loop")), "news@example.test")
            self.assertEqual(str(header_of(raw, "Precedence")), "list")
            self.assertEqual(decoded_subject(sent[1]["content"]), "[news:0002(2)]  他のリストから")

            # A post that comes back to the list (a member's program resent
            # it as it was) is not sent again.
            w.deliver_from("m2@example.test", raw.replace(b"From: news@example.test", b"From: m2@example.test"))
            self.run_once(w)
            self.assertEqual(len(w.sent()), 2)
            self.assertIn("このリストを通ったメールは再び転送しません<m2@example.test>:X-Loop: news@example.test",
                          w.main_log())

    def test_a_person_gets_one_reply_a_day_threaded_to_the_request(self):
        with world() as w:
            first_id = make_msgid(domain="sender.test")
            request = japanese_message("yoshiko@example.test", "alpha@example.test", "ご案内", "よろしく")
            request = request.replace(b"Message-ID: ", b"X-Old-Message-ID: ")
            w.deliver_from("yoshiko@example.test", b"Message-ID: " + first_id.encode() + b"\r\n" + request)
            w.deliver_from("yoshiko@example.test", japanese_message("yoshiko@example.test", "alpha@example.test", "ご案内 再送", "まだですか"))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 1)
            raw = sent[0]["content"]
            self.assertEqual(sent[0]["rcpt_tos"], ["yoshiko@example.test"])
            self.assertIn("アルファの自動応答です。", decoded_body(raw))
            self.assertEqual(str(header_of(raw, "In-Reply-To")), first_id)
            self.assertEqual(str(header_of(raw, "References")), first_id)
            self.assertEqual(str(header_of(raw, "Auto-Submitted")), "auto-replied")
            self.assertIsNone(header_of(raw, "List-Id"))
            self.assertIn("同じ差出人には24時間に1回しか応答しません<yoshiko@example.test>", w.main_log())
            self.assertEqual(len(w.received_files()), 2, "the second request is kept, whole and readable")

            # Another cycle the same day: still nothing for her, but others are answered.
            w.deliver_from("yoshiko@example.test", japanese_message("yoshiko@example.test", "alpha@example.test", "ご案内", "三度目"))
            w.deliver_from("ken@example.test", japanese_message("ken@example.test", "alpha@example.test", "ご案内", "初めて"))
            self.run_once(w)
            self.assertEqual([m["rcpt_tos"] for m in w.sent()[1:]], [["ken@example.test"]])

    def test_a_bounce_still_removes_the_member(self):
        with world() as w:
            bounce = japanese_message("mailer-daemon@example.test", "news@example.test", "Returned mail",
                                      "The following address failed: User unknown\n  <m2@example.test>\n")
            w.deliver_from("", b"Auto-Submitted: auto-replied\r\n" + bounce)
            self.run_once(w)
            self.assertNotIn("m2@example.test", w.read("members.txt"))
            self.assertIn("m1@example.test", w.read("members.txt"))
            self.assertRegex(w.read("log/UnDeliveryLog.txt"), r"^m2@example\.test,\d{8}-\d{6}、members\.txtから削除しました。")
            self.assertEqual(w.sent(), [])
            self.assertEqual(w.received_files(), [])


if __name__ == "__main__":
    harness.main()
