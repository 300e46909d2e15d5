#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Figures of the mailing list: build/kelmora --once --no-wait against a
private Dovecot (POP3) and an SMTP server on 127.0.0.1.

  (a) 1,000 stored messages against 100 list rules whose senders are
      checked against sender files of 1,000 lines each (plus one wildcard
      junk row): messages processed per second for the whole cycle, and
      split into the fetch alone (kelmora_fetchtool into the program's
      reception folder, same account) and the processing of the fetched
      messages by kelmora. The mix: 75% posts from listed senders (each
      forwarded to a destination list of 10 members), 15% posts from
      strangers (kept in readable form), 10% junk with an attachment and
      no subject (deleted by the wildcard row).
  (b) One post fanned out to a list of 5,000 members, as text and with a
      4 MB attachment that the row forwards.

Every kelmora run is also timed once with an empty mailbox (start-up, an
empty POP3 check, shutdown), printed as "start-up".

Usage (as root, with Debian's /usr/bin/python3):
  bench/list_bench.py [--small] [--build DIR] [--smtp auto|sink|recorder]

--small: 100 messages against 20 rules with sender files of 200 lines, and
a list of 500 members.
"""

import os
import random
import sys

from mail_bench import (MB, Dovecot, ProgramFolder, check_environment, common_arguments, crlf, make_smtp, rate,
                        report_log, run_kelmora, run_timed, tool, wait_for_stats)

INI_HEAD = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n"


def list_files(rules, sender_lines, dest_members):
    """Rule table and data files: row 1 deletes junk for any address, rows
    2 .. rules+1 are the lists."""
    master = [";bench: %d lists with sender files" % rules, "1,*,,未承諾広告,,,,,,,,ウイルスメール自動削除,,,,"]
    files = {}
    for i in range(1, rules + 1):
        master.append("%d,list%03d@example.test,senders%03d.txt,[l%03d],dest%03d.txt,list%03d@example.test,"
                      "SMTP_SERVER,,[l%03d],,,,,,," % (i + 1, i, i, i, i, i, i))
        files["senders%03d.txt" % i] = "".join("%d,s%03d-%04d@example.test,pw%d,2026/04/01-10:00\n" % (n, i, n, n)
                                               for n in range(1, sender_lines + 1))
        files["dest%03d.txt" % i] = "".join("%d,d%03d-%02d@example.test,pw%d\n" % (n, i, n, n)
                                            for n in range(1, dest_members + 1))
    files["Master.txt"] = "\n".join(master) + "\n"
    files["Kelmora.ini"] = INI_HEAD + ",".join(["0"] * (rules + 1)) + "\n"
    return files


def list_messages(count, rules, sender_lines, rng):
    """(raw message, kind) in delivery order."""
    from mail_world import japanese_message
    out = []
    for k in range(count):
        i = rng.randint(1, rules)
        to = "list%03d@example.test" % i
        r = rng.random()
        if r < 0.75:
            sender = "s%03d-%04d@example.test" % (i, rng.randint(1, sender_lines))
            raw = japanese_message(sender, to, "[l%03d] 今週の話題 %d" % (i, k),
                                   "皆さんこんにちは。\n今週の集まりは予定どおりです。\n" * 5)
            kind = "post"
        elif r < 0.90:
            raw = japanese_message("stranger%d@elsewhere.test" % k, to, "[l%03d] 質問です" % i, "入会前ですが質問です。")
            kind = "stranger"
        else:
            raw = japanese_message("spam%d@spam.test" % k, to, None, "open the attachment",
                                   attachments=[("invoice.exe", b"MZ\x90\x00" * 256)])
            kind = "junk"
        out.append((crlf(raw), kind))
    return out


def bench_processing(build, smtp, dovecot, count, rules, sender_lines, dest_members):
    print("\n(a) %d stored messages, %d list rules + 1 junk row, sender files of %d lines, "
          "destination lists of %d members" % (count, rules, sender_lines, dest_members), flush=True)
    files = list_files(rules, sender_lines, dest_members)
    messages = list_messages(count, rules, sender_lines, random.Random(4242))
    kinds = {k: sum(1 for _, kk in messages if kk == k) for k in ("post", "stranger", "junk")}
    print("  mix: %d posts from listed senders, %d from strangers, %d junk; %.1f MB"
          % (kinds["post"], kinds["stranger"], kinds["junk"], sum(len(m) for m, _ in messages) / MB))
    expected_msgs = kinds["post"]
    expected_rcpts = kinds["post"] * (dest_members + 1)

    def check(folder, before, label):
        after = wait_for_stats(smtp, before[0] + expected_msgs, before[1] + expected_rcpts)
        sent, rcpts = after[0] - before[0], after[1] - before[1]
        kept = [n for n in os.listdir(folder.receive_folder) if n.endswith(".eml")]
        left = len(dovecot.mailbox("club"))
        ok = sent == expected_msgs and rcpts == expected_rcpts and len(kept) == kinds["stranger"] and left == 0
        print("  %s check: %d forwards with %d recipients (expected %d/%d), %d kept in readable form "
              "(expected %d), %d left on the server%s"
              % (label, sent, rcpts, expected_msgs, expected_rcpts, len(kept), kinds["stranger"], left,
                 "" if ok else "  <-- MISMATCH"))
        report_log(folder)

    # Start-up alone (empty mailbox).
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        startup_s = run_kelmora(build, folder)
    finally:
        folder.cleanup()
    print("  start-up (empty mailbox):      %7.2f s" % startup_s)

    # The whole cycle.
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        for raw, _ in messages:
            dovecot.deliver("club", raw)
        before = smtp.stats()
        whole_s = run_kelmora(build, folder)
        print("  whole cycle:                   %7.2f s  %7.1f msg/s" % (whole_s, rate(count, whole_s)))
        check(folder, before, "whole cycle")
    finally:
        folder.cleanup()

    # Fetch alone, then kelmora processes what the journal holds.
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        for raw, _ in messages:
            dovecot.deliver("club", raw)
        os.makedirs(folder.receive_folder)
        before = smtp.stats()
        fetch_s, proc = run_timed([tool(build, "kelmora_fetchtool"), "fetch", "--server", folder.pop3_server,
                                   "--user", "club", "--password", "clubpw", "--folder", folder.receive_folder])
        fetched = len(proc.stdout.decode().split())
        process_s = run_kelmora(build, folder)
        print("  fetch only (kelmora_fetchtool):%7.2f s  %7.1f msg/s  (%d fetched)"
              % (fetch_s, rate(count, fetch_s), fetched))
        print("  kelmora on the fetched mail:   %7.2f s  %7.1f msg/s  (less start-up: %.2f s, %.1f msg/s)"
              % (process_s, rate(count, process_s), process_s - startup_s, rate(count, process_s - startup_s)))
        check(folder, before, "split run")
    finally:
        folder.cleanup()


def bench_fan_out(build, smtp, dovecot, members):
    print("\n(b) One post to a list of %d members" % members, flush=True)
    from mail_world import japanese_message
    row = "1,big@example.test,members.txt,[big],members.txt,big@example.test,SMTP_SERVER,,[big],,,,,,,"
    files = {
        "Master.txt": row + "\n",
        "members.txt": "".join("%d,m%05d@example.test,pw%d,2026/04/01-10:00\n" % (n, n, n)
                               for n in range(1, members + 1)),
        "Kelmora.ini": INI_HEAD + "0\n",
    }
    folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
    try:
        startup_s = run_kelmora(build, folder)
    finally:
        folder.cleanup()
    print("  start-up (empty mailbox):      %7.2f s" % startup_s)

    text = "来月の総会の日程をお知らせします。\n" * 20
    posts = [
        ("text post", row, japanese_message("m00001@example.test", "big@example.test", "[big] 総会のお知らせ", text)),
        # The same row, forwarding attachments: every transaction carries the whole message.
        ("post with a 4 MB attachment", row + "処理する",
         japanese_message("m00001@example.test", "big@example.test", "[big] 総会の写真", text,
                          attachments=[("写真.jpg", random.Random(5).randbytes(4 * 1024 * 1024))])),
    ]
    for label, master_row, raw in posts:
        folder = ProgramFolder(dovecot.pop3_port, smtp.port, dict(files, **{"Master.txt": master_row + "\n"}))
        try:
            dovecot.deliver("club", crlf(raw))
            before, before_bytes = smtp.stats(), smtp.received_bytes()
            seconds = run_kelmora(build, folder)
            after = wait_for_stats(smtp, before[0] + 1, before[1] + members + 1)
            sent, rcpts = after[0] - before[0], after[1] - before[1]
            print("  %-30s %7.2f s  (less start-up: %.2f s, %.0f recipients/s; %d transactions, %.2f MB received)"
                  % (label + ":", seconds, seconds - startup_s, rate(rcpts, seconds - startup_s), sent,
                     (smtp.received_bytes() - before_bytes) / MB))
            sequence = folder.read("Kelmora.ini").splitlines()[1]
            ok = rcpts == members + 1 and sequence == "1"
            print("  check: %d envelope recipients (expected %d), sequence number %s%s"
                  % (rcpts, members + 1, sequence, "" if ok else "  <-- MISMATCH"))
            report_log(folder)
        finally:
            folder.cleanup()


def main():
    args = common_arguments(__doc__.splitlines()[0]).parse_args()
    check_environment(args.build, ["kelmora", "kelmora_fetchtool"])
    if args.small:
        count, rules, sender_lines, members = 100, 20, 200, 500
    else:
        count, rules, sender_lines, members = 1000, 100, 1000, 5000
    print("list_bench: %s sizes, build %s" % ("small" if args.small else "full", args.build))
    smtp = make_smtp(args.smtp)
    dovecot = Dovecot()
    try:
        dovecot.start()
        dovecot.add_user("club", "clubpw")
        bench_processing(args.build, smtp, dovecot, count, rules, sender_lines, 10)
        bench_fan_out(args.build, smtp, dovecot, members)
    finally:
        dovecot.stop()
        smtp.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
