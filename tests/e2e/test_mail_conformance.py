# SPDX-License-Identifier: GPL-3.0-or-later
"""Every kind of mail Kelmora sends, read by independent readers: Python's
email package (default policy) must find no defect anywhere, and
SpamAssassin (local tests only, no network) must score a list post at 0 or
below. The mail is made by build/kelmora --once against a private Dovecot
(POP3) and a recording SMTP server."""

import email
import email.policy
import re
import shutil
import unittest

import harness
from mail_world import MailWorld, japanese_message, spam_report

LONG_SUBJECT = "さくら写真クラブの春の撮影会のお知らせと参加申し込みについてのご案内です（締切は来週）"
ATTACHMENT = "撮影会の集合場所と持ち物の一覧表（二〇二六年春季版・最終確定稿）.txt"

MASTER = """;one row for every kind of mail
1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,さくら写真クラブ,[club],,,,,,,処理する
2,one@example.test,members.txt,[one],members.txt,one@example.test,SMTP_SERVER,,[one],,,,ＴＯ転送,,,
3,info@example.test,,案内,,info@example.test,SMTP_SERVER,,,,,,自動応答,reply.txt,,
4,help@example.test,,ヘルプ,,help@example.test,SMTP_SERVER,,お返事です,,,,本文応答,reply.txt,,
5,join@example.test,members.txt,入会,,join@example.test,SMTP_SERVER,,,,,,新規登録,welcome.txt,members.txt,
6,vote@example.test,yoshiko@example.test,結果,,vote@example.test,SMTP_SERVER,,,,,,アンケート＋アドレス転送,,survey.txt,
7,files@example.test,yoshiko@example.test,資料,,files@example.test,SMTP_SERVER,,,,,,COMMAND,,,
"""
MEMBERS = "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n"
INI = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0,0,0,0,0,0\n"


def world():
    return MailWorld({"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": INI,
                      "reply.txt": "ご連絡ありがとうございます。\n担当より追ってご案内します。",
                      "welcome.txt": "ご入会ありがとうございます。", "survey.txt": "アンケート\n",
                      "資料.txt": "会場：市民会館\n集合：午前九時\n"}, kelmora_bin=harness.BIN)


def defects_of(raw):
    """Every defect the standard parser finds: in the message, its parts
    and each of their headers."""
    found = []
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    for part in msg.walk():
        found += ["%s: %r" % (part.get_content_type(), d) for d in part.defects]
        for name, value in part.items():
            found += ["%s: %r" % (name, d) for d in getattr(value, "defects", ())]
    return msg, found


class ConformanceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.world = world()
        w = cls.world.__enter__()
        try:
            text = "会場の地図と持ち物です。\r\n".encode("cp932")
            w.deliver_from("taro@example.test", japanese_message(
                "taro@example.test", "club@example.test", "[club] " + LONG_SUBJECT, "皆さん、撮影会のお知らせです。",
                from_name="山田太郎", attachments=[(ATTACHMENT, text)]))
            w.deliver_from("hanako@example.test", japanese_message(
                "hanako@example.test", "one@example.test", "[one] 一人ずつ届くお知らせ", "本文です。"))
            w.deliver_from("yoshiko@example.test", japanese_message(
                "yoshiko@example.test", "info@example.test", "ご案内ください", "よろしく"))
            w.deliver_from("yoshiko@example.test", japanese_message(
                "yoshiko@example.test", "help@example.test", "質問", "ヘルプ お願いします"))
            w.deliver_from("newbie@example.test", japanese_message(
                "newbie@example.test", "join@example.test", "入会希望", "password1\n"))
            w.deliver_from("yoshiko@example.test", japanese_message(
                "yoshiko@example.test", "vote@example.test", "結果を教えて", "お願いします"))
            w.deliver_from("yoshiko@example.test", japanese_message(
                "yoshiko@example.test", "files@example.test", "資料", "GetFile:資料.txt\n"))
            r = w.run()
            assert r.returncode == 0, r.stderr.decode()
            cls.sent = w.sent()
        except BaseException:
            w.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.world.__exit__(None, None, None)

    def by_recipient(self, address):
        found = [m for m in self.sent if address in m["rcpt_tos"]]
        self.assertTrue(found, "nothing sent to %s: %s" % (address, [m["rcpt_tos"] for m in self.sent]))
        return found

    def test_every_kind_of_mail_was_sent(self):
        # The post (list and members), two one-by-one copies, five replies.
        self.assertEqual(len(self.sent), 1 + 2 + 5, [m["rcpt_tos"] for m in self.sent])
        self.assertEqual(self.world.main_log(), "")

    def test_the_standard_parser_finds_no_defect(self):
        for m in self.sent:
            msg, found = defects_of(m["content"])
            self.assertEqual(found, [], "%s: %s" % (m["rcpt_tos"], msg["Subject"]))
            for line in m["content"].split(b"\r\n\r\n")[0].split(b"\r\n"):
                self.assertLessEqual(len(line), 78, line)
            for word in re.findall(rb"=\?[^?]+\?[BbQq]\?[^?]*\?=", m["content"].split(b"\r\n\r\n")[0]):
                self.assertLessEqual(len(word), 75, word)

    def test_the_post_reads_back_exactly(self):
        post = self.by_recipient("hanako@example.test")[0]
        msg, _ = defects_of(post["content"])
        self.assertEqual(str(msg["Subject"]), "[club:0001(2)]  " + LONG_SUBJECT)
        self.assertEqual(str(msg["To"]), "さくら写真クラブ:;")
        self.assertEqual(msg["To"].groups[0].display_name, "さくら写真クラブ")
        [attachment] = list(msg.iter_attachments())
        self.assertEqual(attachment.get_filename(), ATTACHMENT)
        self.assertEqual(attachment.get_content_type(), "text/plain")
        self.assertEqual(attachment.get_content_charset(), "shift_jis")
        self.assertEqual(str(msg["List-Id"]), "<club.example.test>")
        self.assertEqual(str(msg["Precedence"]), "list")

    def test_replies_are_marked_and_threaded(self):
        for address in ("yoshiko@example.test", "newbie@example.test"):
            for m in self.by_recipient(address):
                msg, _ = defects_of(m["content"])
                self.assertEqual(str(msg["Auto-Submitted"]), "auto-replied", msg["Subject"])
                self.assertRegex(str(msg["In-Reply-To"]), r"^<[^<>\s]+@sender\.test>$")
                self.assertEqual(str(msg["References"]), str(msg["In-Reply-To"]))
                self.assertIsNone(msg["List-Id"])
        [help_reply] = [m for m in self.by_recipient("yoshiko@example.test")
                        if str(defects_of(m["content"])[0]["Subject"]) == "お返事です"]
        self.assertTrue(help_reply)

    @unittest.skipUnless(shutil.which("spamassassin"), "SpamAssassin is not installed (scripts/setup.sh installs it)")
    def test_spam_filter_scores_a_list_post_at_zero_or_below(self):
        post = self.by_recipient("taro@example.test")[0]["content"]
        score, positive, report = spam_report(post)
        self.assertLessEqual(score, 0.0, report)
        # No rule about the message itself scored: only the made-up hop's trust may count.
        self.assertEqual(positive, [], report)


if __name__ == "__main__":
    harness.main()
