# SPDX-License-Identifier: GPL-3.0-or-later
"""The local mail store world shared by the end-to-end tests and the kill
benchmark: a private Dovecot whose delivery agent fills a Maildir, a
program folder whose default profile is a link to that Maildir, and a
recording sendmail stand-in. Also the random-kill run: build/kelmora killed
with SIGKILL at random moments while it posts through the store."""

import json
import os
import random
import shutil
import signal
import subprocess
import tempfile
import time

import harness
from dovecot import Dovecot
from mail_world import decoded_subject, japanese_message

PROFILE = "メイン ユーザー"
MASTER = """;the list sends through the local mail store (no sender address of its own)
1,club@example.test,members.txt,[club],members.txt,,,,[club],,,,,,,
"""
MEMBERS = "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n3,jiro@example.test,pw3\n"
MEMBER_ADDRESSES = ["taro@example.test", "hanako@example.test", "jiro@example.test"]
# The default profile, "delete after processing" on.
INI = PROFILE + ",,1,0,1,1,0,0,9,10\n0\n"

# A sendmail stand-in: records its arguments and standard input as one
# JSON file per call, put in place by a rename once the whole message was
# read (what a real MTA's queue does). EXIT_CODES (one number per line)
# gives the exit status of each call in turn; 0 after the last. DELAY
# makes it slow; HOLD leaves a background process that keeps its output
# open; HANG makes it never end; KILL_AFTER kills its caller a moment
# after answering.
SENDMAIL = """#!/usr/bin/python3
import json, os, subprocess, sys, time
d = {calls!r}
data = sys.stdin.buffer.read()
delay = os.path.join(d, "DELAY")
if os.path.exists(delay):
    time.sleep(float(open(delay).read()))
if os.path.exists(os.path.join(d, "HANG")):
    time.sleep(3600)
code = 0
codes = os.path.join(d, "EXIT_CODES")
if os.path.exists(codes):
    lines = open(codes).read().split()
    if lines:
        code = int(lines[0])
        open(codes, "w").write("\\n".join(lines[1:]))
if code == 0:
    tmp = os.path.join(d, ".tmp-%d" % os.getpid())
    with open(tmp, "w") as f:
        json.dump({{"argv": sys.argv[1:], "message": data.decode("latin-1")}}, f)
    os.rename(tmp, os.path.join(d, "%f-%d.json" % (time.time(), os.getpid())))
if os.path.exists(os.path.join(d, "HOLD")):
    p = subprocess.Popen(["sleep", "600"])
    open(os.path.join(d, "held.pid"), "w").write(str(p.pid))
if os.path.exists(os.path.join(d, "KILL_AFTER")):
    os.remove(os.path.join(d, "KILL_AFTER"))
    subprocess.Popen(["sh", "-c", "sleep 1; kill -9 %d" % os.getppid()])
sys.stdout.flush()
if code:
    sys.stderr.write("refused with %d\\nsecond line\\n" % code)
os._exit(code)
"""


def post(number, attachments=None):
    return japanese_message("taro@example.test", "club@example.test", "[club] 投稿 %03d" % number,
                            "本文 %03d です。" % number, from_name="山田太郎", attachments=attachments or [])


class StoreWorld:
    """Dovecot with one user, a program folder whose default profile links
    to that user's Maildir, and a folder for the recording sendmail."""

    def __init__(self, profile_ini, ini=INI, extra_files=None):
        self.profile_ini = profile_ini
        self.ini = ini
        self.extra_files = extra_files or {}

    def __enter__(self):
        self.dovecot = Dovecot()
        self.dovecot.start()
        self.dovecot.add_user("club", "clubpw")
        files = {"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": self.ini}
        files.update(self.extra_files)
        self.folder = harness.ProgramFolder(files)
        self.record_dir = tempfile.mkdtemp(prefix="kelmora-sendmail-")
        os.chmod(self.record_dir, 0o755)
        self.sendmail = os.path.join(self.record_dir, "sendmail.py")
        self.calls = os.path.join(self.record_dir, "calls")
        os.makedirs(self.calls)
        with open(self.sendmail, "w") as f:
            f.write(SENDMAIL.format(calls=self.calls))
        os.chmod(self.sendmail, 0o755)
        os.makedirs(self.folder.file("mailstore"))
        os.symlink(self.dovecot.maildir("club"), self.profile_path())
        self.write_profile(self.profile_ini)
        return self

    def __exit__(self, *exc):
        held = os.path.join(self.calls, "held.pid")
        if os.path.exists(held):
            try:
                os.kill(int(open(held).read()), signal.SIGKILL)
            except (OSError, ValueError):
                pass
        self.dovecot.stop()
        self.folder.cleanup()
        shutil.rmtree(self.record_dir, ignore_errors=True)

    def profile_path(self, *parts):
        return os.path.join(self.folder.file("mailstore/" + PROFILE), *parts)

    def write_profile(self, text):
        self.folder.write("mailstore/%s/profile.ini" % PROFILE, text.replace("SENDMAIL", self.sendmail))

    def control(self, name, text=""):
        """Creates one of the sendmail stand-in's control files."""
        with open(os.path.join(self.calls, name), "w") as f:
            f.write(text)

    def deliver(self, raw):
        """Delivery by Dovecot's own agent, as the mail server would."""
        r = subprocess.run(["/usr/lib/dovecot/dovecot-lda", "-c", self.dovecot.config_path, "-d", "club",
                            "-f", "sender@example.test"], input=raw, capture_output=True, timeout=30)
        assert r.returncode == 0, r.stderr.decode()

    def run(self, *args, timeout=120):
        return harness.run_kelmora(self.folder, "--once", *args, timeout=timeout)

    def sendmail_calls(self):
        """(argv, message bytes) of every call that went through, in order."""
        out = []
        for name in sorted(n for n in os.listdir(self.calls) if n.endswith(".json")):
            with open(os.path.join(self.calls, name)) as f:
                call = json.load(f)
            out.append((call["argv"], call["message"].encode("latin-1")))
        return out

    def maildir_names(self, sub):
        return sorted(os.listdir(self.profile_path(sub)))

    def unread_and_queued(self):
        """How many messages still wait: unread in the store or in .Outbox."""
        unread = len(self.maildir_names("new")) + sum(1 for n in self.maildir_names("cur")
                                                      if "S" not in n.partition(":2,")[2])
        queued = sum(len(self.maildir_names(".Outbox/" + s)) for s in ("new", "cur", "tmp"))
        return unread + queued

    def main_log(self):
        p = self.folder.file("log/Kelmoralog.txt")
        return harness.read_cp932(p) if os.path.exists(p) else ""


def random_kill_run(posts, kills, seed, sendmail_delay=0.25, max_kill_delay=0.6, say=lambda text: None):
    """Delivers `posts` list posts into the store, then runs kelmora --once
    again and again, killing it with SIGKILL at a random moment `kills`
    times, then lets it finish undisturbed. Returns the figures: who got
    which post how often, empty messages, numbers taken twice."""
    rng = random.Random(seed)
    with StoreWorld("address=club@example.test\nsendmail=SENDMAIL\n") as w:
        for n in range(1, posts + 1):
            w.deliver(post(n))
        w.control("DELAY", str(sendmail_delay))
        started = time.monotonic()
        killed = runs = 0
        argv = [harness.BIN, "--once", "--no-wait", "--dir", w.folder.path]
        while killed < kills:
            p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            runs += 1
            try:
                p.wait(timeout=rng.uniform(0.02, max_kill_delay))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                killed += 1
                say("kill %d after run %d" % (killed, runs))
        # A sendmail killed with its caller must not outlive it; give the
        # kernel a moment to deliver the parent-death signals.
        time.sleep(0.2)
        for _ in range(50):
            r = w.run("--no-wait")
            runs += 1
            assert r.returncode == 0, r.stderr.decode()
            if w.unread_and_queued() == 0:
                break
        elapsed = time.monotonic() - started
        calls = w.sendmail_calls()
        received = {}  # (post number, member) -> times
        empty = 0
        numbers = {}   # list number -> set of post numbers
        tags = {}      # post number -> set of list numbers it went out with
        for argv_, message in calls:
            subject = decoded_subject(message) if message.strip() else ""
            if "投稿 " not in subject:
                empty += 1
                continue
            n = int(subject.rsplit("投稿 ", 1)[1][:3])
            tag = subject.split("]", 1)[0]
            numbers.setdefault(tag, set()).add(n)
            tags.setdefault(n, set()).add(tag)
            for member in argv_[argv_.index("--") + 1:]:
                received[(n, member)] = received.get((n, member), 0) + 1
        missing = [(n, m) for n in range(1, posts + 1) for m in MEMBER_ADDRESSES if received.get((n, m), 0) == 0]
        twice = sorted({n for (n, m), times in received.items() if times > 1})
        reused = sorted(tag for tag, ns in numbers.items() if len(ns) > 1)
        # A post that went out under two numbers was processed twice; the
        # same number twice is the route's repeat of one queued copy.
        processed_twice = sorted(n for n, ts in tags.items() if len(ts) > 1)
        return {"posts": posts, "kills": killed, "runs": runs, "sendmail_calls": len(calls), "missing": missing,
                "posts_twice": twice, "processed_twice": processed_twice, "empty_messages": empty,
                "numbers_reused": reused,
                "left_waiting": w.unread_and_queued(), "seconds": round(elapsed, 1), "log": w.main_log()}
