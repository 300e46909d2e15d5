#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Whole-program figures of kelmora against their baselines, measured side
by side in one run on 127.0.0.1 with a private Dovecot (POP3):

  (a) 300 mixed messages (0.5 KB to 500 KB, about 42 MB: half short
      text, a quarter long text, a quarter with an attachment) and a rule table
      whose one row matches none: one `kelmora --once --no-wait` cycle
      fetches, stores durably, reads and settles them (kept in readable
      form). Baseline: curl fetching the same messages in one session into
      files, `sync -f` on the folder, and a second curl session sending DELE
      for every message (what storing before DELE costs at the least).
  (b) The same messages, each addressed to one of 100 list rows whose
      sender files hold 1,000 addresses (the senders are not listed, so the
      rows check their sender files and send nothing). Same baseline.
  (c) Start-up plus an empty cycle (an empty mailbox) with 500 rules and
      200 address files of 10,000 members: 2,000,000 members. Wall time and
      peak memory of the process, next to the goals (0.3 s, 80 MB) and, with
      --baseline, the earlier build.
  (d) With --baseline only: what must not get slower, both builds in the
      same run: one post to a list of 5,000 members (time less start-up),
      and appending to a 50 MB main log (startup_bench's figure).

Ratios are elapsed times kelmora/curl (goals: (a) at most 1.5, (b) at most 2).

Usage (as root, with Debian's /usr/bin/python3):
  bench/speed_bench.py [--small] [--build DIR] [--baseline DIR] [--runs N]
                       [--smtp auto|sink|recorder]

--small: 60 messages, 20 list rows of 200 senders, 200,000 members; runs
in well under a minute. --baseline: the build folder of an earlier version
to measure beside this one. --runs: repetitions of each timed kelmora and
curl run (the median is shown; default 3).
"""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from mail_bench import (MB, ProgramFolder, build_message, check_environment, common_arguments,  # noqa: E402
                        crlf, make_smtp, report_log, text_of_size, tool, wait_for_stats)
from dovecot import Dovecot  # noqa: E402

INI_HEAD = ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n"
USER, PASSWORD = "club", "clubpw"


def mixed_messages(count, rng):
    """Half short text (0.5 to 20 KB); a quarter long text and a quarter
    with an attachment, both 50 to 500 KB: about 140 KB a message."""
    from mail_world import japanese_message
    messages = []
    for i in range(count):
        if i % 2 == 0:
            messages.append(build_message(i, rng.randint(500, 20_000), rng))
        elif i % 4 == 1:
            target = rng.randint(50_000, 500_000)
            # ISO-2022-JP takes about two bytes for a character of three UTF-8 bytes.
            body = text_of_size(rng, target * 3 // 2)
            raw = japanese_message("member%03d@example.test" % (i % 200), "club@example.test",
                                   "[club] 第%d回 議事録" % i, body)
            messages.append(crlf(raw))
        else:
            messages.append(build_message(i, rng.randint(50_000, 500_000), rng))
    # A message that came by SMTP ends with a line break (the end of its
    # DATA), so a mailbox holds no other kind. Without one, the POP3 server
    # adds it on the way and the size no longer matches LIST.
    return [m if m.endswith(b"\r\n") else m + b"\r\n" for m in messages]


PEAK_RSS = None  # the launcher that measures a command's own peak memory (bench/peak_rss.c)


def build_peak_rss(work):
    global PEAK_RSS
    PEAK_RSS = os.path.join(work, "peak_rss")
    subprocess.run(["cc", "-O2", "-o", PEAK_RSS, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                              "peak_rss.c")], check=True, timeout=120)


def run_measured(argv, timeout=1800):
    """Runs argv through peak_rss; returns (seconds, peak resident MB,
    returncode). A child forked straight from this script would count the
    script's own memory as its peak."""
    proc = subprocess.run([PEAK_RSS] + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout)
    err = proc.stderr.decode(errors="replace")
    last = err.strip().splitlines()[-1] if err.strip() else ""
    if proc.returncode != 0 or not last.startswith("peak_rss: "):
        raise RuntimeError("%s exited %d: %s" % (os.path.basename(argv[0]), proc.returncode, err[-2000:]))
    _, seconds, kb, _ = last.split()
    return float(seconds), int(kb) / 1024.0, proc.returncode


def kelmora_argv(build, folder):
    return [tool(build, "kelmora"), "--once", "--no-wait", "--dir", folder.path]


def drop_receive_folder(folder):
    shutil.rmtree(folder.receive_folder, ignore_errors=True)


def durable_curl(dovecot, count, work):
    """curl: every message into its own file in one session, sync -f, DELE
    of every message in a second session. Returns (seconds, bytes)."""
    out = os.path.join(work, "curl-out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    base = "pop3://127.0.0.1:%d/" % dovecot.pop3_port
    config = os.path.join(work, "retr.cfg")
    with open(config, "w") as f:
        for n in range(1, count + 1):
            f.write('url = "%s%d"\noutput = "%s"\n' % (base, n, os.path.join(out, "%d.eml" % n)))
    dele = [base + str(n) for n in range(1, count + 1)]
    start = time.monotonic()
    subprocess.run(["curl", "-s", "-S", "-u", "%s:%s" % (USER, PASSWORD), "-K", config], check=True, timeout=600)
    subprocess.run(["sync", "-f", out], check=True, timeout=600)
    subprocess.run(["curl", "-s", "-S", "-u", "%s:%s" % (USER, PASSWORD), "-X", "DELE", "-I"] + dele,
                   check=True, timeout=600, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    got = sum(os.path.getsize(os.path.join(out, n)) for n in os.listdir(out))
    shutil.rmtree(out)
    return seconds, got


def median_line(label, values, unit="s"):
    return "  %-44s %7.3f %s  (runs: %s)" % (label + ":", statistics.median(values), unit,
                                           ", ".join("%.3f" % v for v in values))


def bench_cycle(title, builds, dovecot, messages, files, runs, work, goal):
    """One cycle over `messages` with the data `files`, for each build, and
    the durable curl baseline; runs alternate so that both see the same
    machine."""
    print("\n" + title, flush=True)
    total = sum(len(m) for m in messages)
    print("  messages: %d, %.1f MB (smallest %.1f KB, largest %.1f KB)"
          % (len(messages), total / MB, min(len(m) for m in messages) / 1024, max(len(m) for m in messages) / 1024))
    times = {name: [] for name in builds}
    curl_times = []
    for run in range(runs):
        for m in messages:
            dovecot.deliver(USER, m)
        seconds, got = durable_curl(dovecot, len(messages), work)
        curl_times.append(seconds)
        left = len(dovecot.mailbox(USER))
        # curl's files may carry one more line end per message than the
        # message itself.
        if not total <= got <= total + 2 * len(messages) or left:
            print("  curl run %d: %d of %d bytes, %d left on the server  <-- MISMATCH" % (run + 1, got, total, left))
        for name, build in builds.items():
            for m in messages:
                dovecot.deliver(USER, m)
            folder = ProgramFolder(dovecot.pop3_port, 25, files)
            try:
                seconds, rss, _ = run_measured(kelmora_argv(build, folder))
                times[name].append(seconds)
                left = len(dovecot.mailbox(USER))
                kept = [n for n in os.listdir(folder.receive_folder) if n.endswith(".eml")]
                if left or len(kept) != len(messages):
                    print("  %s run %d: %d kept in readable form of %d, %d left on the server  <-- MISMATCH"
                          % (name, run + 1, len(kept), len(messages), left))
                if run == 0:
                    report_log(folder)
            finally:
                folder.cleanup()
    curl_s = statistics.median(curl_times)
    print(median_line("curl RETR into files, sync -f, DELE", curl_times))
    for name in builds:
        k = statistics.median(times[name])
        print(median_line("kelmora --once (%s)" % name, times[name]))
        print("  ratio %s/curl: %.2f  (goal: at most %.1f)%s"
              % (name, k / curl_s, goal, "" if name != "this build" or k / curl_s <= goal else "  <-- ABOVE GOAL"))


def list_files(rules, sender_lines):
    master = [";bench: one row per list, sender files checked"]
    files = {}
    for i in range(rules):
        master.append("%d,list%03d@example.test,senders%03d.txt,[l%03d],dest%03d.txt,list%03d@example.test,"
                      "SMTP_SERVER,,[l%03d],,,,,,," % (i + 1, i, i, i, i, i, i))
        files["senders%03d.txt" % i] = "".join("%d,s%03d-%04d@example.test,pw%d,2026/04/01-10:00\n" % (n, i, n, n)
                                               for n in range(1, sender_lines + 1))
        files["dest%03d.txt" % i] = "".join("%d,d%03d-%02d@example.test,pw,2026/04/01-10:00\n" % (n, i, n)
                                            for n in range(1, 11))
    files["Master.txt"] = "\n".join(master) + "\n"
    files["Kelmora.ini"] = INI_HEAD + ",".join(["0"] * rules) + "\n"
    return files


def write_member_files(path, rules, files, members):
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "Master.txt"), "wb") as f:
        for r in range(1, rules + 1):
            f.write(b"%d,list%d@example.test,sender%d@example.test,kw%d,members%d.txt\r\n"
                    % (r, r, r, r, r % files))
    for k in range(files):
        with open(os.path.join(path, "members%d.txt" % k), "wb") as f:
            f.write(b"".join(b"%d,member%d-%d@example.test,pw%d,2026/12/07-09:00\r\n" % (i, k, i, i)
                             for i in range(1, members + 1)))


def bench_startup(builds, dovecot, work, small, runs):
    rules, files, members = (500, 20, 10_000) if small else (500, 200, 10_000)
    print("\n(c) Start-up and an empty cycle: %d rules, %d address files of %d members (%s members)"
          % (rules, files, members, format(files * members, ",")), flush=True)
    data = os.path.join(work, "startup-data")
    write_member_files(data, rules, files, members)
    results = {}
    for name, build in builds.items():
        results[name] = ([], [])
    empty = ProgramFolder(dovecot.pop3_port, 25, {
        "Master.txt": "1,list@example.test,sender@example.test,kw,one.txt\n",
        "one.txt": "1,one@example.test,pw,2026/04/01-10:00\n",
        "Kelmora.ini": INI_HEAD + "0\n"})
    bare, bare_rss = [], []
    try:
        for _ in range(runs):
            for name, build in builds.items():
                folder = ProgramFolder(dovecot.pop3_port, 25, {})
                try:
                    for n in os.listdir(data):
                        os.symlink(os.path.join(data, n), os.path.join(folder.path, n))
                    folder.write("Kelmora.ini", INI_HEAD + ",".join(["0"] * rules) + "\n")
                    seconds, rss, _ = run_measured(kelmora_argv(build, folder))
                    results[name][0].append(seconds)
                    results[name][1].append(rss)
                    report_log(folder)
                finally:
                    folder.cleanup()
            seconds, rss, _ = run_measured(kelmora_argv(next(iter(builds.values())), empty))
            bare.append(seconds)
            bare_rss.append(rss)
    finally:
        empty.cleanup()
        shutil.rmtree(data, ignore_errors=True)
    print(median_line("reference: the same cycle, one rule, one member", bare))
    print(median_line("reference: its peak memory", bare_rss, "MB"))
    for name in builds:
        secs, rss = results[name]
        s, m = statistics.median(secs), statistics.median(rss)
        print(median_line("kelmora (%s), time" % name, secs))
        print(median_line("kelmora (%s), peak memory" % name, rss, "MB"))
        if not small:
            print("  goal: at most 0.3 s and 80 MB: %s" % ("met" if s <= 0.3 and m <= 80 else "NOT MET"))


def bench_unchanged(builds, dovecot, smtp, work, members, runs):
    print("\n(d) What must not get slower: one post to %d members; appends to a 50 MB log" % members, flush=True)
    from mail_world import japanese_message
    row = "1,big@example.test,members.txt,[big],members.txt,big@example.test,SMTP_SERVER,,[big],,,,,,,"
    files = {
        "Master.txt": row + "\n",
        "members.txt": "".join("%d,m%05d@example.test,pw%d,2026/04/01-10:00\n" % (n, n, n)
                               for n in range(1, members + 1)),
        "Kelmora.ini": INI_HEAD + "0\n",
    }
    raw = crlf(japanese_message("m00001@example.test", "big@example.test", "[big] 総会のお知らせ",
                                "来月の総会の日程をお知らせします。\n" * 20))
    net = {name: [] for name in builds}
    for _ in range(runs):
        for name, build in builds.items():
            folder = ProgramFolder(dovecot.pop3_port, smtp.port, files)
            try:
                startup_s, _, _ = run_measured(kelmora_argv(build, folder))
                dovecot.deliver(USER, raw)
                before = smtp.stats()
                seconds, _, _ = run_measured(kelmora_argv(build, folder))
                after = wait_for_stats(smtp, before[0] + 1, before[1] + members + 1)
                if after[1] - before[1] != members + 1:
                    print("  %s: %d recipients of %d  <-- MISMATCH" % (name, after[1] - before[1], members + 1))
                net[name].append(seconds - startup_s)
            finally:
                folder.cleanup()
    for name in builds:
        print(median_line("post to %d members, less start-up (%s)" % (members, name), net[name]))
    for name, build in builds.items():
        bench = tool(build, "startup_bench")
        if not os.access(bench, os.X_OK):
            print("  %s: no startup_bench" % name)
            continue
        proc = subprocess.run([bench, os.path.join(work, "sb-" + name.replace(" ", "-"))], capture_output=True,
                              timeout=900)
        for line in proc.stdout.decode(errors="replace").splitlines():
            if line.startswith("WriteLog"):
                print("  %s: %s" % (name, line))


def main():
    parser = common_arguments(__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="build folder of an earlier version to measure beside this one")
    parser.add_argument("--runs", type=int, default=3, help="repetitions of each timed run (median shown)")
    parser.add_argument("--only", default="abcd", help="the sections to run, e.g. \"c\" (default: all)")
    args = parser.parse_args()
    check_environment(args.build, ["kelmora"])
    builds = {"this build": args.build}
    if args.baseline:
        check_environment(args.baseline, ["kelmora"])
        builds["baseline build"] = args.baseline
    count, rules, sender_lines = (60, 20, 200) if args.small else (300, 100, 1000)
    print("speed_bench: %s sizes, %d runs each, builds: %s"
          % ("small" if args.small else "full", args.runs, ", ".join("%s = %s" % kv for kv in builds.items())))

    rng = random.Random(20261207)
    messages = mixed_messages(count, rng)
    work = tempfile.mkdtemp(prefix="kelmora-bench-speed-")
    os.chmod(work, 0o755)
    build_peak_rss(work)
    dovecot = Dovecot()
    smtp = None
    try:
        dovecot.start()
        dovecot.add_user(USER, PASSWORD)
        no_match = {
            "Master.txt": "1,other@example.test,someone@example.test,zz-matches-nothing,nobody.txt,"
                          "other@example.test,SMTP_SERVER,,,,,,,,,\n",
            "nobody.txt": "1,nobody@example.test,pw,2026/04/01-10:00\n",
            "Kelmora.ini": INI_HEAD + "0\n",
        }
        if "a" in args.only:
            bench_cycle("(a) Fetch, store, read and settle; one rule that matches none", builds, dovecot, messages,
                        no_match, args.runs, work, 1.5)
        listed = [m.replace(b"To: club@example.test", b"To: list%03d@example.test" % (i % rules), 1)
                  for i, m in enumerate(messages)]
        if "b" in args.only:
            bench_cycle("(b) The same against %d list rows with sender files of %d addresses"
                        % (rules, sender_lines), builds, dovecot, listed, list_files(rules, sender_lines), args.runs,
                        work, 2.0)
        if "c" in args.only:
            bench_startup(builds, dovecot, work, args.small, args.runs)
        if args.baseline and "d" in args.only:
            smtp = make_smtp(args.smtp)
            bench_unchanged(builds, dovecot, smtp, work, 500 if args.small else 5000, args.runs)
    finally:
        if smtp:
            smtp.stop()
        dovecot.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
