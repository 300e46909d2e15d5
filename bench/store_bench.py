#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Figures of the local mail store: one mail check of build/kelmora --once
--no-wait over 1,000 messages against 100 list rules (plus one wildcard
junk row; senders checked against sender files of 1,000 lines), the same
messages and rules each time, side by side:

  pop3        the messages on a private Dovecot, fetched over POP3; the
              rows forward over SMTP
  store       the messages in the default profile's Maildir; the rows
              forward over SMTP as before (only the reception differs)
  store+send  the messages in the Maildir; the rows have no sender address,
              so every forward goes through the store (composed, written
              durably into .Outbox, sent by the profile's `smtp` route,
              moved to .Sent)

The mix is that of list_bench: 75% posts from listed senders (each
forwarded to 10 members), 15% from strangers, 10% junk with an attachment
and no subject. Each figure is messages per second of the whole run
(start-up included; the start-up alone is printed too).

Usage (as root, with Debian's /usr/bin/python3):
  bench/store_bench.py [--small] [--build DIR] [--smtp auto|sink|recorder]

--small: 100 messages against 20 rules with sender files of 200 lines.
"""

import os
import random
import sys
import time

from list_bench import list_files, list_messages
from mail_bench import (Dovecot, ProgramFolder, check_environment, common_arguments, make_smtp, rate, report_log,
                        run_kelmora, wait_for_stats)

PROFILE = "メイン ユーザー"


def store_files(files, rules, through_store):
    """The same rules with the store as the road: the profile named in
    Kelmora.ini and no POP3 account; with `through_store` every list row
    loses its sender address and server, so it sends through the store."""
    out = dict(files)
    out["Kelmora.ini"] = PROFILE + ",,1,0,0,0,0,0,9,10\n" + ",".join(["0"] * (rules + 1)) + "\n"
    if through_store:
        lines = []
        for line in files["Master.txt"].splitlines():
            f = line.split(",")
            if not line.startswith(";") and len(f) >= 7 and f[1] != "*":
                f[5] = f[6] = ""
            lines.append(",".join(f))
        out["Master.txt"] = "\n".join(lines) + "\n"
    out["mailstore/%s/profile.ini" % PROFILE] = "address = lists@example.test\nsmtp = SMTP_SERVER\n"
    return out


def fill_maildir(folder, messages):
    maildir = os.path.join(folder.path, "mailstore", PROFILE)
    for sub in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    base = int(time.time()) - 10000
    for i, (raw, _) in enumerate(messages):
        name = "%d.M%06dP%d.bench" % (base + i, i, os.getpid())
        path = os.path.join(maildir, "new", name)
        with open(path, "wb") as f:
            f.write(raw)
        os.utime(path, (base + i, base + i))
    return maildir


def count(maildir, sub):
    folder = os.path.join(maildir, sub)
    return len(os.listdir(folder)) if os.path.isdir(folder) else 0


def main():
    args = common_arguments(__doc__.splitlines()[0]).parse_args()
    check_environment(args.build, ["kelmora"])
    if args.small:
        n, rules, sender_lines = 100, 20, 200
    else:
        n, rules, sender_lines = 1000, 100, 1000
    dest_members = 10
    print("store_bench: %s sizes, build %s" % ("small" if args.small else "full", args.build))
    smtp = make_smtp(args.smtp)
    dovecot = Dovecot()
    files = list_files(rules, sender_lines, dest_members)
    messages = list_messages(n, rules, sender_lines, random.Random(4242))
    kinds = {k: sum(1 for _, kk in messages if kk == k) for k in ("post", "stranger", "junk")}
    print("%d messages (%d posts, %d strangers, %d junk), %d list rules + 1 junk row"
          % (n, kinds["post"], kinds["stranger"], kinds["junk"], rules))
    results = {}
    try:
        dovecot.start()
        dovecot.add_user("club", "clubpw")
        for label in ("pop3", "store", "store+send"):
            road_files = files if label == "pop3" else store_files(files, rules, label == "store+send")
            # Start-up with nothing to do.
            folder = ProgramFolder(dovecot.pop3_port, smtp.port, road_files)
            try:
                startup_s = run_kelmora(args.build, folder)
            finally:
                folder.cleanup()
            folder = ProgramFolder(dovecot.pop3_port, smtp.port, road_files)
            try:
                maildir = None
                if label == "pop3":
                    for raw, _ in messages:
                        dovecot.deliver("club", raw)
                else:
                    maildir = fill_maildir(folder, messages)
                before = smtp.stats()
                seconds = run_kelmora(args.build, folder)
                after = wait_for_stats(smtp, before[0] + kinds["post"],
                                       before[1] + kinds["post"] * (dest_members + 1))
                sent = after[0] - before[0]
                ok = sent == kinds["post"]
                extra = ""
                if maildir:
                    # Posts and strangers are kept and seen (delete after
                    # processing is off), junk is gone, nothing is left new.
                    seen = count(maildir, "cur")
                    ok = ok and count(maildir, "new") == 0 and seen == kinds["post"] + kinds["stranger"]
                    extra = ", %d seen in cur/, %d in .Sent" % (seen, count(maildir, ".Sent/cur"))
                    if label == "store+send":
                        ok = ok and count(maildir, ".Sent/cur") == kinds["post"]
                else:
                    ok = ok and len(dovecot.mailbox("club")) == 0
                results[label] = rate(n, seconds)
                print("  %-11s %7.2f s  %7.1f msg/s   (start-up alone %.2f s; %d forwards%s)%s"
                      % (label + ":", seconds, rate(n, seconds), startup_s, sent, extra,
                         "" if ok else "  <-- MISMATCH"), flush=True)
                report_log(folder)
            finally:
                folder.cleanup()
    finally:
        dovecot.stop()
        smtp.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
