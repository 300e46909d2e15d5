#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Kelmora over a slow link: a relay holds every chunk for 25 ms in each
direction (50 ms round trips) in front of the test SMTP server (the
recorder, announcing PIPELINING, with STARTTLS) and a private Dovecot
(POP3 with STLS; it lists PIPELINING in CAPA). Side by side in one run:

  fan-out  one post to 500 members: kelmora_sendtool (transactions of 100);
           curl, one transaction of 100 recipients after another, each its
           own connection (libcurl waits for every RCPT reply); and the
           round-trip floor.
  fetch    100 messages of 10-100 KB fetched and deleted: kelmora_fetchtool
           (stored durably before DELE); curl fetching every message into a
           file in one session, sync -f, DELE of every message in a second
           session; and the floor.

The floor counts round trips only, each 2 x delay: the TCP handshake and
the greeting (2), EHLO or CAPA (1), STARTTLS/STLS, the TLS 1.3 handshake
and the second EHLO/CAPA (3), for POP3 the login (AUTH PLAIN with its
initial response, 1) and LIST and UIDL (2); then 2 per SMTP transaction or per
POP3 batch (the pipelined RETR window and its DELEs), and the answer to
QUIT (1).

Usage (as root, Debian's /usr/bin/python3):
  bench/latency_bench.py [--build DIR] [--runs N] [--delay S]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))

from dovecot import Dovecot  # noqa: E402
from relay import Relay  # noqa: E402
from smtp_recorder import SmtpRecorder  # noqa: E402

USER, PASSWORD = "club", "clubpw"
MEMBERS = 500
PER_TRANSACTION = 100
MESSAGES = 100
POP3_BATCH = 64  # messages per committed batch


def make_certificate(work):
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def post_text():
    return ("From: owner@example.org\r\nTo: list@example.org\r\nSubject: [club:0001] latency\r\n\r\n"
            + "A post to every member.\r\n" * 40)


def messages(rng):
    out = []
    for i in range(MESSAGES):
        size = rng.randint(10_000, 100_000)
        body = "".join(rng.choice("abcdefghij ") for _ in range(76)) + "\r\n"
        text = ("From: m%d@example.jp\r\nTo: club@example.jp\r\nSubject: message %d\r\n\r\n" % (i, i)
                + body * (size // len(body)))
        out.append(text.encode("ascii"))
    return out


def timed(argv, **kwargs):
    start = time.monotonic()
    proc = subprocess.run(argv, capture_output=True, timeout=600, **kwargs)
    seconds = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit("%s failed (%d): %s %s" % (argv[0], proc.returncode, proc.stdout.decode()[-300:],
                                            proc.stderr.decode()[-300:]))
    return seconds


def fan_out_kelmora(build, port, cert, work, members):
    items = os.path.join(work, "items.txt")
    with open(items, "w") as f:
        f.write("\n".join(["@members", "bcc"] + members) + "\n")
    body = os.path.join(work, "body.txt")
    with open(body, "w") as f:
        f.write("A post to every member.\n" * 40)
    prog = os.path.join(work, "program")
    os.makedirs(prog, exist_ok=True)
    return timed([os.path.join(build, "kelmora_sendtool"), "send", "--server", "smtp://127.0.0.1:%d" % port,
                  "--from", "owner@example.org", "--subject", "[club:0001] latency", "--body-file", body,
                  "--recipients-file", items, "--log-folder", prog, "--ca-file", cert,
                  "--max-per-transaction", str(PER_TRANSACTION)])


def fan_out_curl(port, cert, work, members):
    message = os.path.join(work, "post.eml")
    with open(message, "wb") as f:
        f.write(post_text().encode("ascii"))
    start = time.monotonic()
    for i in range(0, len(members), PER_TRANSACTION):
        argv = ["curl", "-s", "-S", "--ssl-reqd", "--cacert", cert, "--url", "smtp://127.0.0.1:%d/bench.example" % port,
                "--mail-from", "owner@example.org", "-T", message]
        for m in members[i:i + PER_TRANSACTION]:
            argv += ["--mail-rcpt", m]
        subprocess.run(argv, check=True, capture_output=True, timeout=600)
    return time.monotonic() - start


def fetch_kelmora(build, port, cert, work):
    folder = os.path.join(work, "receive")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    seconds = timed([os.path.join(build, "kelmora_fetchtool"), "fetch", "--server", "127.0.0.1:%d" % port,
                     "--user", USER, "--password", PASSWORD, "--folder", folder, "--settle-all",
                     "--ca-file", cert])
    got = len([n for n in os.listdir(folder) if n.endswith(".eml")])
    shutil.rmtree(folder)
    return seconds, got


def fetch_curl(port, cert, work, count):
    out = os.path.join(work, "curl-out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    base = "pop3://127.0.0.1:%d/" % port
    config = os.path.join(work, "retr.cfg")
    with open(config, "w") as f:
        for n in range(1, count + 1):
            f.write('url = "%s%d"\noutput = "%s"\n' % (base, n, os.path.join(out, "%d.eml" % n)))
    common = ["curl", "-s", "-S", "--ssl-reqd", "--cacert", cert, "-u", "%s:%s" % (USER, PASSWORD)]
    start = time.monotonic()
    subprocess.run(common + ["-K", config], check=True, timeout=600)
    subprocess.run(["sync", "-f", out], check=True, timeout=600)
    subprocess.run(common + ["-X", "DELE", "-I"] + [base + str(n) for n in range(1, count + 1)],
                   check=True, timeout=600, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    got = len(os.listdir(out))
    shutil.rmtree(out)
    return seconds, got


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--delay", type=float, default=0.025, help="seconds each direction is held")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("the private Dovecot needs root: run this as root")
    rtt = 2 * args.delay
    work = tempfile.mkdtemp(prefix="kelmora-latency-")
    os.chmod(work, 0o755)
    rng = random.Random(22)
    cert, key = make_certificate(work)
    recorder = SmtpRecorder(os.path.join(work, "rec"), pipelining=True, tls_cert=cert, tls_key=key)
    recorder.start()
    dovecot = Dovecot(tls_cert=cert, tls_key=key).start()
    dovecot.add_user(USER, PASSWORD)
    dovecot.wait_user_ready(USER)
    members = ["member%03d@example.net" % i for i in range(MEMBERS)]
    mail = messages(rng)
    transactions = MEMBERS // PER_TRANSACTION
    batches = -(-MESSAGES // POP3_BATCH)
    trips_smtp = 2 + 1 + 3 + 2 * transactions + 1
    trips_pop3 = 2 + 1 + 3 + 1 + 2 + 2 * batches + 1
    results = {}
    try:
        # The same relay without delay first: what the programs, the servers
        # and the relay cost by themselves on this machine.
        for delay in (0.0, args.delay):
            smtp_relay = Relay(recorder.port, delay=delay, record=False).start()
            pop3_relay = Relay(dovecot.pop3_port, delay=delay, record=False).start()
            try:
                times = {"fan-out kelmora": [], "fan-out curl": [], "fetch kelmora": [], "fetch curl": []}
                for _ in range(args.runs):
                    before = len(recorder.messages())
                    times["fan-out kelmora"].append(fan_out_kelmora(args.build, smtp_relay.port, cert, work, members))
                    times["fan-out curl"].append(fan_out_curl(smtp_relay.port, cert, work, members))
                    reached = sum(len(m["rcpt_tos"]) for m in recorder.messages()[before:])
                    if reached != 2 * MEMBERS:
                        print("  MISMATCH: %d of %d recipients recorded" % (reached, 2 * MEMBERS))
                    for who in ("kelmora", "curl"):
                        for m in mail:
                            dovecot.deliver(USER, m)
                        if who == "kelmora":
                            seconds, got = fetch_kelmora(args.build, pop3_relay.port, cert, work)
                        else:
                            seconds, got = fetch_curl(pop3_relay.port, cert, work, MESSAGES)
                        times["fetch " + who].append(seconds)
                        left = len(dovecot.mailbox(USER))
                        if got != MESSAGES or left:
                            print("  MISMATCH (%s): %d of %d fetched, %d left" % (who, got, MESSAGES, left))
                results[delay] = times
            finally:
                smtp_relay.stop()
                pop3_relay.stop()
    finally:
        dovecot.stop()
        recorder.stop()
        shutil.rmtree(work, ignore_errors=True)

    print("Round trip through the relay: %.0f ms; %d run(s) each, medians" % (rtt * 1000, args.runs))
    print("'no delay': the same relay without delay; 'link cost': the difference.")
    for title, key, trips in (
            ("Fan-out: one post to %d members, %d transactions" % (MEMBERS, transactions), "fan-out", trips_smtp),
            ("Fetch and delete: %d messages, %.1f MB, %d batches" % (
                MESSAGES, sum(len(m) for m in mail) / 1e6, batches), "fetch", trips_pop3)):
        floor = rtt * trips
        print("\n" + title)
        print("  %-10s %10s %10s %10s %14s" % ("", "50 ms RTT", "no delay", "link cost", "total/floor"))
        for who in ("kelmora", "curl"):
            slow = statistics.median(results[args.delay][key + " " + who])
            fast = statistics.median(results[0.0][key + " " + who])
            print("  %-10s %9.2fs %9.2fs %9.2fs %13.1fx" % (who, slow, fast, slow - fast, slow / floor))
        print("  %-10s %9.2fs   (%d round trips)" % ("floor", floor, trips))
        k = statistics.median(results[args.delay][key + " kelmora"])
        c = statistics.median(results[args.delay][key + " curl"])
        print("  curl/kelmora at 50 ms: %.1fx" % (c / k))


if __name__ == "__main__":
    main()
