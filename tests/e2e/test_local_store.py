# SPDX-License-Identifier: GPL-3.0-or-later
"""The local mail store end to end: Dovecot's delivery agent fills a
Maildir, the default profile of a program folder is a link to it, and
build/kelmora --once forwards through the store, by SMTP to the recording
server or by a recording sendmail script. Dovecot's IMAP view of the same
Maildir is checked afterwards."""

import imaplib
import os
import shutil
import tempfile
import unittest

import harness
from dovecot import MAIL_GID, MAIL_UID
from mail_world import attachments_of, decoded_body, decoded_subject, header_of, japanese_message
from smtp_recorder import SmtpRecorder
from store_world import StoreWorld


def post_with_attachment():
    return japanese_message("taro@example.test", "club@example.test", "[club] 春の撮影会",
                            "桜の下で集合です。\n地図を添付します。", from_name="山田太郎",
                            to_name="さくら写真クラブ", attachments=[("地図.txt", "駅から北へ５分".encode("utf-8"))])


def stranger_post():
    return japanese_message("stranger@example.test", "club@example.test", "こんにちは", "宣伝です",
                            from_name="知らない人")


def imap_view(w):
    """(subject, flags) of every message in INBOX, as Dovecot's IMAP sees it."""
    # The program ran as another user than the mail user: hand the files
    # back first, as a shared setup would by group rights.
    for root, dirs, files in os.walk(w.dovecot.home("club")):
        for n in dirs + files:
            os.lchown(os.path.join(root, n), MAIL_UID, MAIL_GID)
    conn = imaplib.IMAP4("127.0.0.1", w.dovecot.imap_port, timeout=10)
    try:
        conn.login("club", "clubpw")
        typ, _ = conn.select("INBOX", readonly=True)
        assert typ == "OK"
        typ, data = conn.search(None, "ALL")
        view = []
        for num in data[0].split():
            typ, parts = conn.fetch(num, "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
            flags = parts[0][0].decode()
            view.append((decoded_subject(parts[0][1]), "\\Seen" in flags))
        return view
    finally:
        conn.logout()


class LocalStoreTest(unittest.TestCase):
    def test_forward_over_smtp_route_and_imap_agrees(self):
        smtp_dir = tempfile.mkdtemp(prefix="kelmora-smtp-")
        smtp = SmtpRecorder(smtp_dir)
        smtp.start()
        try:
            with StoreWorld("address = club@example.test\nname = さくら写真クラブ\nsmtp = 127.0.0.1:%d\n"
                            % smtp.port) as w:
                w.deliver(post_with_attachment())
                w.deliver(stranger_post())
                r = w.run("--no-wait")
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                sent = smtp.messages()
                self.assertEqual(len(sent), 1, w.main_log())
                self.assertEqual(sent[0]["mail_from"], "club@example.test")
                self.assertEqual(sorted(sent[0]["rcpt_tos"]), ["club@example.test", "hanako@example.test",
                                                               "jiro@example.test", "taro@example.test"])
                raw = sent[0]["content"]
                # This road's tag ends in ")]" without a blank of its own.
                self.assertEqual(decoded_subject(raw), "[club:0001(3)] 春の撮影会")
                self.assertIn("桜の下で集合です。", decoded_body(raw))
                # A text attachment goes out as text/plain with its charset.
                self.assertEqual(attachments_of(raw), [("地図.txt", "駅から北へ５分")])
                self.assertNotIn(b"hanako@example.test", raw.split(b"\r\n\r\n")[0])
                self.assertEqual(w.folder.read("Kelmora.ini").splitlines()[1], "1")
                # The post is deleted, the stranger's kept and seen; the
                # copy of what went out lies in .Sent.
                self.assertEqual(imap_view(w), [("こんにちは", True)])
                self.assertEqual(len(w.maildir_names(".Sent/cur")), 1)
                self.assertEqual(w.maildir_names(".Outbox/new") + w.maildir_names(".Outbox/cur"), [])
                # The owner is told of the one message no row took.
                [line] = w.main_log().splitlines()
                self.assertTrue(line.startswith(
                    "どのルールにも該当しなかった受信メール：差出人<stranger@example.test> 宛先<club@example.test> "
                    "件名「こんにちは」。メールストアに既読にして残しました。 at "), line)
                # Nothing unread is left: the next run sends nothing.
                r = w.run("--no-wait")
                self.assertEqual(r.returncode, 0)
                self.assertEqual(len(smtp.messages()), 1)
        finally:
            smtp.stop()
            shutil.rmtree(smtp_dir, ignore_errors=True)

    def test_forward_through_sendmail_command(self):
        with StoreWorld("address=club@example.test\nsendmail=SENDMAIL\n") as w:
            w.deliver(post_with_attachment())
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            calls = w.sendmail_calls()
            self.assertEqual(len(calls), 1, w.main_log())
            argv, message = calls[0]
            self.assertEqual(argv[:4], ["-i", "-f", "club@example.test", "--"])
            self.assertEqual(sorted(argv[4:]), ["club@example.test", "hanako@example.test", "jiro@example.test",
                                                "taro@example.test"])
            self.assertNotIn(b"X-Kelmora", message)
            self.assertEqual(decoded_subject(message), "[club:0001(3)] 春の撮影会")
            self.assertEqual(header_of(message, "Bcc"), None)
            self.assertEqual([n for n, _ in attachments_of(message)], ["地図.txt"])
            self.assertEqual(imap_view(w), [])

    def test_kill_between_send_and_deletion_posts_once(self):
        with StoreWorld("address=club@example.test\nsendmail=SENDMAIL\n") as w:
            w.deliver(post_with_attachment())
            w.control("KILL_AFTER")
            # With the waits on, the program sits in the wait after the send
            # when the kill comes.
            r = w.run()
            self.assertEqual(r.returncode, -9, r.stderr.decode())
            self.assertEqual(len(w.sendmail_calls()), 1)
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertEqual(len(w.sendmail_calls()), 1, "the post went out twice")
            # The message was acted on: kept (its deletion never ran), seen.
            self.assertEqual(imap_view(w), [("[club] 春の撮影会", True)])
            self.assertEqual(w.folder.read("Kelmora.ini").splitlines()[1], "1")


if __name__ == "__main__":
    harness.main()
