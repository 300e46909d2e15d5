#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Figures of the mail component, against a private Dovecot (POP3) and an
SMTP server on 127.0.0.1, with curl's command-line tool doing the same
transfers in the same run for comparison.

  (a) 1,000 messages of mixed sizes (mostly small, a few of several MB, at
      most 5 MB) are fetched with kelmora_fetchtool and each is read with
      kelmora_sendtool read: messages/s and MB/s. curl then fetches the same
      messages, one `curl pop3://127.0.0.1:P/N` per message (RETR), and once
      more with all of them in one curl process (one session).
  (b) One message to 5,000 blind-copy recipients with kelmora_sendtool
      send; curl sends the same with 5,000 --mail-rcpt in one command.

Each step prints its figures, and the ratio kelmora/curl of the elapsed
times (above 1: kelmora took longer).

Usage (as root, with Debian's /usr/bin/python3):
  bench/mail_bench.py [--small] [--build DIR] [--smtp auto|sink|recorder]

--small: 100 messages and 500 recipients. --build: the build folder with
kelmora, kelmora_fetchtool and kelmora_sendtool (default: $KELMORA_BUILD or
<source>/build). --smtp: postfix's smtp-sink when installed (auto), else
the aiosmtpd recorder of tests/servers.

The other bench scripts take their servers and helpers from this file.
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))

from dovecot import Dovecot, free_port, wait_for_port  # noqa: E402

SMTP_SINK = "/usr/sbin/smtp-sink"
MB = 1024 * 1024

# ---------------------------------------------------------------------------
# Shared by the bench scripts


def common_arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--small", action="store_true", help="quick run with smaller sizes")
    parser.add_argument("--build", default=os.environ.get("KELMORA_BUILD", os.path.join(SOURCE, "build")),
                        help="build folder holding kelmora and the tools")
    parser.add_argument("--smtp", choices=("auto", "sink", "recorder"), default="auto",
                        help="SMTP server: smtp-sink when installed (auto), or the aiosmtpd recorder")
    return parser


def check_environment(build, tools):
    if os.geteuid() != 0:
        sys.exit("the private Dovecot needs root: run this as root")
    for tool in tools:
        path = os.path.join(build, tool)
        if not os.access(path, os.X_OK):
            sys.exit("%s not found: build first or pass --build" % path)


def tool(build, name):
    return os.path.join(build, name)


class SinkServer:
    """postfix's smtp-sink on 127.0.0.1, appending every transaction to one
    dump file, from which the messages and recipients are counted."""

    name = "postfix smtp-sink"

    def __init__(self):
        self.dir = None
        self.proc = None
        self.port = None

    def start(self, timeout=10.0):
        self.dir = tempfile.mkdtemp(prefix="kelmora-bench-sink-")
        os.chmod(self.dir, 0o777)  # smtp-sink writes as nobody
        self.dump = os.path.join(self.dir, "dump")
        for _ in range(3):  # the port may be taken between free_port() and bind()
            self.port = free_port()
            self.proc = subprocess.Popen(
                [SMTP_SINK, "-4", "-u", "nobody", "-m", "64", "-D", self.dump, "127.0.0.1:%d" % self.port, "64"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_for_port(self.port, timeout) and self.proc.poll() is None:
                return self.port
            self._end()
        raise RuntimeError("smtp-sink did not start")

    def _end(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc = None

    def stop(self):
        self._end()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def stats(self):
        """(transactions, recipients) received so far."""
        messages = rcpts = 0
        try:
            with open(self.dump, "rb") as f:
                for line in f:
                    if line.startswith(b"X-Mail-Args:"):
                        messages += 1
                    elif line.startswith(b"X-Rcpt-Args:"):
                        rcpts += 1
        except FileNotFoundError:
            pass
        return messages, rcpts

    def received_bytes(self):
        """Bytes in the dump file: the messages plus a few header lines each."""
        try:
            return os.path.getsize(self.dump)
        except FileNotFoundError:
            return 0


class RecorderServer:
    """The aiosmtpd recorder of tests/servers (slower: it writes and
    flushes every message to disk)."""

    name = "aiosmtpd recorder"

    def __init__(self):
        self.dir = None
        self.rec = None
        self.port = None

    def start(self):
        from smtp_recorder import SmtpRecorder  # needs Debian's python3
        self.dir = tempfile.mkdtemp(prefix="kelmora-bench-rec-")
        self.rec = SmtpRecorder(self.dir)
        self.port = self.rec.start()
        return self.port

    def stop(self):
        if self.rec:
            self.rec.stop()
            self.rec = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def _records(self):
        import json
        out = []
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".json"):
                with open(os.path.join(self.dir, name), encoding="utf-8") as f:
                    out.append(json.load(f))
        return out

    def stats(self):
        records = self._records()
        return len(records), sum(len(r["rcpt_tos"]) for r in records)

    def received_bytes(self):
        return sum(os.path.getsize(os.path.join(self.dir, n)) for n in os.listdir(self.dir) if n.endswith(".eml"))


def make_smtp(choice):
    """The SMTP server to use, started, and a line saying which it is."""
    have_sink = os.access(SMTP_SINK, os.X_OK)
    if choice == "sink" and not have_sink:
        sys.exit("--smtp sink: %s is not installed" % SMTP_SINK)
    if choice == "sink" or (choice == "auto" and have_sink):
        server = SinkServer()
        why = ""
    else:
        server = RecorderServer()
        why = "" if choice == "recorder" else " (smtp-sink not installed)"
    server.start()
    print("SMTP server: %s%s on 127.0.0.1:%d" % (server.name, why, server.port), flush=True)
    return server


def wait_for_stats(smtp, messages, rcpts, timeout=30.0):
    """Waits (bounded) until the server counted at least that many."""
    deadline = time.monotonic() + timeout
    got = smtp.stats()
    while (got[0] < messages or got[1] < rcpts) and time.monotonic() < deadline:
        time.sleep(0.05)
        got = smtp.stats()
    return got


def run_timed(argv, timeout=1800, check=True, **kwargs):
    """Runs argv; returns (seconds, CompletedProcess)."""
    start = time.monotonic()
    proc = subprocess.run(argv, capture_output=True, timeout=timeout, **kwargs)
    seconds = time.monotonic() - start
    if check and proc.returncode != 0:
        raise RuntimeError("%s exited %d: %s%s" % (os.path.basename(argv[0]), proc.returncode,
                                                  proc.stdout.decode(errors="replace")[-2000:],
                                                  proc.stderr.decode(errors="replace")[-2000:]))
    return seconds, proc


def cp932(text):
    """A data file's bytes: CR LF line ends, code page 932."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932")


def crlf(raw):
    return raw.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


class ProgramFolder:
    """A program folder whose data files name the bench's servers."""

    def __init__(self, pop3_port, smtp_port, files):
        self.path = tempfile.mkdtemp(prefix="kelmora-bench-folder-")
        os.chmod(self.path, 0o755)
        self.pop3_server = "127.0.0.1:%d" % pop3_port
        self.smtp_server = "127.0.0.1:%d" % smtp_port
        for name, content in files.items():
            self.write(name, content)

    def write(self, name, content):
        if isinstance(content, str):
            content = cp932(content.replace("SMTP_SERVER", self.smtp_server).replace("POP3_SERVER", self.pop3_server))
        path = os.path.join(self.path, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)

    def read(self, name):
        with open(os.path.join(self.path, name), "rb") as f:
            return f.read().decode("cp932", "replace")

    def exists(self, name):
        return os.path.exists(os.path.join(self.path, name))

    @property
    def receive_folder(self):
        return os.path.join(self.path, "log", "receive")

    def main_log(self):
        return self.read("log/Kelmoralog.txt") if self.exists("log/Kelmoralog.txt") else ""

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_kelmora(build, folder, *extra, timeout=1800):
    """kelmora [extra] --once --no-wait --dir folder; returns seconds."""
    argv = [tool(build, "kelmora")] + list(extra) + ["--once", "--no-wait", "--dir", folder.path]
    seconds, _ = run_timed(argv, timeout=timeout)
    return seconds


def report_log(folder, expected_empty=True):
    """Prints the main log when it holds something unexpected."""
    text = folder.main_log().strip()
    if text and expected_empty:
        lines = text.splitlines()
        print("  main log (%d lines, first 5):" % len(lines))
        for line in lines[:5]:
            print("    " + line)


def rate(count, seconds):
    return count / seconds if seconds > 0 else float("inf")


def ratio_line(label, kelmora_s, curl_s):
    print("  ratio kelmora/curl (%s): %.2f" % (label, kelmora_s / curl_s if curl_s > 0 else float("inf")))


# ---------------------------------------------------------------------------
# (a) Fetching and reading

JAPANESE_LINES = [
    "今月の例会は第二土曜日、駅前の公民館で行います。",
    "写真は共有フォルダに置きました。ご確認ください。",
    "会費の納入がまだの方は、月末までにお願いします。",
    "次回の撮影会の候補地について、ご意見をお寄せください。",
    "Re: the schedule is fine with me; see you on Saturday.",
]
ATTACHMENT_NAMES = ["image001.jpg", "写真.jpg", "資料.pdf", "report.xlsx", "IMG_%04d.JPG"]


def text_of_size(rng, size):
    lines = []
    total = 0
    while total < size:
        line = rng.choice(JAPANESE_LINES)
        lines.append(line)
        total += len(line.encode("utf-8")) + 1
    return "\n".join(lines)


def message_mix(count, rng):
    """Target sizes in bytes: mostly small text, some hundreds of KB, a few
    MB-sized (one close to the 5 MB limit)."""
    sizes = []
    for _ in range(count):
        r = rng.random()
        if r < 0.90:
            sizes.append(rng.randint(1_000, 20_000))
        elif r < 0.98:
            sizes.append(rng.randint(50_000, 500_000))
        else:
            sizes.append(rng.randint(1 * MB, 5 * MB - 64 * 1024))
    sizes[count // 2] = 5 * MB - 64 * 1024
    return sizes


def build_message(i, target, rng):
    from mail_world import japanese_message  # needs Debian's python3 (imports the recorder)
    sender = "member%03d@example.test" % (i % 200)
    subject = "[club] 第%d回 連絡" % i
    if target <= 20_000:
        body = text_of_size(rng, max(200, target - 700) // 2)  # ISO-2022-JP takes about 2 bytes a character
        raw = japanese_message(sender, "club@example.test", subject, body)
    else:
        # Base64 makes 4 characters of 3 bytes, in lines of 76 + CR LF.
        data_size = max(1000, int((target - 2000) * 3 / 4 * 76 / 78))
        name = rng.choice(ATTACHMENT_NAMES)
        if "%" in name:
            name = name % i
        raw = japanese_message(sender, "club@example.test", subject, text_of_size(rng, 300),
                               attachments=[(name, rng.randbytes(data_size))])
    raw = crlf(raw)
    assert len(raw) <= 5 * MB, len(raw)
    return raw


def fsync_baseline(folder, sizes):
    """Writes files of these sizes as the receiver stores them (temporary
    file, write, fsync, rename, fsync of the folder): the cost of durability
    alone."""
    os.makedirs(folder, exist_ok=True)
    blob = b"x" * max(sizes)
    start = time.monotonic()
    for i, size in enumerate(sizes):
        tmp = os.path.join(folder, ".m%d.tmp" % i)
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        os.write(fd, blob[:size])
        os.fsync(fd)
        os.close(fd)
        os.rename(tmp, os.path.join(folder, "m%d" % i))
        dfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(dfd)
        os.close(dfd)
    return time.monotonic() - start


def bench_fetch_and_read(build, count):
    print("\n(a) Fetching and reading %d messages from Dovecot (POP3 on 127.0.0.1)" % count, flush=True)
    rng = random.Random(20260401)
    sizes = message_mix(count, rng)
    messages = [build_message(i, s, rng) for i, s in enumerate(sizes)]
    total = sum(len(m) for m in messages)
    small = sum(1 for m in messages if len(m) < 64 * 1024)
    large = sum(1 for m in messages if len(m) >= MB)
    print("  messages: %d, total %.1f MB (%d under 64 KB, %d from 64 KB to 1 MB, %d of 1 MB or more; "
          "largest %.2f MB)" % (count, total / MB, small, count - small - large, large,
                                max(len(m) for m in messages) / MB))

    work = tempfile.mkdtemp(prefix="kelmora-bench-mail-")
    os.chmod(work, 0o755)
    dovecot = Dovecot()
    try:
        dovecot.start()
        dovecot.add_user("bench", "benchpw")
        server = "127.0.0.1:%d" % dovecot.pop3_port
        for m in messages:
            dovecot.deliver("bench", m)

        # --- kelmora: fetch (RETR, store durably, DELE) ---
        program = os.path.join(work, "program")
        receive = os.path.join(program, "log", "receive")
        os.makedirs(receive)
        fetch_s, proc = run_timed([tool(build, "kelmora_fetchtool"), "fetch", "--server", server, "--user", "bench",
                                   "--password", "benchpw", "--folder", receive])
        names = [n for n in proc.stdout.decode().splitlines() if n.strip()]
        if len(names) != count:
            raise RuntimeError("kelmora_fetchtool stored %d of %d messages" % (len(names), count))
        stored = sum(os.path.getsize(os.path.join(receive, n)) for n in names)
        left = len(dovecot.mailbox("bench"))
        print("  kelmora fetch:       %7.2f s  %8.1f msg/s  %7.1f MB/s  (%d stored, %.1f MB; %d left on the server)"
              % (fetch_s, rate(count, fetch_s), stored / MB / fetch_s, len(names), stored / MB, left))

        # --- kelmora: read each stored message (one process per message) ---
        read_times = []
        failures = 0
        attachments_before = len(os.listdir(receive))
        for n in names:
            seconds, proc = run_timed([tool(build, "kelmora_sendtool"), "read", "--folder", receive, "--name", n],
                                      check=False, timeout=300)
            read_times.append(seconds)
            if proc.returncode != 0 or not proc.stdout.startswith(b"To: "):
                failures += 1
        read_s = sum(read_times)
        saved = len(os.listdir(receive)) - attachments_before
        print("  kelmora read:        %7.2f s  %8.1f msg/s  %7.1f MB/s  (%d failures, %d attachment files saved)"
              % (read_s, rate(count, read_s), stored / MB / read_s, failures, saved))
        spawn = []
        for _ in range(20):
            seconds, _ = run_timed([tool(build, "kelmora_sendtool"), "read", "--folder", receive, "--name",
                                    "no-such-message.eml"], check=False)
            spawn.append(seconds)
        spawn_s = sum(spawn) / len(spawn)
        print("  reference: kelmora_sendtool read of a missing file (process start-up alone): %.1f ms"
              % (1000 * spawn_s))
        net_s = read_s - count * spawn_s
        print("  kelmora read less process start-ups: %.2f s  %8.1f msg/s  %7.1f MB/s"
              % (net_s, rate(count, net_s), stored / MB / net_s if net_s > 0 else float("inf")))
        tenth = max(1, count // 10)
        first, last = read_times[:tenth], read_times[-tenth:]
        print("  kelmora read, mean per message: first %d %.1f ms, last %d %.1f ms"
              % (len(first), 1000 * sum(first) / len(first), len(last), 1000 * sum(last) / len(last)))
        both_s = fetch_s + read_s
        print("  kelmora fetch+read:  %7.2f s  %8.1f msg/s  %7.1f MB/s" % (both_s, rate(count, both_s),
                                                                        stored / MB / both_s))
        durable_s = fsync_baseline(os.path.join(work, "fsync"), [len(m) for m in messages])
        print("  reference: writing the same sizes with fsync+rename+folder fsync alone: %.2f s" % durable_s)

        # --- curl: one process per message, RETR only ---
        for m in messages:
            dovecot.deliver("bench", m)
        out = os.path.join(work, "curl")
        os.makedirs(out)
        start = time.monotonic()
        curl_failures = 0
        for n in range(1, count + 1):
            proc = subprocess.run(["curl", "-s", "-S", "pop3://127.0.0.1:%d/%d" % (dovecot.pop3_port, n),
                                   "-u", "bench:benchpw", "-o", os.path.join(out, "%d.eml" % n)],
                                  capture_output=True, timeout=300)
            curl_failures += proc.returncode != 0
        curl_s = time.monotonic() - start
        got = sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
        print("  curl, one per msg:   %7.2f s  %8.1f msg/s  %7.1f MB/s  (%d failures, %.1f MB, %s kelmora's bytes)"
              % (curl_s, rate(count, curl_s), got / MB / curl_s, curl_failures, got / MB,
                 "same as" if got == stored else "DIFFERENT FROM"))
        shutil.rmtree(out)

        # --- curl: all messages in one process (one session) ---
        os.makedirs(out)
        config = os.path.join(work, "curl.cfg")
        with open(config, "w") as f:
            for n in range(1, count + 1):
                f.write('url = "pop3://127.0.0.1:%d/%d"\noutput = "%s"\n'
                        % (dovecot.pop3_port, n, os.path.join(out, "%d.eml" % n)))
        one_s, proc = run_timed(["curl", "-s", "-S", "-u", "bench:benchpw", "-K", config], check=False)
        got1 = sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
        print("  curl, one session:   %7.2f s  %8.1f msg/s  %7.1f MB/s  (exit %d, %.1f MB)"
              % (one_s, rate(count, one_s), got1 / MB / one_s, proc.returncode, got1 / MB))
        ratio_line("fetch vs curl one per message", fetch_s, curl_s)
        ratio_line("fetch+read vs curl one per message", both_s, curl_s)
        ratio_line("fetch vs curl one session", fetch_s, one_s)
    finally:
        dovecot.stop()
        shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------------------
# (b) One message to many blind-copy recipients


def bench_bcc_send(build, smtp, recipients_count):
    print("\n(b) One message to %d BCC recipients through the SMTP server" % recipients_count, flush=True)
    work = tempfile.mkdtemp(prefix="kelmora-bench-send-")
    try:
        members = ["m%05d@example.test" % i for i in range(1, recipients_count + 1)]
        body = text_of_size(random.Random(7), 2000)
        body_file = os.path.join(work, "body.txt")
        with open(body_file, "w", encoding="utf-8") as f:
            f.write(body)
        rcpt_file = os.path.join(work, "recipients.txt")
        with open(rcpt_file, "w") as f:
            f.write("list@example.test\nbcc\n" + "\n".join(members) + "\n>Message-ID: Kelmora\n")
        server = "127.0.0.1:%d" % smtp.port
        want = recipients_count + 1  # the list address is an envelope recipient too

        def kelmora_send(extra):
            before = smtp.stats()
            seconds, proc = run_timed([tool(build, "kelmora_sendtool"), "send", "--server", server,
                                       "--from", "list@example.test", "--subject", "[list:0001(%d)] お知らせ"
                                       % recipients_count, "--body-file", body_file, "--recipients-file",
                                       rcpt_file, "--log-folder", work] + extra, check=False)
            after = wait_for_stats(smtp, before[0] + 1, before[1] + want)
            return seconds, proc, after[0] - before[0], after[1] - before[1]

        seconds, proc, msgs, rcpts = kelmora_send([])
        print("  kelmora send:                  %7.2f s  %8.0f rcpt/s  (result %r, %d transactions, %d recipients)"
              % (seconds, rate(rcpts, seconds), proc.stdout.decode().strip(), msgs, rcpts))
        one_s, proc1, msgs1, rcpts1 = kelmora_send(["--max-per-transaction", str(want)])
        print("  kelmora send, one transaction: %7.2f s  %8.0f rcpt/s  (result %r, %d transactions, %d recipients)"
              % (one_s, rate(rcpts1, one_s), proc1.stdout.decode().strip(), msgs1, rcpts1))

        # curl: the same kind of message, 5,000 --mail-rcpt in one command.
        from mail_world import japanese_message
        raw = crlf(japanese_message("list@example.test", "list@example.test", "[list:0001] お知らせ", body,
                                    charset="utf-8"))
        msg_file = os.path.join(work, "message.eml")
        with open(msg_file, "wb") as f:
            f.write(raw)
        argv = ["curl", "-s", "-S", "smtp://127.0.0.1:%d/bench.test" % smtp.port, "--mail-from", "list@example.test",
                "--mail-rcpt", "list@example.test"]
        for m in members:
            argv += ["--mail-rcpt", m]
        argv += ["-T", msg_file]
        before = smtp.stats()
        curl_s, proc = run_timed(argv, check=False)
        after = wait_for_stats(smtp, before[0] + 1, before[1] + want)
        print("  curl send:                     %7.2f s  %8.0f rcpt/s  (exit %d, %d transactions, %d recipients)"
              % (curl_s, rate(after[1] - before[1], curl_s), proc.returncode, after[0] - before[0],
                 after[1] - before[1]))
        ratio_line("send", seconds, curl_s)
        ratio_line("send in one transaction", one_s, curl_s)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    args = common_arguments(__doc__.splitlines()[0]).parse_args()
    check_environment(args.build, ["kelmora_fetchtool", "kelmora_sendtool"])
    messages = 100 if args.small else 1000
    recipients = 500 if args.small else 5000
    print("mail_bench: %s sizes, build %s" % ("small" if args.small else "full", args.build))
    bench_fetch_and_read(args.build, messages)
    smtp = make_smtp(args.smtp)
    try:
        bench_bcc_send(args.build, smtp, recipients)
    finally:
        smtp.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
