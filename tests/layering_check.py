#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Fails when a source file includes a header of a higher layer.

The layers, lowest first: textio; config and log (side by side); the mail
layer, itself a stack: mime; net; smtp and pop3 (side by side); mail (the
component facade and the Inbox); maildir (the local store); then send;
process; app. A file may include headers of its own layer and of the layers
below it, never of one above (layers side by side do not include each
other's headers either).
"""
import pathlib
import re
import sys

RANK = {
    "textio": 0,
    "config": 1, "log": 1,
    "mime": 2,
    "net": 3,
    "smtp": 4, "pop3": 4,
    "mail": 5,
    "maildir": 6,
    "send": 7,
    "process": 8,
    "app": 9,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path: str):
    top = path.split("/", 1)[0]
    return top if top in RANK else None


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    bad = []
    checked = 0
    for folder in RANK:
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp"):
                continue
            checked += 1
            own = layer_of(str(source.relative_to(root)))
            for target in INCLUDE.findall(source.read_text(encoding="utf-8", errors="replace")):
                other = layer_of(target)
                if other is None:
                    if target.startswith("tests/"):
                        bad.append(f"{source.relative_to(root)}: includes test code {target}")
                    continue
                upward = RANK[other] > RANK[own] or (RANK[other] == RANK[own] and other != own)
                if upward:
                    bad.append(f"{source.relative_to(root)} ({own}) includes {target} ({other})")
    for line in bad:
        print(line)
    print(f"{checked} files checked, {len(bad)} upward includes")
    return 1 if bad or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
