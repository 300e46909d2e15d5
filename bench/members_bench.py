#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Figures of one-by-one forwarding and registration by mail:
build/kelmora --once --no-wait against a private Dovecot (POP3) and an SMTP
server on 127.0.0.1.

  (a) One post to a "ＴＯ転送" row whose list has 1,000 members: one
      message per member, run as `kelmora 0 --once --no-wait` (DELAY 0).
  (b) 1,000 strangers write to a "新規登録" row in one cycle: each is added
      to one address file (also a loaded destination list) and answered.
      Printed as registrations/s.

Every kelmora run is also timed once with an empty mailbox (start-up, an
empty POP3 check, shutdown), printed as "start-up".

Usage (as root, with Debian's /usr/bin/python3):
  bench/members_bench.py [--small] [--build DIR] [--smtp auto|sink|recorder]

--small: 100 members and 100 registrations.
"""

import os
import re
import sys

from mail_bench import (Dovecot, ProgramFolder, check_environment, common_arguments, crlf, make_smtp, rate,
                        report_log, run_kelmora, wait_for_stats)

INI_HEAD = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n"


def startup_time(build, dovecot, smtp, files):
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        return run_kelmora(build, folder, "0")
    finally:
        folder.cleanup()


def bench_to_forward(build, smtp, dovecot, members):
    print("\n(a) One \"ＴＯ転送\" post to %d members, DELAY 0" % members, flush=True)
    from mail_world import japanese_message
    files = {
        "Master.txt": "1,team@example.test,,[team],team.txt,team@example.test,SMTP_SERVER,,[team],,,,ＴＯ転送,,,\n",
        "team.txt": "".join("%d,t%05d@example.test,pw%d,2026/04/01-10:00\n" % (n, n, n) for n in range(1, members + 1)),
        "Kelmora.ini": INI_HEAD + "0\n",
    }
    startup_s = startup_time(build, dovecot, smtp, files)
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        dovecot.deliver("club", crlf(japanese_message("t00001@example.test", "team@example.test", "[team] 練習日程",
                                                      "土曜９時に集合です。\n雨天中止。\n" * 10)))
        before = smtp.stats()
        seconds = run_kelmora(build, folder, "0")
        after = wait_for_stats(smtp, before[0] + members, before[1] + members)
        sent, rcpts = after[0] - before[0], after[1] - before[1]
        print("  start-up (empty mailbox):  %7.2f s" % startup_s)
        print("  cycle with the post:       %7.2f s  (less start-up: %.2f s, %.1f messages/s, %.2f ms each)"
              % (seconds, seconds - startup_s, rate(sent, seconds - startup_s),
                 1000 * (seconds - startup_s) / max(1, sent)))
        logs = [n for n in os.listdir(os.path.join(folder.path, "log")) if re.fullmatch(r"team\.txt\d{14}\.txt", n)]
        summary = folder.read("log/" + logs[0]).splitlines()[0] if len(logs) == 1 else "(no send log)"
        ok = sent == members and rcpts == members and summary == "%d件のメールは全てＴＯ転送しました。" % members
        print("  check: %d messages, %d recipients (expected %d each); send log begins %r%s"
              % (sent, rcpts, members, summary, "" if ok else "  <-- MISMATCH"))
        report_log(folder)
    finally:
        folder.cleanup()


def bench_registrations(build, smtp, dovecot, count):
    print("\n(b) %d registrations by mail (\"新規登録\") into one address file in one cycle" % count, flush=True)
    from mail_world import japanese_message
    files = {
        "Master.txt": ("1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,\n"
                       "2,join@example.test,members.txt,参加,,join@example.test,SMTP_SERVER,,,,,,新規登録,join-ok.txt,"
                       "members.txt,\n"),
        "members.txt": "1,founder@example.test,pw1,2026/04/01-10:00\n",
        "join-ok.txt": "ようこそ！次の投稿からお届けします。",
        "Kelmora.ini": INI_HEAD + "0,0\n",
    }
    startup_s = startup_time(build, dovecot, smtp, files)
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        for k in range(1, count + 1):
            dovecot.deliver("club", crlf(japanese_message("new%05d@example.test" % k, "join@example.test",
                                                          "参加希望", "よろしくお願いします。")))
        before = smtp.stats()
        seconds = run_kelmora(build, folder, "0")
        after = wait_for_stats(smtp, before[0] + count, before[1] + count)
        replies = after[0] - before[0]
        lines = [line for line in folder.read("members.txt").splitlines() if line.strip()]
        added = sum(1 for line in lines if re.match(r"\d+,new\d{5}@example\.test,参加,", line))
        numbers_ok = all(line.startswith("%d," % (n + 1)) for n, line in enumerate(lines))
        print("  start-up (empty mailbox):  %7.2f s" % startup_s)
        print("  cycle with the requests:   %7.2f s  %7.1f registrations/s  (less start-up: %.1f/s)"
              % (seconds, rate(added, seconds), rate(added, seconds - startup_s)))
        ok = added == count and replies == count and numbers_ok and len(dovecot.mailbox("club")) == 0
        print("  check: %d added (expected %d), %d lines numbered 1..%d %s, %d replies%s"
              % (added, count, len(lines), len(lines), "in order" if numbers_ok else "OUT OF ORDER", replies,
                 "" if ok else "  <-- MISMATCH"))
        report_log(folder)
    finally:
        folder.cleanup()


def main():
    args = common_arguments(__doc__.splitlines()[0]).parse_args()
    check_environment(args.build, ["kelmora"])
    members = registrations = 100 if args.small else 1000
    print("members_bench: %s sizes, build %s" % ("small" if args.small else "full", args.build))
    smtp = make_smtp(args.smtp)
    dovecot = Dovecot()
    try:
        dovecot.start()
        dovecot.add_user("club", "clubpw")
        bench_to_forward(args.build, smtp, dovecot, members)
        bench_registrations(args.build, smtp, dovecot, registrations)
    finally:
        dovecot.stop()
        smtp.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
