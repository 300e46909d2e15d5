# SPDX-License-Identifier: GPL-3.0-or-later
"""The local mail store in a hostile world, end to end: Dovecot's delivery
agent fills the profile, build/kelmora --once posts through a recording
sendmail that misbehaves, the Maildir is made immutable or given a named
pipe for a journal, and the program is killed with SIGKILL at random
moments. Nothing may be lost, nothing posted twice, nothing hang."""

import os
import signal
import subprocess
import time
import unittest

import harness
from mail_world import decoded_subject
from store_world import PROFILE, StoreWorld, post, random_kill_run

SENDMAIL_PROFILE = "address=club@example.test\nsendmail=SENDMAIL\n"


class StoreHostileTest(unittest.TestCase):
    def test_immutable_new_folder_posts_once_over_three_cycles(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.deliver(post(1))
            new = w.profile_path("new")
            if subprocess.run(["chattr", "+i", new], capture_output=True).returncode != 0:
                self.skipTest("this file system cannot make a folder immutable")
            try:
                for cycle in range(1, 4):
                    r = w.run("--no-wait")
                    self.assertEqual(r.returncode, 3, r.stderr.decode())
                    self.assertEqual(len(w.sendmail_calls()), 1, w.main_log())
                    self.assertEqual(len(w.main_log().splitlines()), cycle, w.main_log())
            finally:
                subprocess.run(["chattr", "-i", new])
            # Once the folder can change again, the post is deleted (delete
            # after processing) and still not sent again.
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 0)
            self.assertEqual(len(w.sendmail_calls()), 1)
            self.assertEqual(w.maildir_names("new") + w.maildir_names("cur"), [])

    def test_refused_post_is_logged_and_kept_flagged(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.deliver(post(1))
            w.control("EXIT_CODES", "75\n67\n")
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 3, r.stderr.decode())
            log = w.main_log()
            self.assertEqual(len(log.splitlines()), 1, log)
            self.assertIn("sendmail.py: exit 75: refused with 75", log)
            self.assertNotIn("second line", log)
            # The deletion waits for the send: the post is only seen.
            [kept] = w.maildir_names("cur")
            self.assertTrue(kept.endswith(":2,S"), kept)
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 3, r.stderr.decode())
            last = w.main_log().splitlines()[-1]
            self.assertIn(".Failed", last)
            self.assertIn(kept.split(":")[0], last)
            self.assertIn("taro@example.test", last)
            self.assertIn("exit 67", last)
            self.assertEqual(w.maildir_names("cur"), [kept.split(":")[0] + ":2,FS"])
            self.assertEqual(len(w.maildir_names(".Failed/cur")), 1)
            self.assertEqual(w.sendmail_calls(), [])

    def test_pop3_cycle_sends_rows_without_sender_through_the_store(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.dovecot.add_user("inbox", "inboxpw")
            w.dovecot.deliver("inbox", post(7))
            w.folder.write("Kelmora.ini", PROFILE + ",,1,0,1,1,0,0,9,10,127.0.0.1:%d/inbox/inboxpw\n0\n"
                           % w.dovecot.pop3_port)
            r = w.run("--no-wait")
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            calls = w.sendmail_calls()
            self.assertEqual(len(calls), 1, w.main_log())
            argv, message = calls[0]
            self.assertEqual(sorted(argv[argv.index("--") + 1:]),
                             sorted(["club@example.test", "taro@example.test", "hanako@example.test",
                                     "jiro@example.test"]))
            self.assertTrue(decoded_subject(message).startswith("[club:0001(3)]"), decoded_subject(message))
            self.assertEqual(w.main_log(), "")
            self.assertEqual(w.dovecot.mailbox("inbox"), [])

    def test_journal_that_is_a_named_pipe_does_not_hang(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.deliver(post(1))
            os.mkfifo(w.profile_path("kelmora-journal"))
            started = time.monotonic()
            r = w.run("--no-wait", timeout=60)
            self.assertEqual(r.returncode, 3, r.stderr.decode())
            self.assertLess(time.monotonic() - started, 30)
            self.assertIn("kelmora-journal", w.main_log())
            self.assertEqual(w.sendmail_calls(), [])
            # The next run does not wait either; nothing was posted.
            self.assertEqual(w.run("--no-wait", timeout=60).returncode, 3)
            self.assertEqual(w.sendmail_calls(), [])

    def test_sendmail_leaving_a_background_child_is_not_waited_for(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.deliver(post(1))
            w.control("HOLD")
            started = time.monotonic()
            r = w.run("--no-wait", timeout=120)
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertLess(time.monotonic() - started, 60, "waited for the background process")
            self.assertEqual(w.main_log(), "")
            self.assertEqual(len(w.maildir_names(".Sent/cur")), 1)
            r = w.run("--no-wait", timeout=120)
            self.assertEqual(len(w.sendmail_calls()), 1, "the post went out again")

    def test_sigterm_ends_a_hung_sendmail_at_once(self):
        with StoreWorld(SENDMAIL_PROFILE) as w:
            w.deliver(post(1))
            w.control("HANG")
            p = subprocess.Popen([harness.BIN, "--once", "--no-wait", "--dir", w.folder.path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 30
                outbox = w.profile_path(".Outbox", "new")
                while not (os.path.isdir(outbox) and os.listdir(outbox)) and time.monotonic() < deadline:
                    time.sleep(0.05)
                time.sleep(0.5)  # the sendmail stand-in is running now
                stopped = time.monotonic()
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=30)
                self.assertLess(time.monotonic() - stopped, 10)
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()
            self.assertEqual(p.returncode, 0)
            # The post waits in .Outbox; the received message was handled.
            self.assertEqual(len(w.maildir_names(".Outbox/new")), 1)
            self.assertEqual(w.maildir_names("new"), [])
            os.remove(os.path.join(w.calls, "HANG"))
            self.assertEqual(w.run("--no-wait").returncode, 0)
            self.assertEqual(len(w.sendmail_calls()), 1)

    def test_random_kills_lose_nothing(self):
        # A small run; bench/store_kill_bench.py runs the large one.
        figures = random_kill_run(posts=20, kills=8, seed=17)
        self.assertEqual(figures["missing"], [], figures["log"])
        self.assertEqual(figures["empty_messages"], 0)
        self.assertEqual(figures["numbers_reused"], [])
        self.assertEqual(figures["processed_twice"], [])
        self.assertEqual(figures["left_waiting"], 0, figures["log"])
        self.assertLessEqual(len(figures["posts_twice"]), 2, figures)


if __name__ == "__main__":
    harness.main()
