# SPDX-License-Identifier: GPL-3.0-or-later
"""build/kelmora with its window, on a private Xvfb display with the openbox
window manager: it refuses to start without a display, starts minimised,
ends on SIGTERM and on closing the window with the settings saved, and
shows a fatal start-up finding in a warning box before exit status 1."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import ProgramFolder

MASTER = "1,club@example.test,,[club],members.txt,club@example.test,127.0.0.1:1,,,,,,,,\n"
MEMBERS = "1,taro@example.test,pw1,2026/01/01-10:00\n"
# No line of sequence numbers: a save writes one, so a save is visible.
INI = ",,20,0,0,0,0,0,9,10\n"


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Display:
    """Xvfb on a free display number, with openbox running on it."""

    def __init__(self):
        self.runtime = tempfile.mkdtemp(prefix="kelmora-xdg-")
        os.chmod(self.runtime, 0o700)
        self.xvfb = self.wm = None
        try:
            self.start()
        except BaseException:
            self.close()
            raise

    def start(self):
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        self.env["DISPLAY"] = ":" + number
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.x("xprop", "-root"), 30, "openbox")

    def x(self, *argv):
        r = subprocess.run(list(argv), env=self.env, capture_output=True, timeout=10)
        return r.stdout.decode("utf-8", "replace")

    def windows(self, pid, name):
        out = self.x("xdotool", "search", "--all", "--pid", str(pid), "--name", name)
        return [w for w in out.split() if w.strip()]

    def close(self):
        for p in (self.wm, self.xvfb):
            if p is None:
                continue
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=5)
        shutil.rmtree(self.runtime, ignore_errors=True)


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A build configured without the window has nothing to test here.
        probe = subprocess.run([harness.BIN, "--dir", "/"], env={"PATH": os.environ.get("PATH", "")},
                               capture_output=True, timeout=30)
        if b"has no window" in probe.stderr:
            raise unittest.SkipTest("kelmora was built without the window")
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.folder = ProgramFolder({"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": INI})
        self.proc = None

    def tearDown(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.folder.cleanup()

    def start(self):
        self.proc = subprocess.Popen([harness.BIN, "--dir", self.folder.path], env=self.display.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return self.proc

    def main_window(self):
        return wait_for(lambda: self.display.windows(self.proc.pid, "Tesh"), 20, "the main window")[0]

    def press_until_exit(self, window, key):
        """Focuses the window and presses the key (the window manager may
        take a moment to hand over the focus) until the program ends."""
        for _ in range(10):
            self.display.x("xdotool", "windowactivate", "--sync", window)
            self.display.x("xdotool", "key", key)
            try:
                return self.proc.wait(timeout=2)
            except subprocess.TimeoutExpired:
                pass
        return self.proc.wait(timeout=10)

    def saved(self):
        return self.folder.read("Kelmora.ini") != INI.replace("\n", "\r\n")

    def test_without_a_display_it_suggests_headless(self):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        r = subprocess.run([harness.BIN, "--dir", self.folder.path], env=env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        lines = r.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("--headless", lines[0])
        self.assertFalse(self.saved())
        self.assertFalse(self.folder.exists("log"))

    def test_starts_minimised_and_sigterm_ends_it_saved(self):
        self.start()
        window = self.main_window()
        wait_for(lambda: "Iconic" in self.display.x("xprop", "-id", window, "WM_STATE"), 10, "the iconic state")
        self.assertIn("Tesh 私設メーリングリスト", self.display.x("xprop", "-id", window, "_NET_WM_NAME"))
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=20), 0, self.proc.stderr.read().decode())
        self.assertTrue(self.saved())

    def test_closing_the_opened_window_ends_it_saved(self):
        self.start()
        window = self.main_window()
        # The program minimises itself once the window is shown; opening it
        # before that would be undone by it.
        wait_for(lambda: "Iconic" in self.display.x("xprop", "-id", window, "WM_STATE"), 10, "the iconic state")
        self.display.x("xdotool", "windowactivate", "--sync", window)
        wait_for(lambda: "Normal" in self.display.x("xprop", "-id", window, "WM_STATE"), 10, "the normal state")
        self.assertIsNone(self.proc.poll())
        self.assertFalse(self.saved())
        self.assertEqual(self.press_until_exit(window, "alt+F4"), 0, self.proc.stderr.read().decode())
        self.assertTrue(self.saved())

    def test_fatal_finding_shows_a_warning_box_then_exit_1(self):
        self.folder.write("Master.txt", MASTER.replace("members.txt", "absent.txt"))
        self.start()
        box = wait_for(lambda: self.display.windows(self.proc.pid, "Kelmora"), 20, "the warning box")[0]
        self.assertIsNone(self.proc.poll())  # waits for the user
        self.assertEqual(self.press_until_exit(box, "Return"), 1)
        err = self.proc.stderr.read().decode("utf-8")
        self.assertIn("absent.txt", err)
        self.assertTrue(err.endswith("\n終了します。\n"), err)
        self.assertFalse(self.saved())


if __name__ == "__main__":
    harness.main()
