# SPDX-License-Identifier: GPL-3.0-or-later
"""Start-up, fatal findings, single instance and shutdown of build/kelmora."""

import os
import signal
import subprocess
import time
import unittest

import harness
from harness import ProgramFolder, run_kelmora

END = "終了します。"

MASTER = (
    ";宛先,差出人,キーワード,転送先,差出人アドレス,サーバー\n"
    "1,club@example.test,members.txt,[club],members.txt,club@example.test,127.0.0.1:1\n"
    "\n"
    "2,info@example.test,info-list.txt,資料,info-list.txt,info@example.test,127.0.0.1:1\n"
)
MEMBERS = "1,taro@example.test,pw1,2026/01/01-10:00\n2,hanako@example.test,pw2,2026/01/02-11:00\n"
INFO = "1,jiro@example.test\n"


def good_folder(**extra):
    files = {"Master.txt": MASTER, "members.txt": MEMBERS, "info-list.txt": INFO}
    files.update(extra)
    return ProgramFolder(files)


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.folders = []

    def tearDown(self):
        for f in self.folders:
            f.cleanup()

    def folder(self, **extra):
        f = good_folder(**extra)
        self.folders.append(f)
        return f

    def assertFatal(self, folder, message, args=("--once",)):
        before = folder.read_bytes("Kelmora.ini") if folder.exists("Kelmora.ini") else None
        r = run_kelmora(folder, *args)
        self.assertEqual(r.returncode, 1, r.stderr.decode())
        self.assertEqual(r.stderr.decode("utf-8"), message + "\n" + END + "\n")
        after = folder.read_bytes("Kelmora.ini") if folder.exists("Kelmora.ini") else None
        self.assertEqual(before, after, "Kelmora.ini must be left untouched")

    def test_good_folder_runs_one_cycle_and_saves_defaults(self):
        f = self.folder()
        r = run_kelmora(f)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(r.stderr, b"")
        self.assertTrue(os.path.isdir(f.file("log/receive")))
        self.assertEqual(f.read_bytes("Kelmora.ini"), "メイン ユーザー,,20,0,0,0,0,0,9,10\r\n0,0\r\n".encode("cp932"))

    def test_settings_survive_a_run_and_legacy_form_is_rewritten(self):
        # The old one-line form keeps the first rows' sequence numbers at
        # fields 7 to 9; a run must carry them over into the two-line form.
        f = self.folder(**{"Kelmora.ini": "user1,pw,5,1,0,1,0,12,34,56\n"})
        r = run_kelmora(f)
        # Only the default profile is made on first use: the check logs that
        # user1 has no store folder, so --once reports a logged failure.
        self.assertEqual(r.returncode, 3, r.stderr.decode())
        self.assertIn("メールストアのプロファイル<user1>のフォルダ", f.read("log/Kelmoralog.txt"))
        self.assertEqual(f.read("Kelmora.ini"), "user1,pw,5,1,0,1,0,0,9,10\r\n12,34\r\n")

    def test_missing_table_names_the_csv_path(self):
        f = self.folder()
        os.remove(f.file("Master.txt"))
        self.assertFatal(f, "ファイル<" + f.file("Master.csv") + ">がみつかりません。")

    def test_bad_row_is_reported_with_its_data_row_number(self):
        bad = MASTER + ";comment\n3,not-an-address,members.txt,kw,members.txt\n"
        f = self.folder(**{"Master.txt": bad, "Kelmora.ini": "u,,7,0,0,0,0,0,9,10\n3,4\n"})
        self.assertFatal(f, f.file("Master.txt") + " の3行目の受信メールの宛先アドレス<not-an-address>が不正です。")

    def test_bad_address_file_line(self):
        f = self.folder(**{"members.txt": "1,taro@example.test\nno comma here\n"})
        self.assertFatal(f, "members.txtの2行目<no comma here>のデータのカンマが不足です。")

    def test_undelivery_file_faults(self):
        f = self.folder(**{"UnDelivery.txt": ";only a comment\n"})
        self.assertFatal(f, "UnDelivery.txtファイルが空です！")
        f.write("UnDelivery.txt", "User unknown\n<>\n")
        self.assertFatal(f, "UnDelivery.txtファイルの偶数行目のカンマの数が1でない！")
        f.write("UnDelivery.txt", "User unknown\n<,>\n")
        self.assertEqual(run_kelmora(f).returncode, 0)

    def test_empty_user_and_empty_account_field_is_fatal(self):
        f = self.folder(**{"Kelmora.ini": ",,15,0,0,0,0,0,9,10,\n0,0\n"})
        self.assertFatal(f, "Kelmora.ini の１行目：１個目のユーザー名と１１個目のアカウントの両方がカラです。")

    def test_garbage_data_files_do_not_crash(self):
        garbage = bytes(range(256)) * 50 + b"\x81" + b"x" * 100000
        for name in ("Master.txt", "members.txt", "Kelmora.ini", "UnDelivery.txt"):
            f = self.folder(**{name: garbage})
            r = run_kelmora(f)
            self.assertIn(r.returncode, (0, 1, 3), name)  # 3: the check logged what it could not do
            if r.returncode == 1:
                self.assertTrue(r.stderr.decode("utf-8").endswith(END + "\n"), name)

    def test_delay_argument_is_capped_and_shown(self):
        f = self.folder()
        r = run_kelmora(f, "9000", "--once")
        self.assertEqual(r.returncode, 0)
        self.assertIn("ＴＯ転送遅延時間は［5000］ミリ秒に設定されています。", r.stdout.decode())
        r = run_kelmora(f, "-100", "--once")
        self.assertNotIn("ＴＯ転送遅延時間", r.stdout.decode())

    def test_bad_command_line_is_refused(self):
        f = self.folder()
        r = run_kelmora(f, "--once", "--bogus")
        self.assertEqual(r.returncode, 2)
        self.assertIn("unknown option --bogus", r.stderr.decode())


class SingleInstanceTest(unittest.TestCase):
    def test_second_copy_on_same_folder_ends_and_other_folders_run(self):
        a, b = good_folder(), good_folder()
        try:
            first = subprocess.Popen([harness.BIN, "--headless", "--dir", a.path],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                # The first copy holds the lock once its log folder exists.
                deadline = time.monotonic() + 20
                while not os.path.isdir(a.file("log/receive")) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertTrue(os.path.isdir(a.file("log/receive")))
                second = run_kelmora(a)
                self.assertEqual(second.returncode, 4, "another copy holds the folder")
                self.assertEqual(second.stderr.decode(), "２重に起動しようとしました。\n" + END + "\n")
                self.assertEqual(run_kelmora(b).returncode, 0)
            finally:
                first.send_signal(signal.SIGTERM)
                out, err = first.communicate(timeout=20)
            self.assertEqual(first.returncode, 0, err.decode())
            self.assertTrue(a.exists("Kelmora.ini"), "SIGTERM saves the settings")
            # The lock went with the process.
            self.assertEqual(run_kelmora(a).returncode, 0)
        finally:
            a.cleanup()
            b.cleanup()


if __name__ == "__main__":
    harness.main()
