# SPDX-License-Identifier: GPL-3.0-or-later
"""A private Postfix for the tests: its own configuration folder, queue
and ports on 127.0.0.1, started with `postfix -c DIR start` and stopped
again. Nothing of the system's mail setup (/etc/postfix, a system instance)
is read or changed.

    with Postfix(domains=["example.test"]) as mx:
        mx.add_mailbox("club@example.test", "/path/to/Maildir/")
        mx.add_mailbox("taro@example.test")          # a Maildir of its own
        port = mx.add_smtpd()                         # plain SMTP on loopback
        strict = mx.add_smtpd(helo_restrictions="reject_non_fqdn_helo_hostname")
        mx.wait_for_mail(mx.maildir_of("taro@example.test"), 1)

Mailboxes are Maildirs delivered by Postfix's virtual agent as the user
nobody (65534): give a Maildir that other programs own with chown_to_mail.
Any other domain may be routed to a test server (route_domain). Every wait
is bounded. Needs root: `postfix -c` and `sendmail -C` for a private
instance are privileged (other users would need the folder listed in the
system's main.cf).

Postfix.available() tells whether the package is installed; tests skip
with that message when it is not.
"""

import os
import pwd
import shutil
import subprocess
import tempfile
import time

from dovecot import end_master, free_port, wait_for_port

POSTFIX = shutil.which("postfix") or "/usr/sbin/postfix"
SENDMAIL = "/usr/sbin/sendmail"
POSTQUEUE = shutil.which("postqueue") or "/usr/sbin/postqueue"
MAIL_UID = 65534
MAIL_GID = 65534


def chown_to_mail(path):
    """Hands a folder tree to the user the virtual agent delivers as, and
    opens the folders above it for that user."""
    for root, dirs, files in os.walk(path):
        os.chown(root, MAIL_UID, MAIL_GID)
        for name in dirs + files:
            os.chown(os.path.join(root, name), MAIL_UID, MAIL_GID)
    parent = os.path.dirname(os.path.abspath(path))
    while parent and parent != "/":
        mode = os.stat(parent).st_mode
        if mode & 0o011 != 0o011:
            os.chmod(parent, mode | 0o011)
        parent = os.path.dirname(parent)


class Postfix:
    MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
mail_owner = postfix
setgid_group = postdrop
myhostname = mx.example.test
mydomain = example.test
myorigin = example.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtp_bind_address = 127.0.0.1
alias_maps =
alias_database =
local_recipient_maps =
relay_domains =
virtual_mailbox_domains = {domains}
virtual_mailbox_base = /
virtual_mailbox_maps = texthash:{dir}/etc/mailboxes
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
transport_maps = texthash:{dir}/etc/transport
smtp_dns_support_level = disabled
smtp_host_lookup = native
maillog_file = {dir}/maillog
maillog_file_prefixes = {dir}
biff = no
smtputf8_enable = no
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
delay_warning_time = {delay_warning}
bounce_notice_recipient = postmaster
smtpd_recipient_restrictions = permit_mynetworks, reject_unauth_destination
"""

    MASTER_CF = """\
pickup    unix  n       -       n       1       1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

    @staticmethod
    def available():
        """"" when a private Postfix can run here, else why not."""
        if not os.path.exists(POSTFIX) or not os.path.exists(SENDMAIL):
            return "the postfix package is not installed (scripts/test.sh installs it)"
        if os.geteuid() != 0:
            return "a private Postfix instance needs root (postfix -c, sendmail -C)"
        return ""

    def __init__(self, domains=("example.test",), delay_warning="0h"):
        self.domains = list(domains)
        self.delay_warning = delay_warning
        self.dir = None
        self.mailboxes = {}   # address -> Maildir path (ends in "/")
        self.transports = {}  # domain -> "smtp:[127.0.0.1]:port"
        self.services = []    # master.cf lines of the SMTP listeners
        self.ports = []

    # ---- configuration (before start) ----

    @property
    def etc(self):
        return os.path.join(self.dir, "etc")

    def _ensure_dir(self):
        if self.dir is None:
            self.dir = tempfile.mkdtemp(prefix="kelmora-postfix-")
            os.chmod(self.dir, 0o755)
            for sub in ("etc", "queue", "data", "mail"):
                os.makedirs(os.path.join(self.dir, sub), mode=0o755, exist_ok=True)
            # Postfix keeps its locks and caches there as its own user.
            owner = pwd.getpwnam("postfix")
            os.chown(os.path.join(self.dir, "data"), owner.pw_uid, owner.pw_gid)

    def add_mailbox(self, address, maildir=None):
        """Delivers `address` into `maildir` (default: a new one of its own)."""
        self._ensure_dir()
        if maildir is None:
            maildir = os.path.join(self.dir, "mail", address.replace("@", "_at_"))
        maildir = maildir.rstrip("/") + "/"
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        chown_to_mail(maildir)
        self.mailboxes[address] = maildir
        if self.dir and os.path.exists(os.path.join(self.etc, "main.cf")):
            self._write_maps()
        return maildir

    def maildir_of(self, address):
        return self.mailboxes[address]

    def route_domain(self, domain, port):
        """Mail for `domain` goes to the SMTP server on 127.0.0.1:port."""
        self._ensure_dir()
        self.transports[domain] = "smtp:[127.0.0.1]:%d" % port

    def add_smtpd(self, helo_restrictions=None, sasl_socket=None):
        """One more SMTP listener on a free loopback port; returns the port.
        helo_restrictions: smtpd_helo_restrictions of this listener (the
        greeting then has to come first). sasl_socket: a Dovecot auth
        socket; the listener then offers AUTH and relays only for
        authenticated clients."""
        self._ensure_dir()
        port = free_port()
        while port in self.ports:
            port = free_port()
        options = []
        if helo_restrictions:
            options += ["smtpd_helo_required=yes", "smtpd_helo_restrictions=" + helo_restrictions]
        if sasl_socket:
            options += ["smtpd_sasl_auth_enable=yes", "smtpd_sasl_type=dovecot", "smtpd_sasl_path=" + sasl_socket,
                        "smtpd_sasl_security_options=noanonymous",
                        "smtpd_recipient_restrictions=permit_sasl_authenticated,reject"]
        line = "127.0.0.1:%d inet n - n - - smtpd" % port
        line += "".join("\n  -o " + o for o in options)
        self.services.append(line)
        self.ports.append(port)
        return port

    def _write_maps(self):
        with open(os.path.join(self.etc, "mailboxes"), "w") as f:
            for address, maildir in self.mailboxes.items():
                f.write("%s %s\n" % (address, maildir.lstrip("/")))
        with open(os.path.join(self.etc, "transport"), "w") as f:
            for domain, route in self.transports.items():
                f.write("%s %s\n" % (domain, route))

    # ---- life cycle ----

    def start(self, timeout=30.0):
        self._ensure_dir()
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(self.MAIN_CF.format(dir=self.dir, domains=", ".join(self.domains), uid=MAIL_UID,
                                        gid=MAIL_GID, delay_warning=self.delay_warning))
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(self.MASTER_CF + "".join(s + "\n" for s in self.services))
        self._write_maps()
        self._postfix("start", timeout)
        for port in self.ports:
            if not wait_for_port(port, timeout):
                raise RuntimeError("postfix does not listen on %d: %s" % (port, self.log_text()))
        return self

    def stop(self, timeout=30.0):
        if self.dir is None:
            return
        if os.path.exists(os.path.join(self.etc, "main.cf")):
            try:
                self._postfix("stop", timeout, check=False)
            except subprocess.TimeoutExpired:
                pass
            end_master(self._master_pid(), self.ports, timeout)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def _postfix(self, command, timeout, check=True):
        r = subprocess.run([POSTFIX, "-c", self.etc, command], capture_output=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        if check and r.returncode != 0:
            raise RuntimeError("postfix %s failed: %s%s%s" % (command, r.stderr.decode(errors="replace"),
                                                              self._check_text(), self.log_text()))
        return r

    def _check_text(self):
        """What `postfix check` says: it writes to a terminal only."""
        script = shutil.which("script")
        if not script:
            return ""
        r = subprocess.run([script, "-qc", "%s -c %s check" % (POSTFIX, self.etc), "/dev/null"],
                           capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
        return r.stdout.decode(errors="replace")

    def _master_pid(self):
        try:
            with open(os.path.join(self.dir, "queue", "pid", "master.pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    # ---- mail ----

    @property
    def sendmail_command(self):
        """A sendmail command line that submits to this instance."""
        return "%s -C %s" % (SENDMAIL, self.etc)

    def flush(self):
        """Asks the queue manager to try every deferred message now."""
        subprocess.run([POSTQUEUE, "-c", self.etc, "-f"], capture_output=True, timeout=30)

    def log_text(self):
        try:
            with open(os.path.join(self.dir, "maillog"), errors="replace") as f:
                return f.read()
        except (OSError, TypeError):
            return ""

    @staticmethod
    def messages(maildir):
        """The messages of a Maildir (new and cur), oldest first, as bytes."""
        found = []
        for sub in ("new", "cur"):
            folder = os.path.join(maildir, sub)
            if not os.path.isdir(folder):
                continue
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                try:
                    found.append((os.stat(path).st_mtime, name, path))
                except FileNotFoundError:  # moved on by a mail program meanwhile
                    pass
        out = []
        for _, _, path in sorted(found):
            try:
                with open(path, "rb") as f:
                    out.append(f.read())
            except FileNotFoundError:
                pass
        return out

    def wait_for_mail(self, maildir, count, timeout=60.0, flush_every=2.0):
        """Waits until the Maildir holds at least `count` messages; returns
        them. Deferred mail is flushed now and then, so that retries do not
        wait for the queue's own schedule."""
        deadline = time.monotonic() + timeout
        next_flush = time.monotonic() + flush_every
        while True:
            found = self.messages(maildir)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise AssertionError("%d of %d messages arrived in %s within %.0f s\n%s" % (
                    len(found), count, maildir, timeout, self.log_text()[-4000:]))
            if time.monotonic() > next_flush:
                self.flush()
                next_flush = time.monotonic() + flush_every
            time.sleep(0.2)

