# SPDX-License-Identifier: GPL-3.0-or-later
"""Kelmora as a user meets it after installing: installed under a prefix
(as `cmake --install --prefix` does), started in an empty home folder; and
the exit statuses that cron and the user units act on."""

import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import harness
from dovecot import free_port as closed_port  # a loopback port nobody listens on
from harness import ProgramFolder, run_kelmora

EXAMPLE = os.path.join(harness.SOURCE, "examples", "club")
END = "終了します。"


class InstalledTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="kelmora-prefix-")
        r = subprocess.run(["cmake", "--install", harness.BUILD, "--prefix", cls.prefix],
                           capture_output=True, timeout=300)
        assert r.returncode == 0, r.stderr.decode()
        cls.bin = os.path.join(cls.prefix, "bin", "kelmora")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kelmora-home-")
        self.folder = os.path.join(self.home, "Kelmora")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def run_installed(self, *args):
        env = dict(os.environ, HOME=self.home)
        return subprocess.run([self.bin] + list(args or ("--once",)), capture_output=True, timeout=120, env=env)

    def main_log(self):
        path = os.path.join(self.folder, "log", "Kelmoralog.txt")
        return harness.read_cp932(path) if os.path.exists(path) else ""

    def test_first_start_copies_the_example_and_checks_mail(self):
        r = self.run_installed()
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(stat.S_IMODE(os.stat(self.folder).st_mode), 0o700, "the folder will hold passwords")
        for name in os.listdir(EXAMPLE):
            path = os.path.join(self.folder, name)
            with open(path, "rb") as copy, open(os.path.join(EXAMPLE, name), "rb") as original:
                self.assertEqual(copy.read(), original.read(), name)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600, name)
        # It said so, naming the folder and the files to edit.
        log = self.main_log()
        self.assertEqual(log.count("初回の起動"), 1, log)
        self.assertIn("<" + self.folder + ">", log)
        self.assertIn("Master.txt", log)
        self.assertIn("初回の起動", r.stdout.decode())
        # The store was opened for the check, and holds no demo messages.
        store = os.path.join(self.folder, "mailstore", "メイン ユーザー")
        self.assertTrue(os.path.isdir(os.path.join(store, "new")))
        for sub in ("new", "cur", ".Outbox/new", ".Outbox/cur"):
            folder = os.path.join(store, sub)
            self.assertEqual(os.listdir(folder) if os.path.isdir(folder) else [], [], sub)

        # The next start finds the rule table and copies nothing over the
        # owner's edits.
        with open(os.path.join(self.folder, "members.txt"), "wb") as f:
            f.write(b"1,owner@example.test,pw\r\n")
        r = self.run_installed()
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(self.main_log().count("初回の起動"), 1)
        with open(os.path.join(self.folder, "members.txt"), "rb") as f:
            self.assertEqual(f.read(), b"1,owner@example.test,pw\r\n")

    def test_a_folder_named_on_the_command_line_is_never_filled(self):
        named = os.path.join(self.home, "lists")
        os.makedirs(named)
        r = self.run_installed("--once", "--dir", named)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), "ファイル<" + os.path.join(named, "Master.csv") + ">がみつかりません。\n"
                         + END + "\n")
        self.assertEqual(os.listdir(named), [], "nothing copied, and no lock file left behind")
        self.assertFalse(os.path.exists(self.folder))


class ExitStatusTest(unittest.TestCase):
    MASTER = "1,club@example.test,members.txt,[club],members.txt,club@example.test,127.0.0.1:%d\n"

    def setUp(self):
        self.folder = ProgramFolder({"Master.txt": self.MASTER % closed_port(),
                                     "members.txt": "1,taro@example.test,pw\n"})

    def tearDown(self):
        self.folder.cleanup()

    def test_a_check_that_logs_a_failure_says_so_in_its_status(self):
        account = ",,5,0,0,0,0,0,9,10,127.0.0.1:%d/club/pw" % closed_port()
        self.folder.write("Kelmora.ini", account + "\n0\n")
        r = run_kelmora(self.folder)
        self.assertEqual(r.returncode, 3, r.stderr.decode())
        self.assertIn("RcvMail", self.folder.read("log/Kelmoralog.txt"))
        self.assertEqual(self.folder.read("Kelmora.ini").splitlines()[0], account, "the settings were still saved")

    def test_without_the_window_program_the_command_says_how_to_run(self):
        # A headless installation: the kelmora command alone.
        alone = tempfile.mkdtemp(prefix="kelmora-headless-")
        try:
            shutil.copy(harness.BIN, alone)
            r = subprocess.run([os.path.join(alone, "kelmora"), "--dir", self.folder.path], capture_output=True,
                               timeout=60)
            self.assertEqual(r.returncode, 2)
            self.assertIn("has no window", r.stderr.decode())
            self.assertIn("--headless", r.stderr.decode())
            self.assertFalse(self.folder.exists("log"), "nothing ran")
        finally:
            shutil.rmtree(alone, ignore_errors=True)

    def test_a_start_that_fails_names_its_cause_and_leaves_no_lock(self):
        cases = [
            ("a broken rule table", {"Master.txt": "1,not-an-address,members.txt,kw,members.txt\n"},
             lambda f: f.file("Master.txt") + " の1行目の受信メールの宛先アドレス<not-an-address>が不正です。"),
            # The log folder cannot be made: a file stands in its place.
            ("no log folder", {"log": "not a folder"},
             lambda f: "Form Load Error。\ncannot create folder " + f.file("log") + ": "),
        ]
        for label, files, message in cases:
            with self.subTest(label):
                folder = ProgramFolder(dict({"Master.txt": self.MASTER % 1, "members.txt": "1,a@example.test\n"},
                                            **files))
                try:
                    r = run_kelmora(folder)
                    self.assertEqual(r.returncode, 1, label)
                    err = r.stderr.decode()
                    self.assertTrue(err.startswith(message(folder)), err)
                    self.assertTrue(err.endswith(END + "\n"), err)
                    self.assertFalse(folder.exists("kelmora.lock"))
                finally:
                    folder.cleanup()


if __name__ == "__main__":
    harness.main()
