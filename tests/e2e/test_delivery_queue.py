# SPDX-License-Identifier: GPL-3.0-or-later
"""The deferred-delivery queue end to end: build/kelmora --once against a
private Dovecot (POP3) and a recording SMTP server that goes down in the
middle of a list post and comes back."""

import os
import time
import unittest

import harness
from mail_world import MailWorld, decoded_subject, japanese_message

MASTER = "1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,\n"
MEMBERS = "".join("%d,m%d@example.test,pw%d\n" % (i, i, i) for i in range(1, 251))
INI = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0\n"
# The queue waits one minute before its first retry.
FIRST_PAUSE = 60


class DeliveryQueueTest(unittest.TestCase):
    def run_once(self, w, status=0):
        """One check; 3 when it logs a failure (the deferral below)."""
        r = w.run()
        self.assertEqual(r.returncode, status, r.stderr.decode())
        return r

    def queue_files(self, w):
        d = w.path("queue")
        return sorted(n for n in os.listdir(d) if not n.startswith(".")) if os.path.isdir(d) else []

    def test_post_cut_off_by_a_server_that_went_down_reaches_the_rest_later_once(self):
        # 251 recipients (the list address and 250 members) go in
        # transactions of 100, 100 and 51; the server breaks the connection
        # at the third and then refuses every connection.
        files = {"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": INI}
        with MailWorld(files, kelmora_bin=harness.BIN, drop_after=2) as w:
            w.deliver(japanese_message("m7@example.test", "club@example.test", "[club] 春の撮影会", "桜の下で集合"))
            self.run_once(w, status=3)
            first_done = time.monotonic()
            sent = w.sent()
            self.assertEqual([len(m["rcpt_tos"]) for m in sent], [100, 100])
            log = w.main_log()
            self.assertIn("SendMailの配送を保留<51件>:", log)
            self.assertNotIn("SendMailの宛先エラー", log)
            self.assertNotIn("ＢＣＣでの転送エラー", log)
            # The send counted as good: the post is settled, not kept as an error.
            self.assertEqual(w.received_files(), [])
            self.assertEqual(w.mailbox(), [])
            self.assertEqual(len(self.queue_files(w)), 1)
            self.assertEqual(os.stat(w.path("queue")).st_mode & 0o777, 0o700)

            # The server is back, but the pause has not passed: nothing yet.
            w.smtp.drop_after = None
            w.smtp.fail_connect_code = None
            self.run_once(w)
            self.assertEqual(len(w.sent()), 2)
            self.assertEqual(len(self.queue_files(w)), 1)

            time.sleep(max(0.0, first_done + FIRST_PAUSE + 1 - time.monotonic()))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(len(sent), 3)
            self.assertEqual(self.queue_files(w), [])
            reached = [a for m in sent for a in m["rcpt_tos"]]
            expected = ["club@example.test"] + ["m%d@example.test" % i for i in range(1, 251)]
            self.assertEqual(sorted(reached), sorted(expected), "every recipient exactly once")
            # The same message, as composed for the first send.
            self.assertEqual(sent[2]["content"], sent[0]["content"])
            self.assertEqual(decoded_subject(sent[2]["content"]), "[club:0001(250)]  春の撮影会")
            self.assertEqual(sent[2]["mail_from"], "club@example.test")

            # Another cycle sends nothing more.
            self.run_once(w)
            self.assertEqual(len(w.sent()), 3)


if __name__ == "__main__":
    harness.main()
