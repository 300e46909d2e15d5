# SPDX-License-Identifier: GPL-3.0-or-later
"""build/kelmora with its window, on a private Xvfb display with the openbox
window manager: it refuses to start without a display, starts minimised,
ends on SIGTERM and on closing the window with the settings saved, and
shows a fatal start-up finding in a warning box before exit status 1.
Against a POP3 server that accepts and never answers, the window keeps
answering, its busy window is painted, and the cancel label and SIGTERM
end the hanging transfer within a second (headless too)."""

import os
import shutil
import signal
import socket
import struct
import threading
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


class SilentServer:
    """Accepts connections on loopback and never says a word; records when
    each connection came and when the client closed it."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.opened, self.closed = [], []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.opened.append(time.monotonic())
            threading.Thread(target=self.hold, args=(conn,), daemon=True).start()

    def hold(self, conn):
        with conn:
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass
        self.closed.append(time.monotonic())

    def close(self):
        self.sock.close()


def try_for(predicate, timeout):
    """True once predicate holds, False after timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def painted_colours(xwd):
    """The number of distinct pixel values of an xwd dump (32 bits a pixel)."""
    header = struct.unpack(">25I", xwd[:100])
    size, bits, ncolours = header[0], header[11], header[19]
    if bits != 32:
        raise AssertionError("unexpected xwd depth %d" % bits)
    data = xwd[size + 12 * ncolours:]
    return len(set(data[i:i + 4] for i in range(0, len(data) - 3, 4)))


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
        # Every window mapped on the screen meanwhile: the window manager's
        # frame of a window that flashes up before it is minimised is one.
        maps = subprocess.Popen(["xev", "-root", "-event", "substructure", "-event", "property"],
                                env=self.display.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(maps.stdout), daemon=True)
        reader.start()
        try:
            # The watcher is in place once it sees a root property change.
            for n in range(50):
                self.display.x("xprop", "-root", "-f", "_KELMORA_TEST", "32c", "-set", "_KELMORA_TEST", str(n))
                if try_for(lambda: any(b"PropertyNotify" in line for line in list(lines)), 0.2):
                    break
            self.start()
            window = self.main_window()
            wait_for(lambda: "Iconic" in self.display.x("xprop", "-id", window, "WM_STATE"), 10, "the iconic state")
            time.sleep(0.3)
        finally:
            maps.terminate()
            maps.wait(timeout=10)
            reader.join(timeout=10)
        events = b"".join(lines).decode("utf-8", "replace").split("\n\n")
        self.assertTrue(any(e.startswith("PropertyNotify") for e in events), "the watcher saw nothing")
        mapped = [e for e in events if e.startswith("MapNotify") and "override NO" in e]
        self.assertEqual(mapped, [], "a window showed at a minimised start")
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



class SilentServerTest(unittest.TestCase):
    """The cycle's transfer hangs: the server accepts and never answers."""

    @classmethod
    def setUpClass(cls):
        WindowTest.setUpClass()
        cls.display = WindowTest.display

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.server = SilentServer()
        # Checks every minute: the headless case waits for its first one.
        ini = ",,1,0,0,0,0,0,9,10,127.0.0.1:%d/user/secret\n" % self.server.port
        self.folder = ProgramFolder({"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": ini})
        self.proc = None

    def tearDown(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.server.close()
        self.folder.cleanup()

    def saved(self):
        return "\r\n0\r\n" in self.folder.read("Kelmora.ini")

    def connections(self, n):
        wait_for(lambda: len(self.server.opened) >= n, 20, "connection %d to the silent server" % n)

    def within_a_second(self, predicate, what):
        start = time.monotonic()
        wait_for(predicate, 5, what)
        self.assertLess(time.monotonic() - start, 1.0, what)

    def state(self, window):
        return self.display.x("xprop", "-id", window, "WM_STATE")

    def test_window_answers_and_stops_at_once(self):
        self.proc = subprocess.Popen([harness.BIN, "--dir", self.folder.path], env=self.display.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        window = wait_for(lambda: self.display.windows(self.proc.pid, "Tesh"), 20, "the main window")[0]
        wait_for(lambda: "Iconic" in self.state(window), 10, "the iconic state")
        self.display.x("xdotool", "windowactivate", "--sync", window)
        wait_for(lambda: "Normal" in self.state(window), 10, "the normal state")
        # The test run by its access key; the cycle then hangs in POP3.
        for _ in range(10):
            self.display.x("xdotool", "windowactivate", "--sync", window)
            self.display.x("xdotool", "key", "alt+t")
            if try_for(lambda: self.server.opened, 1.5):
                break
        self.connections(1)
        busy = wait_for(lambda: self.display.windows(self.proc.pid, "^Kelmora$"), 10, "the busy window")[0]
        dump = subprocess.run(["xwd", "-silent", "-id", busy], env=self.display.env, capture_output=True,
                              timeout=10).stdout
        self.assertGreater(painted_colours(dump), 2, "the busy window is blank")
        # A passing notice: no taskbar button, no place in the pager.
        busy_state = self.display.x("xprop", "-id", busy, "_NET_WM_STATE")
        for atom in ("_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"):
            self.assertIn(atom, busy_state)
        self.assertNotIn("SKIP_TASKBAR", self.display.x("xprop", "-id", window, "_NET_WM_STATE"))
        # The window answers while the transfer hangs.
        for _ in range(2):
            self.display.x("xdotool", "windowminimize", window)
            self.within_a_second(lambda: "Iconic" in self.state(window), "minimise")
            self.display.x("xdotool", "windowactivate", window)
            self.within_a_second(lambda: "Normal" in self.state(window), "restore")
        # 処理を中止 (Esc in the main window) aborts the transfer and ends
        # the cycle.
        self.display.x("xdotool", "windowactivate", "--sync", window)
        self.display.x("xdotool", "key", "Escape")
        self.within_a_second(lambda: self.server.closed, "the transfer aborted by 処理を中止")
        # A second test run starts: the first cycle is over.
        for _ in range(10):
            self.display.x("xdotool", "windowactivate", "--sync", window)
            self.display.x("xdotool", "key", "alt+t")
            if try_for(lambda: len(self.server.opened) >= 2, 1.5):
                break
        self.connections(2)
        # Shown again: the window manager forgets a hidden window's state.
        wait_for(lambda: "_NET_WM_STATE_SKIP_TASKBAR" in self.display.x("xprop", "-id", busy, "_NET_WM_STATE"), 5,
                 "skip-taskbar on the busy window shown again")
        self.assertFalse(self.saved())
        self.proc.send_signal(signal.SIGTERM)
        start = time.monotonic()
        self.assertEqual(self.proc.wait(timeout=10), 0, self.proc.stderr.read().decode())
        self.assertLess(time.monotonic() - start, 1.0, "SIGTERM during a hanging transfer")
        self.assertTrue(self.saved())

    def test_headless_sigterm_ends_a_hanging_transfer(self):
        # The clock runs twelve times fast so that the first minute's cycle
        # comes soon; the transfer's own time-outs stay far beyond a second.
        env = dict(os.environ, FAKETIME="+0 x12")
        env["LD_PRELOAD"] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
        self.proc = subprocess.Popen([harness.BIN, "--headless", "--dir", self.folder.path], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.connections(1)
        time.sleep(0.2)
        self.proc.send_signal(signal.SIGTERM)
        start = time.monotonic()
        self.assertEqual(self.proc.wait(timeout=10), 0, self.proc.stderr.read().decode())
        self.assertLess(time.monotonic() - start, 1.0, "SIGTERM during a hanging transfer")
        self.assertTrue(self.saved())


if __name__ == "__main__":
    harness.main()
