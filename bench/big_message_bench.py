#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Peak memory of forwarding one large post: a message of about 200 MB (a
short Japanese text and one attachment of 145 MB, base64) is posted to a
list row that forwards attachments, and one `kelmora --once --no-wait`
cycle forwards it to three members. Measured for each road the message can
come by:

  pop3   fetched from a private Dovecot over POP3 (stored durably, read,
         forwarded, deleted)
  store  read from the default profile's Maildir (the local mail store)

For each run: the wall time, the peak resident memory of the kelmora
process (its own, through bench/peak_rss.c), that peak as a multiple of the
message size, and a check that the members' copy arrived once with the
attachment byte-exact (sha256 of the decoded base64, streamed).

Usage (as root, with Debian's /usr/bin/python3):
  bench/big_message_bench.py [--small] [--build DIR] [--baseline DIR]
                             [--road pop3|store|both]

--small: a message of about 20 MB. --baseline: the build folder of an
earlier version (its `kelmora`), measured in the same run beside this one.
The SMTP server is always the aiosmtpd recorder of tests/servers, which
keeps every message so that the attachment can be checked.
"""

import base64
import hashlib
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from mail_bench import MB, ProgramFolder, RecorderServer, check_environment, common_arguments  # noqa: E402
from speed_bench import build_peak_rss, run_measured  # noqa: E402
from dovecot import Dovecot  # noqa: E402

PROFILE = "メイン ユーザー"
ROW = "1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,処理する\n"
MEMBERS = "".join("%d,m%d@example.test,pw%d,2026/04/01-10:00\n" % (n, n, n) for n in range(1, 4))
BOUNDARY = b"=_big_message_bench_boundary"


def write_message(path, attachment_mb, seed):
    """Writes the post to `path` without holding it whole; returns (size,
    sha256 of the attachment)."""
    rng = random.Random(seed)
    digest = hashlib.sha256()
    text = "来月の撮影会の写真をまとめて送ります。\r\n".encode("iso-2022-jp")
    with open(path, "wb") as f:
        f.write(b"From: Taro <m1@example.test>\r\nTo: club@example.test\r\nSubject: [club] photos\r\n"
                b"Message-ID: <big.1@sender.test>\r\nMIME-Version: 1.0\r\n"
                b'Content-Type: multipart/mixed; boundary="' + BOUNDARY + b'"\r\n\r\n'
                b"--" + BOUNDARY + b"\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n\r\n" + text +
                b"--" + BOUNDARY + b"\r\nContent-Type: application/octet-stream\r\n"
                b'Content-Disposition: attachment; filename="photos.zip"\r\n'
                b"Content-Transfer-Encoding: base64\r\n\r\n")
        left = attachment_mb * MB
        while left > 0:
            chunk = rng.randbytes(min(left, 57 * 16384))  # a multiple of 57: whole base64 lines
            digest.update(chunk)
            f.write(base64.encodebytes(chunk).replace(b"\n", b"\r\n"))
            left -= len(chunk)
        f.write(b"--" + BOUNDARY + b"--\r\n")
        size = f.tell()
    return size, digest.hexdigest()


def attachment_digest(eml_path):
    """sha256 of the base64 part named photos.zip in a sent message, read
    line by line; None when there is no such part."""
    digest = hashlib.sha256()
    state = "search"
    carry = b""
    with open(eml_path, "rb") as f:
        for line in f:
            if state == "search":
                if b"photos.zip" in line:
                    state = "headers"
            elif state == "headers":
                if line in (b"\r\n", b"\n"):
                    state = "body"
            elif line.startswith(b"--"):
                break
            else:
                carry += line.strip()
                usable = len(carry) - len(carry) % 4
                digest.update(base64.b64decode(carry[:usable]))
                carry = carry[usable:]
    return digest.hexdigest() if state == "body" else None


def fill_maildir(folder, message_path):
    maildir = os.path.join(folder.path, "mailstore", PROFILE)
    for sub in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    shutil.copyfile(message_path, os.path.join(maildir, "new", "%d.M1P%d.bench" % (int(time.time()), os.getpid())))


def run_once(build, road, dovecot, smtp, message_path, work):
    files = {"Master.txt": ROW, "members.txt": MEMBERS}
    if road == "pop3":
        files["Kelmora.ini"] = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0\n"
    else:
        files["Kelmora.ini"] = PROFILE + ",,1,0,0,0,0,0,9,10\n0\n"
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        if road == "pop3":
            with open(message_path, "rb") as f:
                dovecot.deliver("club", f.read())
        else:
            fill_maildir(folder, message_path)
        seconds, peak_mb, _ = run_measured([os.path.join(build, "kelmora"), "--once", "--no-wait", "--dir",
                                            folder.path], timeout=1800)
        log = folder.main_log().strip()
        return seconds, peak_mb, log
    finally:
        folder.cleanup()
        if road == "pop3":
            for sub in ("new", "cur"):
                d = os.path.join(dovecot.maildir("club"), sub)
                for name in os.listdir(d):
                    os.remove(os.path.join(d, name))


def sent_files(smtp):
    return sorted(os.path.join(smtp.dir, n) for n in os.listdir(smtp.dir) if n.endswith(".eml"))


def main():
    parser = common_arguments(__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="build folder of an earlier version, measured beside this one")
    parser.add_argument("--road", choices=("pop3", "store", "both"), default="both")
    args = parser.parse_args()
    check_environment(args.build, ["kelmora"])
    builds = [("this build", args.build)]
    if args.baseline:
        check_environment(args.baseline, ["kelmora"])
        builds.append(("baseline build", args.baseline))
    roads = ("pop3", "store") if args.road == "both" else (args.road,)
    attachment_mb = 14 if args.small else 145

    work = tempfile.mkdtemp(prefix="kelmora-bench-big-")
    os.chmod(work, 0o755)
    build_peak_rss(work)
    message_path = os.path.join(work, "post.eml")
    size, expected = write_message(message_path, attachment_mb, 18)
    print("big_message_bench: one post of %.1f MB (attachment %d MB), roads: %s"
          % (size / MB, attachment_mb, ", ".join(roads)), flush=True)
    print("%-16s %-6s %9s %12s %10s  %s" % ("build", "road", "time", "peak RSS", "x message", "check"))
    dovecot = Dovecot()
    smtp = RecorderServer()
    try:
        dovecot.start()
        dovecot.add_user("club", "clubpw")
        smtp.start()
        for road in roads:
            for label, build in builds:
                seen = set(sent_files(smtp))
                seconds, peak_mb, log = run_once(build, road, dovecot, smtp, message_path, work)
                new = [p for p in sent_files(smtp) if p not in seen]
                digests = [attachment_digest(p) for p in new]
                ok = len(new) == 1 and digests == [expected] and not log
                check = "sent once, attachment byte-exact" if ok else "<-- MISMATCH (%d sent, digests %s)" % (
                    len(new), digests)
                print("%-16s %-6s %8.2fs %9.1f MB %9.2fx  %s"
                      % (label, road, seconds, peak_mb, peak_mb * MB / size, check), flush=True)
                if log:
                    print("  main log: " + log.splitlines()[0][:200])
                for p in new:
                    os.remove(p)
                    os.remove(p[:-4] + ".json")
    finally:
        smtp.stop()
        dovecot.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
