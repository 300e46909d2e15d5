# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared helpers of the end-to-end tests: program folders with data files
in code page 932, running build/kelmora, and a runner that ends with the
line "N passed, N failed"."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("KELMORA_SOURCE", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("KELMORA_BUILD", os.path.join(SOURCE, "build"))
BIN = os.environ.get("KELMORA_BIN", os.path.join(BUILD, "kelmora"))

sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))


def cp932(text):
    """A data file's bytes: CR LF line ends, code page 932."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932")


def read_cp932(path):
    with open(path, "rb") as f:
        return f.read().decode("cp932")


class ProgramFolder:
    """A temporary program folder, removed again by cleanup()."""

    def __init__(self, files=None):
        self.path = tempfile.mkdtemp(prefix="kelmora-e2e-")
        os.chmod(self.path, 0o755)
        for name, content in (files or {}).items():
            self.write(name, content)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, content):
        path = self.file(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = content if isinstance(content, bytes) else cp932(content)
        with open(path, "wb") as f:
            f.write(data)

    def read_bytes(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def read(self, name):
        return read_cp932(self.file(name))

    def exists(self, name):
        return os.path.exists(self.file(name))

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_kelmora(folder, *args, timeout=120, extra_env=None):
    """Runs kelmora --once on the folder (unless args say otherwise)."""
    argv = [BIN] + list(args or ("--once",)) + ["--dir", folder.path]
    env = dict(os.environ)
    env.update(extra_env or {})
    return subprocess.run(argv, capture_output=True, timeout=timeout, env=env)


def main():
    """Runs the calling module's tests; prints "N passed, N failed" last."""
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules["__main__"])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    # A test whose sub-tests failed counts once.
    failed = len({getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    line = f"{passed} passed, {failed} failed"
    if skipped:
        line += f", {skipped} skipped"
    print(line)
    sys.exit(0 if failed == 0 and result.testsRun > 0 else 1)
