# SPDX-License-Identifier: GPL-3.0-or-later
"""The mailing list end to end: build/kelmora --once against a private
Dovecot (POP3) and a recording SMTP server."""

import os
import re
import unittest

import harness
from mail_world import MailWorld, attachments_of, decoded_body, decoded_subject, header_of, japanese_message

MASTER = """;list, auto reply, auto save, junk, bounces
1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,
2,info@example.test,,案内,,info@example.test,SMTP_SERVER,,,,,,自動応答,reply.txt,,
3,save@example.test,members.txt,議事録,,save@example.test,SMTP_SERVER,,,,,,自動保存,minutes.txt,,
4,*,,未承諾広告,,,,,,,,ウイルスメール自動削除,,,,
5,club@example.test,mailer-daemon@example.test,,,,,,,,,,不配削除,,members.txt,
"""
MEMBERS = "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n3,jiro@example.test,pw3\n"
UNDELIVERY = "; bounce notices of the test server\nUser unknown\n<,>\n"
INI = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0,0,0,0\n"


def world(**smtp_options):
    return MailWorld({"Master.txt": MASTER, "members.txt": MEMBERS, "UnDelivery.txt": UNDELIVERY,
                      "reply.txt": "クラブのご案内です。\n毎月第二土曜日に集まります。", "minutes.txt": "（まだありません）",
                      "Kelmora.ini": INI}, kelmora_bin=harness.BIN, **smtp_options)


class MailingListTest(unittest.TestCase):
    def run_once(self, w, status=0):
        """One check; 3 when it logs a failure."""
        r = w.run()
        self.assertEqual(r.returncode, status, r.stderr.decode())
        return r

    def test_post_reaches_every_member_and_the_number_advances(self):
        with world() as w:
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 春の撮影会", "桜の下で集合"))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 1)
            self.assertEqual(sorted(sent[0]["rcpt_tos"]),
                             ["club@example.test", "hanako@example.test", "jiro@example.test", "taro@example.test"])
            raw = sent[0]["content"]
            self.assertEqual(decoded_subject(raw), "[club:0001(3)]  春の撮影会")
            self.assertIn("桜の下で集合", decoded_body(raw))
            self.assertIsNone(header_of(raw, "Bcc"))
            self.assertNotIn(b"hanako@example.test", raw.split(b"\r\n\r\n")[0])
            self.assertEqual(w.read("Kelmora.ini").splitlines()[1], "1,0,0,0,0")
            self.assertEqual(w.mailbox(), [])

            # The next post gets the next number; the previous one was saved.
            w.deliver(japanese_message("hanako@example.test", "club@example.test",
                                       "Re: [club:0001(3)] 春の撮影会", "参加します"))
            self.run_once(w)
            self.assertEqual(decoded_subject(w.sent()[1]["content"]), "[club:0002(3)] Re:  春の撮影会")
            self.assertEqual(w.read("Kelmora.ini").splitlines()[1], "2,0,0,0,0")

    def test_post_from_a_stranger_is_not_forwarded(self):
        with world() as w:
            w.deliver(japanese_message("stranger@example.test", "club@example.test", "[club] hi", "spam"))
            self.run_once(w)
            self.assertEqual(w.sent(), [])
            # Kept as it came, beside its readable form, since no row took it.
            files = w.received_files()
            self.assertEqual([f[-4:] for f in files], [".eml", ".txt"], files)
            self.assertIn(b"Subject:", open(w.path("log/receive/" + files[0]), "rb").read())
            text = w.read("log/receive/" + files[1])
            self.assertTrue(text.startswith("宛先：\"\" <club@example.test>\r\n差出人：\"\" <stranger@example.test>\r\n件名：[club] hi\r\n"), text)

    def test_auto_reply_answers_the_sender(self):
        with world() as w:
            w.deliver(japanese_message("yoshiko@example.test", "info@example.test", "ご案内ください", "よろしく",
                                       from_name="佐藤良子"))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 1)
            self.assertEqual(sent[0]["rcpt_tos"], ["yoshiko@example.test"])
            self.assertEqual(sent[0]["mail_from"], "info@example.test")
            self.assertIn("毎月第二土曜日に集まります。", decoded_body(sent[0]["content"]))

    def test_auto_save_keeps_a_time_stamped_copy(self):
        with world() as w:
            w.write("minutes.txt", "前回の議事録\n")
            w.deliver(japanese_message("taro@example.test", "save@example.test", "今月の議事録", "決定事項：会費は年千円"))
            self.run_once(w)
            # The body as received (with its own last line break), then the CR LF every write adds.
            self.assertRegex(w.read("minutes.txt"), r"^決定事項：会費は年千円(\r\n)+$")
            copies = [n for n in os.listdir(w.folder) if re.fullmatch(r"\d{14}minutes\.txt", n)]
            self.assertEqual(len(copies), 1, os.listdir(w.folder))
            self.assertEqual(w.read(copies[0]), "前回の議事録\r\n")
            self.assertEqual(w.sent(), [])

    def test_junk_with_attachment_and_no_subject_is_deleted(self):
        with world() as w:
            w.deliver(japanese_message("junk@spam.test", "anyone@example.test", None, "open it",
                                       attachments=[("invoice.exe", b"MZ\x90\x00")]))
            self.run_once(w)
            self.assertEqual(w.sent(), [])
            self.assertEqual(w.received_files(), [], "message and attachment files are gone")
            self.assertEqual(w.mailbox(), [])

    def test_bounce_removes_the_address_and_logs_it(self):
        with world() as w:
            bounce = ("Mail Delivery Subsystem\n\nThe following address failed: User unknown\n"
                      "  <jiro@example.test>\n")
            w.deliver(japanese_message("mailer-daemon@example.test", "club@example.test", "Returned mail", bounce))
            self.run_once(w)
            self.assertNotIn("jiro@example.test", w.read("members.txt"))
            self.assertIn("taro@example.test", w.read("members.txt"))
            log = w.read("log/UnDeliveryLog.txt")
            self.assertRegex(log, r"^jiro@example\.test,\d{8}-\d{6}、members\.txtから削除しました。\r\n$")
            self.assertEqual(w.received_files(), [])

            # The same bounce again: the address is gone, so removal fails and the message stays.
            w.deliver(japanese_message("mailer-daemon@example.test", "club@example.test", "Returned mail", bounce))
            self.run_once(w)
            self.assertIn("jiro@example.test,", w.read("log/UnDeliveryLog.txt").splitlines()[1])
            self.assertIn("members.txtからの削除に失敗しました。（登録されていない等）",
                          w.read("log/UnDeliveryLog.txt").splitlines()[1])
            self.assertEqual(len(w.received_files()), 1)

    def test_refused_send_sets_the_message_aside_and_the_next_cycle_goes_on(self):
        with world(fail_data=554) as w:
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 落ちる投稿", "本文"))
            self.run_once(w, status=3)
            files = w.received_files()
            self.assertEqual(len([f for f in files if f.endswith("Error.txt")]), 1, files)
            self.assertIn("ＢＣＣでの転送エラー：", w.main_log())
            self.assertIn("Master.txtの1行目の処理", w.main_log())
            # The number was used, so it stays used.
            self.assertEqual(w.read("Kelmora.ini").splitlines()[1], "1,0,0,0,0")

            w.smtp.fail_data = None
            w.deliver(japanese_message("hanako@example.test", "club@example.test", "[club] 次の投稿", "本文2"))
            self.run_once(w)
            subjects = [decoded_subject(m["content"]) for m in w.sent()]
            self.assertEqual(subjects, ["[club:0002(3)]  次の投稿"])

    def test_attachments_are_forwarded_when_the_row_says_so(self):
        master = MASTER.replace("1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,",
                                "1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,処理する")
        with world() as w:
            w.write("Master.txt", master)
            data = bytes(range(256)) * 40
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 写真", "添付します",
                                       attachments=[("写真.bin", data)]))
            self.run_once(w)
            self.assertEqual(attachments_of(w.sent()[0]["content"]), [("写真.bin", data)])
            self.assertEqual(w.received_files(), [], "attachment files are removed after the send")

    def test_unreachable_pop3_server_is_logged_and_the_next_cycle_fetches(self):
        with world() as w:
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 待っていた投稿", "本文"))
            good = w.read("Kelmora.ini")
            w.write("Kelmora.ini", good.replace(w.pop3_server, "127.0.0.1:9"))
            self.run_once(w, status=3)
            self.assertIn("RcvMailの戻り値異常<127.0.0.1:9>:", w.main_log())
            self.assertEqual(len(w.mailbox()), 1, "nothing was lost on the server")
            w.write("Kelmora.ini", good)
            self.run_once(w)
            self.assertEqual(len(w.sent()), 1)
            self.assertEqual(w.mailbox(), [])


if __name__ == "__main__":
    harness.main()
