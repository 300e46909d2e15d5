# SPDX-License-Identifier: GPL-3.0-or-later
"""POP3 reception against a private Dovecot on loopback, through
kelmora_fetchtool: what is stored, what is left on the server, what a
broken session or a dead program leaves behind."""

import base64
import os
import random
import signal
import socketserver
import subprocess
import sys
import threading
import time
import unittest

import harness
from dovecot import Dovecot, free_port
from relay import CutProxy, Relay

FETCHTOOL = os.path.join(harness.BUILD, "kelmora_fetchtool")
SERVER = None  # one Dovecot for the module; every test has its own user


def setUpModule():
    global SERVER
    SERVER = Dovecot().start()


def tearDownModule():
    if SERVER:
        SERVER.stop()


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def message(headers, body_bytes):
    """A message from header lines (str) and body bytes, CR LF line ends."""
    head = crlf("\n".join(headers) + "\n\n").encode("ascii")
    return head + body_bytes


def encoded_word(text, charset):
    return "=?%s?B?%s?=" % (charset, base64.b64encode(text.encode(charset)).decode())


def sample_messages():
    """The kinds of mail a Japanese mailing list receives."""
    msgs = []
    msgs.append(message(
        ["From: " + encoded_word("山田太郎", "iso-2022-jp") + " <taro@example.jp>",
         "To: ml@example.jp",
         "Subject: " + encoded_word("会議のお知らせ", "iso-2022-jp"),
         "MIME-Version: 1.0",
         "Content-Type: text/plain; charset=ISO-2022-JP",
         "Content-Transfer-Encoding: 7bit"],
        # "①" is ESC $ B 0x2D21, an NEC extension Python's codec lacks.
        crlf("来週の会議は").encode("iso-2022-jp") + b"\x1b$B-!\x1b(B" +
        crlf("号室です。\n.\n..二つの点で始まる行\n").encode("iso-2022-jp")))
    msgs.append(message(
        ["From: hanako@example.jp", "To: ml@example.jp",
         "Subject: " + encoded_word("UTF-8 の件名", "utf-8"),
         "MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
         "Content-Transfer-Encoding: 8bit"],
        crlf("本文です。絵文字 😀 も。\n").encode("utf-8")))
    msgs.append(message(
        ["From: sjis@example.jp", "To: ml@example.jp", "Subject: sjis",
         "MIME-Version: 1.0", "Content-Type: text/plain; charset=Shift_JIS",
         "Content-Transfer-Encoding: 8bit"],
        crlf("シフトJISの本文 ①～髙\n").encode("cp932")))
    msgs.append(message(
        ["From: qp@example.jp", "To: ml@example.jp", "Subject: qp",
         "MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
         "Content-Transfer-Encoding: quoted-printable"],
        crlf("=E6=97=A5=E6=9C=AC=E8=AA=9E soft=\nbreak\n").encode("ascii")))
    msgs.append(message(
        ["From: b64@example.jp", "To: ml@example.jp", "Subject: b64",
         "MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
         "Content-Transfer-Encoding: base64"],
        crlf(base64.encodebytes("base64 の本文\n".encode()).decode()).encode("ascii")))
    rng = random.Random(7)
    pdf = rng.randbytes(30000)
    msgs.append(message(
        ["From: att@example.jp", "To: ml@example.jp", "Subject: attachments",
         "MIME-Version: 1.0", 'Content-Type: multipart/mixed; boundary="b1"'],
        crlf("--b1\nContent-Type: text/plain; charset=UTF-8\n\n添付あり\n"
             "--b1\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n"
             "Content-Disposition: attachment; filename*=UTF-8''%E8%B3%87%E6%96%99.pdf\n\n"
             + base64.encodebytes(pdf).decode() +
             "--b1\nContent-Type: text/plain; name=\"a.txt\"\nContent-Disposition: attachment; filename=\"a.txt\"\n\n"
             "plain attachment\n--b1--\n").encode("utf-8")))
    msgs.append(message(["From: nosubject@example.jp", "To: ml@example.jp"], b"no subject at all\r\n"))
    big = random.Random(11).randbytes(3_800_000)
    msgs.append(message(
        ["From: big@example.jp", "To: ml@example.jp", "Subject: five megabytes",
         "MIME-Version: 1.0", 'Content-Type: multipart/mixed; boundary="b2"'],
        crlf("--b2\nContent-Type: text/plain\n\nbig one\n--b2\nContent-Type: application/octet-stream\n"
             "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"big.bin\"\n\n"
             + base64.encodebytes(big).decode() + "--b2--\n").encode("ascii")))
    return msgs


class MiniPop3:
    """A small POP3 server for what Dovecot will not do: answer UIDL with
    -ERR, or give LIST sizes that are off. Deletions count only after QUIT.
    Records every command it received."""

    def __init__(self, messages, uidl=True, size_error=0):
        self.messages = list(messages)
        self.uidl = uidl
        self.size_error = size_error
        self.commands = []
        outer = self

        class Handler(socketserver.StreamRequestHandler):
            timeout = 10

            def send(self, text):
                self.wfile.write(text if isinstance(text, bytes) else text.encode())

            def handle(self):
                deleted = set()
                self.send("+OK mini ready\r\n")
                while True:
                    line = self.rfile.readline(1000)
                    if not line:
                        return  # no QUIT: nothing is deleted
                    words = line.decode(errors="replace").strip().split()
                    cmd = words[0].upper() if words else ""
                    outer.commands.append(cmd)
                    arg = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
                    live = [i for i in range(1, len(outer.messages) + 1) if i not in deleted]
                    if cmd == "CAPA":
                        self.send("+OK\r\nUSER\r\n" + ("UIDL\r\n" if outer.uidl else "") + ".\r\n")
                    elif cmd in ("USER", "PASS", "NOOP"):
                        self.send("+OK\r\n")
                    elif cmd == "LIST":
                        self.send("+OK\r\n" + "".join("%d %d\r\n" % (i, len(outer.messages[i - 1]) + outer.size_error)
                                                      for i in live) + ".\r\n")
                    elif cmd == "UIDL" and outer.uidl:
                        self.send("+OK\r\n" + "".join("%d uid-%d\r\n" % (i, i) for i in live) + ".\r\n")
                    elif cmd == "RETR" and arg in live:
                        body = outer.messages[arg - 1]
                        stuffed = b"".join((b"." + l if l.startswith(b".") else l)
                                           for l in body.splitlines(keepends=True))
                        self.send(b"+OK\r\n" + stuffed + b".\r\n")
                    elif cmd == "DELE" and arg in live:
                        deleted.add(arg)
                        self.send("+OK\r\n")
                    elif cmd == "QUIT":
                        outer.messages = [m for i, m in enumerate(outer.messages, 1) if i not in deleted]
                        self.send("+OK bye\r\n")
                        return
                    else:
                        self.send("-ERR unknown\r\n")

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=5)
        return False


class Pop3FetchTest(unittest.TestCase):
    counter = 0

    def setUp(self):
        Pop3FetchTest.counter += 1
        self.user = "user%d" % Pop3FetchTest.counter
        self.password = "pw-%d" % Pop3FetchTest.counter
        SERVER.add_user(self.user, self.password)
        self.prog = harness.ProgramFolder()
        self.folder = self.prog.file("log/receive")
        os.makedirs(self.folder)
        self.server = "127.0.0.1:%d" % SERVER.pop3_port

    def tearDown(self):
        self.prog.cleanup()

    # ---- helpers ----

    def fetch(self, *extra, server=None, password=None, timeout=120):
        argv = [FETCHTOOL, "fetch", "--server", server or self.server, "--user", self.user,
                "--password", self.password if password is None else password,
                "--folder", self.folder] + list(extra)
        proc = subprocess.run(argv, capture_output=True, timeout=timeout)
        out = proc.stdout.decode("utf-8")
        return proc.returncode, [line for line in out.split("\n") if line], out

    def stored(self):
        """Stored message files (not the hidden journal), sorted."""
        return sorted(n for n in os.listdir(self.folder) if not n.startswith("."))

    def read_stored(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()

    def main_log(self):
        path = self.prog.file("log/Kelmoralog.txt")
        return harness.read_cp932(path) if os.path.exists(path) else ""

    # ---- tests ----

    def test_every_kind_of_message_is_stored_whole_and_removed(self):
        msgs = sample_messages()
        for m in msgs:
            SERVER.deliver(self.user, m)
        rc, names, out = self.fetch("--settle-all")
        self.assertEqual(rc, 0, out)
        self.assertEqual(len(names), len(msgs), out)
        self.assertEqual(len(set(names)), len(names))
        for name, m in zip(names, msgs):
            self.assertTrue(name.endswith(".eml") and "/" not in name, name)
            self.assertEqual(self.read_stored(name), m, name)
        self.assertEqual(sorted(names), self.stored())
        self.assertEqual(SERVER.mailbox(self.user), [])
        # Nothing comes twice.
        rc, names, out = self.fetch("--settle-all")
        self.assertEqual((rc, names), (0, []), out)
        self.assertEqual(len(self.stored()), len(msgs))

    def test_pipelining_server_gets_retr_and_dele_in_batches(self):
        # Dovecot lists PIPELINING in CAPA: the RETRs of a batch travel
        # together, and so do the DELEs of a committed batch.
        rng = random.Random(5)
        msgs = [message(["From: p%d@example.jp" % i, "Subject: p%d" % i],
                        crlf("line\n.dot\n" + rng.randbytes(2000 * i).hex() + "\n").encode("ascii"))
                for i in range(1, 13)]
        for m in msgs:
            SERVER.deliver(self.user, m)
        with Relay(SERVER.pop3_port) as relay:
            rc, names, out = self.fetch("--settle-all", server="127.0.0.1:%d" % relay.port)
        self.assertEqual(rc, 0, out)
        self.assertEqual([self.read_stored(n) for n in names], msgs)
        self.assertEqual(SERVER.mailbox(self.user), [])
        chunks = [c.decode("ascii", "replace") for c in relay.sent[0] if c]
        retr_batches = [c.count("RETR ") for c in chunks if "RETR " in c]
        dele_batches = [c.count("DELE ") for c in chunks if "DELE " in c]
        self.assertGreater(max(retr_batches), 1, chunks)
        self.assertEqual(sum(retr_batches), len(msgs))
        self.assertEqual(dele_batches, [len(msgs)], chunks)
        self.assertTrue(chunks[-1].startswith("QUIT"), chunks)

    def test_lf_only_message_arrives_with_crlf(self):
        SERVER.deliver(self.user, b"From: a@example.jp\nSubject: lf\n\nline one\nline two\n")
        rc, names, out = self.fetch("--settle-all")
        self.assertEqual((rc, len(names)), (0, 1), out)
        self.assertEqual(self.read_stored(names[0]),
                         b"From: a@example.jp\r\nSubject: lf\r\n\r\nline one\r\nline two\r\n")

    def test_server_string_forms(self):
        SERVER.deliver(self.user, message(["Subject: one"], b"1\r\n"))
        rc, names, out = self.fetch("--settle-all", server="pop3://127.0.0.1:%d/" % SERVER.pop3_port)
        self.assertEqual((rc, len(names)), (0, 1), out)
        SERVER.deliver(self.user, message(["Subject: two"], b"2\r\n"))
        # A user part in the URL is ignored: the account names the user.
        rc, names, out = self.fetch("--settle-all",
                                    server="POP3://nobody:x@127.0.0.1:%d/INBOX" % SERVER.pop3_port)
        self.assertEqual((rc, len(names)), (0, 1), out)
        for bad in ("smtp://127.0.0.1:%d" % SERVER.pop3_port, "127.0.0.1:99999", "127.0.0.1:abc",
                    "host name with blanks", "[::1"):
            rc, names, out = self.fetch(server=bad)
            self.assertEqual(rc, 1, bad)
            self.assertIn("POP3", out, bad)
        self.assertEqual(len(self.stored()), 2)

    def test_server_down(self):
        port = free_port()
        rc, names, out = self.fetch(server="127.0.0.1:%d" % port)
        self.assertEqual(rc, 1, out)
        self.assertIn("127.0.0.1:%d" % port, out)
        self.assertIn("connect failed", out)
        self.assertEqual(self.stored(), [])
        # Through the cycle's door the failure becomes one main-log line.
        self.fetch("--through-account", server="127.0.0.1:%d" % port)
        log = self.main_log()
        self.assertIn("RcvMailの戻り値異常<127.0.0.1:%d>:POP3 127.0.0.1:%d user %s: connect failed"
                      % (port, port, self.user), log)
        self.assertEqual(log.count("\r\n"), 1)

    def test_wrong_password(self):
        SERVER.deliver(self.user, message(["Subject: kept"], b"kept\r\n"))
        rc, names, out = self.fetch(password="wrong")
        self.assertEqual(rc, 1, out)
        self.assertIn("login failed", out)
        self.assertIn("server reply: -ERR", out)
        self.assertIn(self.server, out)
        self.assertEqual(self.stored(), [])
        self.assertEqual(len(SERVER.mailbox(self.user)), 1)
        rc, names, out = self.fetch("--settle-all")
        self.assertEqual((rc, len(names)), (0, 1), out)

    def test_drop_in_the_middle_of_retr(self):
        big = message(["Subject: big"], b"".join(b"%076d\r\n" % i for i in range(5000)))
        SERVER.deliver(self.user, big)
        with CutProxy(SERVER.pop3_port, cut_after=60000) as proxy:
            server = "127.0.0.1:%d" % proxy.port
            rc, names, out = self.fetch("--settle-all", server=server)
            self.assertEqual(proxy.cuts, 1)
            self.assertEqual(rc, 1, out)
            self.assertIn("RETR 1 failed", out)
            self.assertEqual(self.stored(), [])  # nothing partial is kept
            self.assertEqual(SERVER.mailbox(self.user), [big])
            proxy.cut_after = None
            rc, names, out = self.fetch("--settle-all", server=server)
        self.assertEqual((rc, len(names)), (0, 1), out)
        self.assertEqual(self.read_stored(names[0]), big)
        self.assertEqual(SERVER.mailbox(self.user), [])

    def test_drop_after_a_dele_does_not_duplicate(self):
        # The session stores and deletes the small message, then breaks in
        # the big one before QUIT: the server still holds both.
        small = message(["Subject: small"], b"small\r\n")
        big = message(["Subject: big"], b"".join(b"%076d\r\n" % i for i in range(5000)))
        SERVER.deliver(self.user, small)
        SERVER.deliver(self.user, big)
        with CutProxy(SERVER.pop3_port, cut_after=len(small) + 1500 + 100000) as proxy:
            server = "127.0.0.1:%d" % proxy.port
            rc, first, out = self.fetch("--settle-all", "--through-account", server=server)
            self.assertEqual(proxy.cuts, 1)
            # What was stored is handed out; the failure went to the main log.
            self.assertEqual(rc, 0, out)
            self.assertEqual(len(first), 1, out)
            self.assertEqual(self.read_stored(first[0]), small)
            self.assertIn("RETR 2 failed", self.main_log())
            self.assertEqual(len(SERVER.mailbox(self.user)), 2)
            proxy.cut_after = None
            rc, second, out = self.fetch("--settle-all", server=server)
            self.assertEqual((rc, len(second)), (0, 1), out)
            self.assertEqual(self.read_stored(second[0]), big)
            self.assertEqual(self.stored(), sorted(first + second))
            self.assertEqual(SERVER.mailbox(self.user), [])
            rc, third, out = self.fetch("--settle-all", server=server)
            self.assertEqual((rc, third), (0, []), out)

    def test_unsettled_messages_come_back_then_go_aside(self):
        SERVER.deliver(self.user, message(["Subject: m1"], b"1\r\n"))
        SERVER.deliver(self.user, message(["Subject: m2"], b"2\r\n"))
        # Handed out without ever being begun (they waited behind a message
        # the program died on): that is no attempt, however often.
        for _ in range(4):
            rc, first, out = self.fetch()
            self.assertEqual((rc, len(first)), (0, 2), out)
        # Now the program begins them and "dies" before settling.
        rc, again, out = self.fetch("--begin-all")
        self.assertEqual((rc, again), (0, first), out)
        SERVER.deliver(self.user, message(["Subject: m3"], b"3\r\n"))
        rc, second, out = self.fetch("--begin-all")
        self.assertEqual(rc, 0, out)
        self.assertEqual(second[:2], first)  # old ones first
        self.assertEqual(len(second), 3)
        n3 = second[2]
        # Even when the server refuses us, the stored ones are handed out.
        rc, third, out = self.fetch("--begin-all", password="wrong")
        self.assertEqual((rc, third), (0, first + [n3]), out)
        self.assertIn("login failed", self.main_log())
        # After three attempts m1 and m2 are set aside; m3 has its third turn.
        rc, fourth, out = self.fetch("--begin-all", "--settle-all")
        self.assertEqual((rc, fourth), (0, [n3]), out)
        aside = [n[:-len(".eml")] + "Error.txt" for n in first]
        self.assertEqual(self.stored(), sorted(aside + [n3]))
        log = self.main_log()
        for name in aside:
            self.assertIn(os.path.join(self.folder, name), log)
        rc, fifth, out = self.fetch("--settle-all")
        self.assertEqual((rc, fifth), (0, []), out)
        self.assertEqual(self.stored(), sorted(aside + [n3]))

    def test_server_without_uidl(self):
        msgs = [message(["Subject: a"], b"first\r\n.dot line\r\n"), message(["Subject: b"], b"second\r\n")]
        with MiniPop3(msgs, uidl=False) as mini:
            rc, names, out = self.fetch("--settle-all", server="127.0.0.1:%d" % mini.port)
            self.assertEqual((rc, len(names)), (0, 2), out)
            self.assertEqual([self.read_stored(n) for n in names], msgs)
            self.assertIn("UIDL", mini.commands)
            self.assertEqual(mini.messages, [])
            rc, names, out = self.fetch("--settle-all", server="127.0.0.1:%d" % mini.port)
            self.assertEqual((rc, names), (0, []), out)

    def test_inexact_list_sizes(self):
        msgs = [message(["Subject: a"], b"x" * 500 + b"\r\n"), message(["Subject: b"], b"y\r\n")]
        for error in (+7, -7):
            with MiniPop3(msgs, size_error=error) as mini:
                rc, names, out = self.fetch("--settle-all", server="127.0.0.1:%d" % mini.port)
                self.assertEqual((rc, len(names)), (0, 2), out)
                self.assertEqual([self.read_stored(n) for n in names], msgs)
                # The connection was proved to be in step before each store.
                self.assertEqual(mini.commands.count("NOOP"), 2)
                self.assertEqual(mini.messages, [])

    def test_killed_in_the_middle_of_a_fetch(self):
        msgs = [message(["Subject: n%d" % i], (b"%d " % i) * 300 + b"\r\n") for i in range(400)]
        for m in msgs:
            SERVER.deliver(self.user, m)
        proc = subprocess.Popen([FETCHTOOL, "fetch", "--server", self.server, "--user", self.user,
                                 "--password", self.password, "--folder", self.folder],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while len(self.stored()) < 5 and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.002)
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
        before = self.stored()
        self.assertGreater(len(before), 0)
        self.assertLess(len(before), len(msgs), "the fetch ended before the kill")
        rc, names, out = self.fetch("--settle-all")
        self.assertEqual(rc, 0, out)
        # The messages stored before the kill come first, then the rest;
        # every message exactly once.
        self.assertEqual(sorted(names[:len(before)]), before)
        self.assertEqual(len(names), len(msgs))
        self.assertEqual(sorted(self.read_stored(n) for n in names), sorted(msgs))
        self.assertEqual(sorted(names), self.stored())
        self.assertEqual(SERVER.mailbox(self.user), [])
        # A store cut short by the kill leaves no temporary file behind.
        self.assertEqual([n for n in os.listdir(self.folder) if n.startswith(".")], [".receive-journal"])


if __name__ == "__main__":
    harness.main()
