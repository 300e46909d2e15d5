# SPDX-License-Identifier: GPL-3.0-or-later
"""A private Dovecot (POP3 and IMAP on 127.0.0.1) for the tests, and a TCP
proxy that cuts connections.

    with Dovecot() as server:
        server.add_user("alice", "alicepw")
        server.deliver("alice", b"Subject: hi\\r\\n\\r\\nbody\\r\\n")
        ... POP3 on 127.0.0.1:server.pop3_port ...

Every instance has its own folder, base_dir, instance name and free ports,
so it never meets a system Dovecot or ports 110/143. Every wait is bounded.
Needs root (Dovecot drops to the mail user 65534 itself).

Dovecot(auth_socket=True) also serves logins to a mail server (Postfix's
SASL) through the socket auth_socket_path.

TLS on request: Dovecot(tls_cert=C, tls_key=K) offers STLS on the POP3 port
(STARTTLS on IMAP) and serves pop3s on pop3s_port; without them there is
no TLS at all. Dovecot(listen=ADDR) listens on ADDR instead of 127.0.0.1
(only inside a private network namespace).
"""

import os
import poplib
import shutil
import signal
import socket
import subprocess
import tempfile
import time

DOVECOT = shutil.which("dovecot") or "/usr/sbin/dovecot"
MAIL_UID = 65534
MAIL_GID = 65534


def free_port(host="127.0.0.1"):
    """A TCP port on host that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0, host="127.0.0.1"):
    """True once something accepts connections on host:port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def port_is_closed(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return False
    except OSError:
        return True


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie child of ours still answers kill(0); reap it if it is one.
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return False
    except ChildProcessError:
        pass
    return True


def end_master(pid, ports, timeout, host="127.0.0.1"):
    """Ends a server's master process (SIGTERM, SIGKILL when it lingers) and
    waits until its listeners on `ports` (None entries skipped) are closed:
    its children close them a little after the master goes."""
    if pid and _pid_alive(pid):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + timeout
        while _pid_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if _pid_alive(pid):
            os.kill(pid, signal.SIGKILL)
            deadline = time.monotonic() + 5
            while _pid_alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if all(p is None or port_is_closed(p, host) for p in ports):
            break
        time.sleep(0.05)


class Dovecot:
    """One private Dovecot instance. start() and stop() may be called
    directly or through `with`."""

    CONFIG = """\
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
info_log_path = {dir}/dovecot.log
instance_name = {instance}
protocols = pop3 imap
listen = {listen}
{ssl}
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
first_valid_uid = 1
mail_location = maildir:~/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {dir}/users
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {dir}/users
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {listen}
    port = {pop3_port}
  }}
  inet_listener pop3s {{
    address = {listen}
    port = {pop3s_port}
  }}
}}
service imap-login {{
  inet_listener imap {{
    address = {listen}
    port = {imap_port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
{auth_socket}"""

    # A login service for a mail server (Postfix's SASL): base_dir/auth-client-test.
    AUTH_SOCKET = """service auth {
  unix_listener auth-client-test {
    mode = 0666
  }
}
"""

    def __init__(self, tls_cert=None, tls_key=None, listen="127.0.0.1", auth_socket=False):
        self.auth_socket = auth_socket
        self.tls_cert = tls_cert
        self.tls_key = tls_key
        self.listen = listen
        self.dir = None
        self.pop3_port = None
        self.pop3s_port = None  # stays None without TLS
        self.imap_port = None
        self.pid = None
        self.users = {}
        self._sequence = 0

    # ---- life cycle ----

    def start(self, timeout=15.0):
        self.dir = tempfile.mkdtemp(prefix="kelmora-dovecot-")
        # The auth and mail processes run as other users: every folder on
        # the way down needs the x bit for others.
        os.chmod(self.dir, 0o755)
        path = os.path.dirname(self.dir)
        while path and path != "/":
            mode = os.stat(path).st_mode
            if mode & 0o011 != 0o011:
                os.chmod(path, mode | 0o011)
            path = os.path.dirname(path)
        for sub in ("run", "state", "mail"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o755, exist_ok=True)
        self._write_users()
        instance = "kelmora-test-%d-%s" % (os.getpid(), os.path.basename(self.dir))
        last_error = ""
        for _ in range(3):  # a port may be taken between free_port() and bind()
            self.pop3_port, self.imap_port = free_port(self.listen), free_port(self.listen)
            while self.imap_port == self.pop3_port:
                self.imap_port = free_port(self.listen)
            ssl = "ssl = no"
            if self.tls_cert:
                self.pop3s_port = free_port(self.listen)
                while self.pop3s_port in (self.pop3_port, self.imap_port):
                    self.pop3s_port = free_port(self.listen)
                ssl = "ssl = yes\nssl_cert = <%s\nssl_key = <%s" % (self.tls_cert, self.tls_key)
            with open(self.config_path, "w") as f:
                f.write(self.CONFIG.format(dir=self.dir, instance=instance, listen=self.listen, ssl=ssl,
                                           pop3_port=self.pop3_port, imap_port=self.imap_port,
                                           pop3s_port=self.pop3s_port or 0,
                                           auth_socket=self.AUTH_SOCKET if self.auth_socket else ""))
            # The master goes to the background and keeps its standard
            # streams: give it a file, never a pipe we would wait on.
            err_path = os.path.join(self.dir, "start.err")
            with open(err_path, "wb") as err:
                proc = subprocess.run([DOVECOT, "-c", self.config_path], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=err, timeout=timeout)
            if proc.returncode == 0 and self._wait_started(timeout):
                return self
            with open(err_path, errors="replace") as f:
                last_error = f.read() + self.log_text()
            self._kill_master(timeout)
        raise RuntimeError("dovecot did not start: " + last_error)

    def stop(self, timeout=15.0):
        """Stops the master and waits until it and the listeners are gone."""
        if self.dir is None:
            return
        self._kill_master(timeout)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def auth_socket_path(self):
        """The login socket a mail server authenticates its clients through
        (with auth_socket=True)."""
        return os.path.join(self.dir, "run", "auth-client-test")

    @property
    def config_path(self):
        return os.path.join(self.dir, "dovecot.conf")

    def log_text(self):
        try:
            with open(os.path.join(self.dir, "dovecot.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _master_pid(self):
        try:
            with open(os.path.join(self.dir, "run", "master.pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    def _wait_started(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.pid = self._master_pid()
            ports = [p for p in (self.pop3_port, self.imap_port, self.pop3s_port) if p]
            if self.pid and all(wait_for_port(p, 0.5, self.listen) for p in ports):
                return True
            time.sleep(0.05)
        return False

    def _kill_master(self, timeout):
        end_master(self._master_pid() or self.pid, (self.pop3_port, self.imap_port, self.pop3s_port), timeout,
                   self.listen)
        self.pid = None

    # ---- users and mail ----

    def _write_users(self):
        lines = ["%s:{PLAIN}%s:%d:%d::%s" % (u, pw, MAIL_UID, MAIL_GID, self.home(u))
                 for u, pw in self.users.items()]
        path = os.path.join(self.dir, "users")
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        os.chmod(path, 0o644)

    def home(self, user):
        return os.path.join(self.dir, "mail", user)

    def maildir(self, user):
        return os.path.join(self.home(user), "Maildir")

    def add_user(self, user, password):
        """Creates the user with an empty Maildir (may be called while running)."""
        self.users[user] = password
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(self.maildir(user), sub), exist_ok=True)
        for root, dirs, _ in os.walk(self.home(user)):
            os.chown(root, MAIL_UID, MAIL_GID)
            for d in dirs:
                os.chown(os.path.join(root, d), MAIL_UID, MAIL_GID)
        os.chown(self.home(user), MAIL_UID, MAIL_GID)
        os.chmod(self.home(user), 0o700)
        if self.dir:
            self._write_users()
            if self.pid:
                self.wait_user_ready(user)

    def wait_user_ready(self, user, timeout=10.0):
        """Waits until the user can log in. Dovecot looks at a changed users
        file at most once a second, so a user added a moment ago may still
        be refused."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                conn = poplib.POP3(self.listen, self.pop3_port, timeout=2)
                try:
                    conn.user(user)
                    conn.pass_(self.users[user])
                    return
                finally:
                    conn.quit()
            except (poplib.error_proto, OSError):
                if time.monotonic() > deadline:
                    raise RuntimeError("dovecot does not accept the new user %s" % user)
                time.sleep(0.2)

    def deliver(self, user, message):
        """Puts one message (bytes) into the user's Maildir/new. Names grow
        with every delivery, so POP3 numbers follow delivery order."""
        self._sequence += 1
        name = "%010d.M%06dP%d.kelmora-test" % (1_600_000_000 + self._sequence, self._sequence, os.getpid())
        tmp = os.path.join(self.maildir(user), "tmp", name)
        with open(tmp, "wb") as f:
            f.write(message)
        os.chown(tmp, MAIL_UID, MAIL_GID)
        os.chmod(tmp, 0o600)
        os.rename(tmp, os.path.join(self.maildir(user), "new", name))
        return name

    def mailbox(self, user):
        """The messages the server holds for the user (bytes), in delivery order."""
        out = []
        names = []
        for sub in ("new", "cur"):
            folder = os.path.join(self.maildir(user), sub)
            for name in os.listdir(folder):
                names.append((name.split(":")[0], os.path.join(folder, name)))
        for _, path in sorted(names):
            with open(path, "rb") as f:
                out.append(f.read())
        return out

