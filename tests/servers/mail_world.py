# SPDX-License-Identifier: GPL-3.0-or-later
"""A small world for running build/kelmora against real servers: a private
Dovecot (POP3) holding the list's mailbox, a recording SMTP server, and a
program folder whose data files name them. Used by the end-to-end tests and
by the bundled example."""

import email
import email.header
import email.policy
import os
import re
import shutil
import subprocess
import tempfile
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate, make_msgid

from dovecot import Dovecot


def japanese_message(from_addr, to_addr, subject, body, from_name=None, to_name=None,
                     attachments=(), charset="iso-2022-jp"):
    """A message as a Japanese mail client writes it: ISO-2022-JP text,
    encoded-word subject and names; attachments as (filename, bytes)."""
    text = MIMEText(body, "plain", charset)
    if attachments:
        msg = MIMEMultipart()
        msg.attach(text)
        for filename, data in attachments:
            part = MIMEApplication(data)
            part.add_header("Content-Disposition", "attachment", filename=filename)
            msg.attach(part)
    else:
        msg = text
    msg["From"] = formataddr((str(email.header.Header(from_name, charset)), from_addr)) if from_name else from_addr
    msg["To"] = formataddr((str(email.header.Header(to_name, charset)), to_addr)) if to_name else to_addr
    if subject is not None:
        msg["Subject"] = email.header.Header(subject, charset)
    msg["Date"] = formatdate(localtime=True)
    msg["Message-ID"] = make_msgid(domain="sender.test")
    return msg.as_bytes()


def decoded_subject(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    return str(msg["Subject"] or "")


def decoded_body(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    part = msg.get_body(preferencelist=("plain",)) or msg
    return part.get_content()


def attachments_of(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    return [(p.get_filename(), p.get_content()) for p in msg.iter_attachments()]


def header_of(raw, name):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    return msg[name]


def spam_report(raw, received_hop=True):
    """(score, positive rules, report) of SpamAssassin (local tests only, no
    network) for a message as a member's server receives it. With
    received_hop a made-up Received line is put in front, as the first
    server on the way would add one."""
    if received_hop:
        raw = (b"Received: from mail.example.test (localhost [127.0.0.1])\r\n"
               b"\tby mx.example.test with ESMTP id 4Kq2Zt1x; " + formatdate(localtime=True).encode() + b"\r\n" + raw)
    r = subprocess.run(["spamassassin", "-L", "-t"], input=raw, capture_output=True, timeout=300)
    if r.returncode != 0:
        raise RuntimeError("spamassassin failed: " + r.stderr.decode(errors="replace"))
    out = r.stdout.decode(errors="replace")
    match = re.search(r"^X-Spam-Status: \w+, score=(-?[\d.]+)", out, re.M)
    report = out[out.find("Content analysis details"):]
    positive = [p for p in re.findall(r"^\s*(-?\d+\.\d+) (\S+)", report, re.M) if float(p[0]) > 0]
    return float(match.group(1)), positive, report


class MailWorld:
    """Dovecot + SMTP recorder + program folder. Files are given as text
    (written in code page 932 with CR LF) or bytes; the words SMTP_SERVER
    and POP3_SERVER in them are replaced by the servers' addresses."""

    def __init__(self, files, pop_user="club", pop_password="clubpw", kelmora_bin=None, **smtp_options):
        self.files = files
        self.pop_user = pop_user
        self.pop_password = pop_password
        self.kelmora_bin = kelmora_bin
        self.smtp_options = smtp_options
        self.dovecot = Dovecot()
        self.smtp = None
        self.folder = None
        self._smtp_dir = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.folder = tempfile.mkdtemp(prefix="kelmora-folder-")
        self._smtp_dir = tempfile.mkdtemp(prefix="kelmora-smtp-")
        self.dovecot.start()
        self.dovecot.add_user(self.pop_user, self.pop_password)
        # Imported here: the message helpers above serve scripts/example.py on
        # machines without the test servers' packages (python3-aiosmtpd).
        from smtp_recorder import SmtpRecorder
        self.smtp = SmtpRecorder(self._smtp_dir, **self.smtp_options)
        self.smtp.start()
        for name, content in self.files.items():
            self.write(name, content)

    def stop(self):
        if self.smtp:
            self.smtp.stop()
        self.dovecot.stop()
        for d in (self.folder, self._smtp_dir):
            if d:
                shutil.rmtree(d, ignore_errors=True)

    @property
    def smtp_server(self):
        return "127.0.0.1:%d" % self.smtp.port

    @property
    def pop3_server(self):
        return "127.0.0.1:%d" % self.dovecot.pop3_port

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, content):
        if isinstance(content, str):
            content = content.replace("SMTP_SERVER", self.smtp_server).replace("POP3_SERVER", self.pop3_server)
            content = content.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932")
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read().decode("cp932")

    def deliver(self, raw):
        return self.dovecot.deliver(self.pop_user, raw)

    def deliver_from(self, envelope_sender, raw):
        """Delivers as a mail server does: with a Return-Path header naming
        the envelope sender ("" for a bounce, giving "<>")."""
        return self.deliver(b"Return-Path: <" + envelope_sender.encode() + b">\r\n" + raw)

    def mailbox(self):
        return self.dovecot.mailbox(self.pop_user)

    def sent(self):
        return self.smtp.messages()

    def run(self, *args, timeout=300):
        argv = [self.kelmora_bin, "--once", "--no-wait"] + list(args) + ["--dir", self.folder]
        return subprocess.run(argv, capture_output=True, timeout=timeout)

    def main_log(self):
        p = self.path("log/Kelmoralog.txt")
        return self.read("log/Kelmoralog.txt") if os.path.exists(p) else ""

    def received_files(self):
        d = self.path("log/receive")
        return sorted(n for n in os.listdir(d) if not n.startswith(".")) if os.path.isdir(d) else []
