#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Random kills of the local store road: 150 list posts delivered into the
store, build/kelmora --once killed with SIGKILL at 60 random moments while
it posts through a slow recording sendmail, then left to finish. Prints
who got what: every member must get every post, no message may be empty,
no list number may be used by two posts, and at most a few posts may
reach the members twice (the one repeat any hand-off to a mail server
allows: the server took the post, the program died before it heard so).

    /usr/bin/python3 bench/store_kill_bench.py [--posts N] [--kills N] [--seed N]
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402  (sets up the servers' path)
from store_world import random_kill_run  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--posts", type=int, default=150)
    parser.add_argument("--kills", type=int, default=60)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--sendmail-delay", type=float, default=0.25, help="seconds the sendmail stand-in takes")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(harness.BIN):
        sys.exit("build/kelmora is missing: run scripts/setup.sh first")
    figures = random_kill_run(args.posts, args.kills, args.seed, sendmail_delay=args.sendmail_delay,
                              say=print if args.verbose else lambda _: None)
    log = figures.pop("log")
    print(json.dumps(figures, indent=2, ensure_ascii=False))
    print("main log lines:", len(log.splitlines()))
    for line in log.splitlines():
        print("   ", line)
    good = not figures["missing"] and figures["empty_messages"] == 0 and not figures["numbers_reused"] and \
        not figures["processed_twice"] and figures["left_waiting"] == 0
    print("every member got every post:" if good else "FAULT:",
          "%d of %d posts twice" % (len(figures["posts_twice"]), figures["posts"]))
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
