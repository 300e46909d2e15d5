# SPDX-License-Identifier: GPL-3.0-or-later
"""Nothing acted on twice: build/kelmora --once is killed with SIGKILL in
the middle of a message's rules, right after its list post went out, and the
next run must neither post it again nor lose it."""

import os
import signal
import subprocess
import time
import unittest

import harness
from mail_world import MailWorld, decoded_subject, japanese_message

# Row 1 posts to the list; row 2 answers the same message. Without --no-wait
# the program pauses a second after the post, which is where it is killed.
MASTER = """1,club@example.test,,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,
2,club@example.test,,総会,,club@example.test,SMTP_SERVER,,,,,,自動応答,reply.txt,,
"""
MEMBERS = "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n"
INI = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0\n"


def world():
    return MailWorld({"Master.txt": MASTER, "members.txt": MEMBERS, "reply.txt": "受け付けました。",
                      "Kelmora.ini": INI}, kelmora_bin=harness.BIN)


class NothingTwiceTest(unittest.TestCase):
    def wait_for(self, predicate, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.02)
        return False

    def test_killed_after_the_post_never_posts_again(self):
        with world() as w:
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 総会のお知らせ", "来週です"))
            w.deliver(japanese_message("hanako@example.test", "club@example.test", "[club] 写真", "送ります"))
            argv = [harness.BIN, "--once", "--dir", w.folder]  # with the real waits
            proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.assertTrue(self.wait_for(lambda: len(w.sent()) >= 1), "the first post never went out")
                proc.send_signal(signal.SIGKILL)
            finally:
                proc.wait(timeout=30)
            self.assertEqual(len(w.sent()), 1, "killed later than planned")
            self.assertEqual(decoded_subject(w.sent()[0]["content"]), "[club:0001(2)]  総会のお知らせ")

            r = w.run()
            # 3: the check logs that it set the cut-short message aside.
            self.assertEqual(r.returncode, 3, r.stderr.decode())
            subjects = [decoded_subject(m["content"]) for m in w.sent()]
            # The killed message is not posted a second time (and, since its
            # rows were cut short, gets no reply either); the one behind it
            # is processed as if nothing had happened.
            self.assertEqual(subjects.count("[club:0001(2)]  総会のお知らせ"), 1, subjects)
            self.assertFalse(any("総会のお知らせ" in s and s.startswith("[club:0002") for s in subjects), subjects)
            self.assertIn("[club:0002(2)]  写真", subjects)
            # It is kept for a human to look at, and the log says why.
            kept = [n for n in w.received_files() if n.endswith("Error.txt")]
            self.assertEqual(len(kept), 1, w.received_files())
            self.assertIn("二重に処理しないよう退避しました", w.main_log())
            self.assertEqual(w.mailbox(), [])


if __name__ == "__main__":
    harness.main()
