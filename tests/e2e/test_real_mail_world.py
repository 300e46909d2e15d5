# SPDX-License-Identifier: GPL-3.0-or-later
"""Kelmora beside a real Postfix, as a list owner runs it: Postfix delivers
the list's mail into the local store's Maildir, Kelmora sends through
Postfix's own sendmail (and one list over SMTP to a Postfix that refuses
bare greeting names), members' copies land in Postfix's mailboxes, dead
addresses bounce as Postfix writes bounces, and a delayed recipient gets
Postfix's delay warning. A second world fetches over POP3 from Dovecot and
submits with SASL through Dovecot, with a full-address user name.

Every server is private: own folders, free ports on 127.0.0.1, started and
stopped here. Nothing of the system's mail setup is touched."""

import email
import email.policy
import os
import shutil
import smtplib
import tempfile
import time
import unittest
from email.header import Header
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate, make_msgid

import harness
from dovecot import Dovecot
from mail_world import decoded_body, decoded_subject, header_of, spam_report
from postfix import Postfix
from smtp_recorder import SmtpRecorder

PROFILE = "メイン ユーザー"
EXACT = "波〜ダッシュ−マイナス📷①髙"
JIS_EXACT = "波〜ダッシュ−マイナス"  # what ISO-2022-JP can carry of it
UNDELIVERY = "The mail system\n<,>\n"
BYE = "退会しました。\n"
MEMBERS = "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n3,jiro@example.test,pw3\n"


def message(sender, to, subject, body, cc=None, charset="utf-8", headers=()):
    msg = MIMEText(body, "plain", charset)
    msg["From"] = sender
    msg["To"] = to
    if cc:
        msg["Cc"] = cc
    msg["Subject"] = subject
    msg["Date"] = formatdate(localtime=True)
    msg["Message-ID"] = make_msgid(domain="sender.test")
    for name, value in headers:
        msg[name] = value
    return msg.as_bytes()


def by_subject(raws):
    return {decoded_subject(r): r for r in raws}


def parsed(raw):
    return email.message_from_bytes(raw, policy=email.policy.default)


def wait_until(predicate, timeout=60.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("waited %.0f s for %s" % (timeout, what))
        time.sleep(0.2)


def skip_without_postfix():
    why = Postfix.available()
    if why:
        raise unittest.SkipTest(why)


class StoreRoadThroughPostfix(unittest.TestCase):
    """The store road: Postfix delivers into the store, Kelmora sends
    through Postfix's sendmail; the team list goes over SMTP."""

    @classmethod
    def setUpClass(cls):
        skip_without_postfix()
        cls.record_dir = tempfile.mkdtemp(prefix="kelmora-slow-")
        cls.slow = SmtpRecorder(cls.record_dir, defer=["slow@slow.test"])
        cls.mx = Postfix(delay_warning="1s")
        cls.folder = None
        try:
            cls.slow.start()
            cls.store = cls.mx.add_mailbox("club@example.test")
            cls.mx.add_mailbox("team@example.test", cls.store)
            for member in ("taro", "hanako", "jiro"):
                cls.mx.add_mailbox(member + "@example.test")
            cls.mx.route_domain("slow.test", cls.slow.port)
            cls.smtp_port = cls.mx.add_smtpd()
            cls.strict_port = cls.mx.add_smtpd(helo_restrictions="reject_non_fqdn_helo_hostname")
            cls.mx.start()
            master = (
                "1,club@example.test,members.txt,[club],members.txt,,,,[club],,,,,,,\n"
                "2,club@example.test,mailer-daemon@example.test,,,,,,,,,,不配削除,,members.txt,\n"
                "3,club-leave@example.test,members.txt,退会,,,,,,,,,既存削除,bye.txt,members.txt,\n"
                "4,team@example.test,team.txt,[team],team.txt,team@example.test,127.0.0.1:%d,,[team],,,,,,,\n"
                "5,team@example.test,mailer-daemon@example.test,,,,,,,,,,不配削除,,team.txt,\n" % cls.strict_port)
            cls.folder = harness.ProgramFolder({
                "Master.txt": master, "members.txt": MEMBERS, "UnDelivery.txt": UNDELIVERY, "bye.txt": BYE,
                "team.txt": "1,taro@example.test,pw1\n2,dead3@example.test,pw2\n",
                # The default profile; delete after processing; no busy window.
                "Kelmora.ini": PROFILE + ",,1,0,1,1,0,0,9,10\n0,0,0,0,0\n"})
            os.makedirs(cls.folder.file("mailstore"))
            os.symlink(cls.store, cls.folder.file("mailstore/" + PROFILE))
            cls.folder.write("mailstore/%s/profile.ini" % PROFILE, "sendmail = %s\n" % cls.mx.sendmail_command)
            cls.world_of_posts()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.mx.stop()
        cls.slow.stop()
        shutil.rmtree(cls.record_dir, ignore_errors=True)
        if cls.folder:
            cls.folder.cleanup()

    # ---- the world's mail ----

    @classmethod
    def post(cls, raw, rcpt="club@example.test"):
        """Hands a member's mail to Postfix over SMTP, as the member's server would."""
        with smtplib.SMTP("127.0.0.1", cls.smtp_port, local_hostname="mail.sender.test", timeout=30) as s:
            s.sendmail(parsed(raw)["From"].addresses[0].addr_spec, [rcpt], raw)

    @classmethod
    def run_kelmora(cls, status=0):
        """One check; status 3 when it logs a failure."""
        r = harness.run_kelmora(cls.folder, "--once", "--no-wait")
        assert r.returncode == status, r.stderr.decode(errors="replace") + cls.main_log()

    @classmethod
    def box(cls, member):
        return Postfix.messages(cls.mx.maildir_of(member + "@example.test"))

    @classmethod
    def store_files(cls, subject_part):
        """(path, bytes) of the store's messages whose text holds `subject_part`."""
        found = []
        for sub in ("new", "cur"):
            for name in os.listdir(os.path.join(cls.store, sub)):
                path = os.path.join(cls.store, sub, name)
                with open(path, "rb") as f:
                    data = f.read()
                if subject_part.encode() in data:
                    found.append((path, data))
        return found

    @classmethod
    def world_of_posts(cls):
        cls.post(message("taro@example.test", "club@example.test", "[club] 春の撮影会", EXACT + "\n"))
        cls.post(message("hanako@example.test", "friend@other.test", "Re: 集合場所", "全員へ返信です。\n",
                         cc=formataddr((str(Header("さくら写真クラブ", "utf-8")), "club@example.test"))))
        cls.post(message("jiro@EXAMPLE.TEST", "club@Example.Test", "大文字のドメイン", "届きますか。\n"))
        cls.post(message("stranger@other.test", "club@example.test", "宣伝です📷", "お得な情報 📷\n"))
        cls.post(message("taro@example.test", "club@example.test", "Re: [club:0001(3)] 春の撮影会", "返信です。\n",
                         headers=[("In-Reply-To", "<p1@example.test>"), ("References", "<p0@example.test>")]))
        cls.post(message("hanako@example.test", "club@example.test", "JISの投稿", JIS_EXACT + "\n",
                         charset="iso-2022-jp"))
        cls.post(message("taro@example.test", "team@example.test", "[team] 練習日", "土曜日です。\n"),
                 rcpt="team@example.test")
        cls.mx.wait_for_mail(cls.store, 7)
        cls.run_kelmora(status=3)  # the strict server's refusal of dead3 is logged
        for member, count in (("taro", 6), ("hanako", 5), ("jiro", 5)):
            cls.mx.wait_for_mail(cls.mx.maildir_of(member + "@example.test"), count)
        cls.first_log = cls.main_log()
        cls.first_undelivery = cls.undelivery_log()

    @classmethod
    def main_log(cls):
        return cls.folder.read("log/Kelmoralog.txt") if cls.folder.exists("log/Kelmoralog.txt") else ""

    @classmethod
    def undelivery_log(cls):
        return cls.folder.read("log/UnDeliveryLog.txt") if cls.folder.exists("log/UnDeliveryLog.txt") else ""

    def set_members(self, text):
        self.folder.write("members.txt", text)

    # ---- posts ----

    def posts_of(self, member):
        """A member's list posts by their subject without the tag."""
        return {s.split("]", 1)[1].strip(): raw for s, raw in by_subject(self.box(member)).items()
                if s.startswith("[club:")}

    def test_every_post_reaches_every_member_with_its_exact_characters(self):
        # Cc to the list, the domain in capitals, a reply, ISO-2022-JP: all go out;
        # the stranger's post does not.
        wanted = {"春の撮影会", "Re: 集合場所", "大文字のドメイン", "Re:  春の撮影会", "JISの投稿"}
        for member in ("taro", "hanako", "jiro"):
            posts = self.posts_of(member)
            self.assertEqual(set(posts), wanted, member)
            self.assertEqual(decoded_body(posts["春の撮影会"]).splitlines()[0], EXACT)
            self.assertEqual(decoded_body(posts["JISの投稿"]).splitlines()[0], JIS_EXACT)

    def test_a_forwarded_reply_keeps_its_thread(self):
        reply = self.posts_of("hanako")["Re:  春の撮影会"]
        self.assertEqual(str(header_of(reply, "In-Reply-To")), "<p1@example.test>")
        self.assertEqual(str(header_of(reply, "References")).split(), ["<p0@example.test>", "<p1@example.test>"])
        # The unsubscribe address carries the Japanese keyword in lower-case hex.
        self.assertEqual(str(header_of(reply, "List-Unsubscribe")),
                         "<mailto:club-leave@example.test?subject=%e9%80%80%e4%bc%9a>")

    def test_a_post_nobody_may_send_is_logged_and_kept_whole_in_the_store(self):
        lines = [line for line in self.first_log.splitlines() if "宣伝です" in line]
        self.assertEqual(len(lines), 1, self.first_log)
        self.assertIn("差出人<stranger@other.test>", lines[0])
        self.assertIn("宛先<club@example.test>", lines[0])
        self.assertIn("件名「宣伝です?」", lines[0])  # the log is a code page 932 file; the message keeps 📷
        self.assertIn("メールストアに既読にして残しました", lines[0])
        [(path, data)] = self.store_files("stranger@other.test")
        self.assertTrue(path.endswith(",S") or ":2,S" in path, path)
        self.assertEqual(decoded_body(data), "お得な情報 📷\n")
        # Only that message needed a word (and the refusal of the team's dead
        # member, where it happened).
        others = [line for line in self.first_log.splitlines()
                  if "宣伝です" not in line and "SendMailの宛先エラー<dead3@example.test>" not in line]
        self.assertEqual(others, [], self.first_log)

    def test_smtp_list_greets_a_strict_server_with_a_full_name_and_drops_a_refused_member(self):
        [team] = [raw for s, raw in by_subject(self.box("taro")).items() if s.startswith("[team:")]
        self.assertIn("練習日", decoded_subject(team))
        self.assertNotIn("Helo command rejected", self.mx.log_text())
        self.assertIn("dead3@example.test", self.first_undelivery)
        self.assertIn("team.txtから削除しました。", self.first_undelivery)
        self.assertNotIn("dead3@example.test", self.folder.read("team.txt"))

    # ---- bounces, run after the posts ----

    def test_z_bounces_and_delays(self):
        # One post to two dead addresses: Postfix returns one report naming both.
        self.set_members(MEMBERS + "4,dead1@example.test,pw4\n5,dead2@example.test,pw5\n")
        self.post(message("taro@example.test", "club@example.test", "死んだ宛先へ", "本文\n",
                          headers=[("X-Test", "dead-post")]))
        wait_until(lambda: self.store_files("X-Test: dead-post"), what="the post")
        self.run_kelmora()
        wait_until(lambda: self.store_files("Undelivered Mail Returned to Sender"), what="the bounce")
        self.run_kelmora()
        members = self.folder.read("members.txt")
        self.assertNotIn("dead1@example.test", members)
        self.assertNotIn("dead2@example.test", members)
        log = self.undelivery_log()
        for dead in ("dead1@example.test", "dead2@example.test"):
            self.assertIn(dead + ",", log)
        self.assertEqual(log.count("members.txtから削除しました。"), 2, log)
        self.assertEqual(self.store_files("Undelivered Mail Returned to Sender"), [], "the handled bounce is deleted")

        # A member whose server is only slow: Postfix warns, nobody leaves.
        self.set_members(self.folder.read("members.txt") + "6,slow@slow.test,pw6\n")
        self.post(message("taro@example.test", "club@example.test", "遅い宛先へ", "本文\n",
                          headers=[("X-Test", "slow-post")]))
        wait_until(lambda: self.store_files("X-Test: slow-post"), what="the post")
        self.run_kelmora()
        wait_until(lambda: self.store_files("Delayed Mail (still being retried)"), what="the delay warning")
        self.run_kelmora()
        self.assertIn("slow@slow.test", self.folder.read("members.txt"))
        self.assertNotIn("slow@slow.test", self.undelivery_log())
        self.assertIn("Delayed Mail (still being retried)", self.main_log(), "kept, and the owner told")


class PopRoadWithSaslSubmission(unittest.TestCase):
    """POP3 from Dovecot with the login in the account's URL, SMTP
    submission to Postfix with SASL through Dovecot, a full-address user
    name and a password holding "@"."""

    USER = "club@b.example.test"
    PASSWORD = "s3cret@pw"

    @classmethod
    def setUpClass(cls):
        skip_without_postfix()
        cls.dovecot = Dovecot(auth_socket=True)
        cls.mx = Postfix()
        cls.folder = None
        try:
            cls.dovecot.start()
            cls.dovecot.add_user(cls.USER, cls.PASSWORD)
            for address in ("club@example.test", "taro@example.test", "hanako@example.test"):
                cls.mx.add_mailbox(address)
            port = cls.mx.add_smtpd(sasl_socket=cls.dovecot.auth_socket_path)
            cls.mx.start()
            server = "smtp://%s:%s@127.0.0.1:%d" % (cls.USER, cls.PASSWORD, port)
            master = ("1,club@example.test,members.txt,[club],members.txt,club@example.test,%s,,[club],,,,,,,\n"
                      "2,club-leave@example.test,members.txt,退会,,club@example.test,%s,,,,,,既存削除,bye.txt,members.txt,\n"
                      % (server, server))
            account = "pop3://%s:%s@127.0.0.1:%d//" % (cls.USER, cls.PASSWORD, cls.dovecot.pop3_port)
            cls.folder = harness.ProgramFolder({
                "Master.txt": master, "members.txt": "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n",
                "bye.txt": BYE,
                "Kelmora.ini": ",,1,0,0,1,0,0,9,10," + account + "\n0,0\n"})
            cls.dovecot.deliver(cls.USER, message("taro@example.test", "club@example.test", "[club] 春の撮影会",
                                                  "集合は駅前です。\n"))
            cls.dovecot.deliver(cls.USER, message("stranger@other.test", "club@example.test", "宣伝です📷",
                                                  "お得な情報 📷\n"))
            r = harness.run_kelmora(cls.folder, "--once", "--no-wait")
            assert r.returncode == 0, r.stderr.decode(errors="replace")
            cls.posts = cls.mx.wait_for_mail(cls.mx.maildir_of("hanako@example.test"), 1)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.mx.stop()
        cls.dovecot.stop()
        if cls.folder:
            cls.folder.cleanup()

    def test_the_post_went_out_through_an_authenticated_submission(self):
        [post] = self.posts
        self.assertTrue(decoded_subject(post).endswith("春の撮影会"), decoded_subject(post))
        self.assertIn("sasl_username=%s" % self.USER, self.mx.log_text())
        log = self.folder.read("log/Kelmoralog.txt")
        self.assertNotIn(self.PASSWORD, log)
        self.assertNotIn("bad/illegal", log)

    def test_a_post_nobody_may_send_stays_whole_beside_its_readable_form(self):
        log = self.folder.read("log/Kelmoralog.txt")
        lines = [line for line in log.splitlines() if "宣伝です" in line]
        self.assertEqual(len(lines), 1, log)
        self.assertIn("差出人<stranger@other.test>", lines[0])
        receive = self.folder.file("log/receive")
        kept = [n for n in os.listdir(receive) if not n.startswith(".")]
        [original] = [n for n in kept if n.endswith(".eml")]
        self.assertIn(original[:-4] + ".txt", kept)
        with open(os.path.join(receive, original), "rb") as f:
            raw = f.read()
        self.assertEqual(decoded_subject(raw), "宣伝です📷")
        self.assertEqual(decoded_body(raw), "お得な情報 📷\n")
        self.assertIn(os.path.join(receive, original), lines[0])

    @unittest.skipUnless(shutil.which("spamassassin"), "SpamAssassin is not installed (scripts/setup.sh installs it)")
    def test_spam_filter_scores_a_post_with_a_japanese_unsubscribe_keyword_at_zero_or_below(self):
        [post] = self.posts
        self.assertIn("?subject=%e9%80%80%e4%bc%9a>", str(header_of(post, "List-Unsubscribe")))
        # As delivered by Postfix: its own Received line is the hop.
        score, positive, report = spam_report(post, received_hop=False)
        self.assertLessEqual(score, 0.0, report)
        self.assertNotIn("UNRESOLVED_TEMPLATE", [name for _, name in positive], report)


if __name__ == "__main__":
    harness.main()
