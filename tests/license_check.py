# SPDX-License-Identifier: GPL-3.0-or-later
"""Every source file says under which licence it stands: an SPDX line in its
first comment, naming the licence of LICENSE and debian/copyright. A file
without one (a new file, a file copied in from elsewhere) fails the check,
so the licence of a release can always be stated.

    license_check.py SOURCE_DIR"""

import os
import sys

SPDX = "SPDX-License-Identifier: GPL-3.0-or-later"
FOLDERS = ("app", "textio", "config", "log", "mime", "net", "smtp", "pop3", "mail", "maildir", "send", "process",
           "tests", "bench", "scripts", "cmake")
SUFFIXES = (".cpp", ".h", ".py", ".sh", ".cmake", ".1")
SINGLE_FILES = ("CMakeLists.txt", ".ci/run", "debian/rules", "packaging/kelmora.1", "packaging/icons/render.sh")
HEAD_LINES = 5  # the licence line stands in the first comment, near the top


def sources(root):
    for folder in FOLDERS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
            dirnames[:] = [d for d in dirnames if d != "__pycache__"]
            for name in filenames:
                if name.endswith(SUFFIXES) or name == "CMakeLists.txt":
                    yield os.path.join(dirpath, name)
    for name in SINGLE_FILES:
        yield os.path.join(root, name)


def missing_licence(root):
    bad = []
    for path in sorted(set(sources(root))):
        with open(path, encoding="utf-8", errors="replace") as f:
            head = [f.readline() for _ in range(HEAD_LINES)]
        if not any(SPDX in line for line in head):
            bad.append(os.path.relpath(path, root))
    return bad


def main():
    root = sys.argv[1]
    problems = ["%s: no '%s' in its first %d lines" % (p, SPDX, HEAD_LINES) for p in missing_licence(root)]
    with open(os.path.join(root, "LICENSE"), encoding="utf-8") as f:
        head = f.read(300)
    if "GNU GENERAL PUBLIC LICENSE" not in head or "Version 3" not in head:
        problems.append("LICENSE is not the text of the GNU GPL version 3")
    with open(os.path.join(root, "debian", "copyright"), encoding="utf-8") as f:
        if "License: GPL-3+" not in f.read():
            problems.append("debian/copyright does not name GPL-3+")
    for p in problems:
        print(p)
    print("licence check: %d problem(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
