# SPDX-License-Identifier: GPL-3.0-or-later
"""The bundled example list (examples/club) on the local mail store road,
with no server: a program folder holding the example's files, its store's
Maildir to deliver into, and a sendmail stand-in that keeps what it is
given. Also the messages that exercise the list: the demo a new owner sees,
and bounces as mail servers and providers word them. Used by
scripts/example.py and the end-to-end test of the example."""

import email
import email.policy
import json
import os
import shutil
import tempfile
import time

from mail_world import japanese_message

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "club")
PROFILE = "メイン ユーザー"

# Stands in for sendmail: keeps each message with its arguments, numbered.
KEEPING_SENDMAIL = """#!/bin/sh
dir="{dir}"
n=$(ls "$dir" | grep -c '\\.json$')
n=$((n + 1))
cat > "$dir/$n.eml"
/usr/bin/python3 -c 'import json,sys; print(json.dumps(sys.argv[1:]))' "$@" > "$dir/$n.json"
"""


class ExampleFolder:
    """A temporary program folder holding the example's files as shipped."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="kelmora-example-")
        for name in os.listdir(EXAMPLE):
            shutil.copyfile(os.path.join(EXAMPLE, name), self.file(name))
        self.maildir = self.file(os.path.join("mailstore", PROFILE))
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(self.maildir, sub))
        self.kept = self.file("handed-to-sendmail")
        os.makedirs(self.kept)
        self._delivered = 0

    def file(self, name):
        return os.path.join(self.path, name)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read().decode("cp932")

    def set_route(self, sendmail):
        """The profile's route: True for the keeping sendmail, "" for none."""
        line = "sendmail =\n"
        if sendmail:
            script = self.file("keeping-sendmail.sh")
            with open(script, "w") as f:
                f.write(KEEPING_SENDMAIL.format(dir=self.kept))
            os.chmod(script, 0o755)
            line = "sendmail = %s\n" % script
        with open(os.path.join(self.maildir, "profile.ini"), "wb") as f:
            f.write(("; how mail sent through the store leaves\n" + line).replace("\n", "\r\n").encode("cp932"))

    def deliver(self, raws):
        """Puts messages into the store's new/ as a delivery agent would,
        each delivered a second after the one before."""
        base = time.time() - 600
        for raw in raws:
            self._delivered += 1
            name = "%d.M%dP%d.example" % (int(base), self._delivered, os.getpid())
            with open(os.path.join(self.maildir, "tmp", name), "wb") as f:
                f.write(raw)
            os.rename(os.path.join(self.maildir, "tmp", name), os.path.join(self.maildir, "new", name))
            stamp = base + self._delivered
            os.utime(os.path.join(self.maildir, "new", name), (stamp, stamp))

    def maildir_files(self, sub):
        folder = os.path.join(self.maildir, sub)
        return sorted(os.path.join(folder, n) for n in os.listdir(folder)) if os.path.isdir(folder) else []

    def outbox(self):
        return self.maildir_files(".Outbox/new") + self.maildir_files(".Outbox/cur")

    def sendmail_calls(self):
        """(arguments, message) of every call of the keeping sendmail."""
        out = []
        for name in sorted((n for n in os.listdir(self.kept) if n.endswith(".json")), key=lambda n: int(n[:-5])):
            with open(os.path.join(self.kept, name)) as f:
                argv = json.load(f)
            with open(os.path.join(self.kept, name[:-5] + ".eml"), "rb") as f:
                out.append((argv, f.read()))
        return out

    def members(self):
        """The addresses of members.txt, in order."""
        return [line.split(",")[1].strip() for line in self.read("members.txt").splitlines()
                if line.strip() and not line.startswith(";") and "," in line]

    def log(self, name="Kelmoralog.txt"):
        path = self.file(os.path.join("log", name))
        return self.read(os.path.join("log", name)) if os.path.exists(path) else ""

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


# --- bounces, as each mail server or provider words them -------------------
# Each takes the address that could not be reached and gives the text of
# the notice; WORDINGS are failures, DELAYS only say the mail is late.

def postfix(dead):
    return ("This is the mail system at host mail.example.test.\n\n"
            "I'm sorry to have to inform you that your message could not\n"
            "be delivered to one or more recipients. It's attached below.\n\n"
            "For further assistance, please send mail to postmaster.\n\n"
            "If you do so, please include this problem report. You can\n"
            "delete your own text from the attached returned message.\n\n"
            "                   The mail system\n\n"
            "<%s>: host mx.example.test[192.0.2.25] said: 550 5.1.1\n"
            "    <%s>: Recipient address rejected: User unknown in virtual mailbox\n"
            "    table (in reply to RCPT TO command)\n" % (dead, dead))


def exim(dead):
    return ("This message was created automatically by mail delivery software.\n\n"
            "A message that you sent could not be delivered to one or more of its\n"
            "recipients. This is a permanent error. The following address(es) failed:\n\n"
            "  %s\n"
            "    host mx.example.test [192.0.2.25]\n"
            "    SMTP error from remote mail server after RCPT TO:<%s>:\n"
            "    550 5.1.1 User unknown\n" % (dead, dead))


def sendmail(dead):
    return ("The original message was received at Wed, 1 Apr 2026 10:00:00 +0900\n"
            "from localhost [127.0.0.1]\n\n"
            "   ----- The following addresses had permanent fatal errors -----\n"
            "<%s>\n"
            "    (reason: 550 5.1.1 User unknown)\n\n"
            "   ----- Transcript of session follows -----\n"
            "... while talking to mx.example.test.:\n"
            ">>> DATA\n"
            "<<< 550 5.1.1 <%s>... User unknown\n" % (dead, dead))


def qmail(dead):
    return ("Hi. This is the qmail-send program at mail.example.test.\n"
            "I'm afraid I wasn't able to deliver your message to the following addresses.\n"
            "This is a permanent error; I've given up. Sorry it didn't work out.\n\n"
            "<%s>:\n"
            "Sorry, no mailbox here by that name. (#5.1.1)\n" % dead)


def gmail(dead):
    return ("** Address not found **\n\n"
            "Your message wasn't delivered to %s because the address couldn't be found, "
            "or is unable to receive mail.\n\n"
            "The response from the remote server was:\n"
            "550 5.1.1 The email account that you tried to reach does not exist.\n" % dead)


def outlook(dead):
    local, domain = dead.split("@")
    return ("Your message to %s couldn't be delivered.\n"
            "%s wasn't found at %s.\n\n"
            "club            Office 365      %s\n"
            "Action Required                 Recipient\n"
            "Unknown To address\n" % (dead, local, domain, local))


def exchange(dead):
    return ("Delivery has failed to these recipients or groups:\n\n"
            "%s (%s)\n"
            "The e-mail address you entered couldn't be found. Please check the recipient's e-mail address "
            "and try to resend the message.\n" % (dead, dead))


def yahoo(dead):
    return ("Sorry, we were unable to deliver your message to the following address.\n\n"
            "<%s>:\n"
            "554: delivery error: dd This user doesn't have an account\n" % dead)


def postfix_delay(late):
    return ("This is the mail system at host mail.example.test.\n\n"
            "####################################################################\n"
            "# THIS IS A WARNING ONLY.  YOU DO NOT NEED TO RESEND YOUR MESSAGE. #\n"
            "####################################################################\n\n"
            "Your message could not be delivered for more than 4 hour(s).\n"
            "It will be retried until it is 5 day(s) old.\n\n"
            "                   The mail system\n\n"
            "<%s>: connect to mx.example.test[192.0.2.25]:25: Connection timed out\n" % late)


def exim_delay(late):
    return ("This message was created automatically by mail delivery software.\n"
            "A message that you sent has not yet been delivered to one or more of its\n"
            "recipients after more than 24 hours on the queue on mail.example.test.\n\n"
            "The address(es) which have not yet been delivered are:\n\n"
            "  %s\n"
            "    host mx.example.test [192.0.2.25]\n"
            "    SMTP error from remote mail server after RCPT TO:<%s>:\n"
            "    451 4.3.0 Temporary failure\n\n"
            "No action is required on your part. Delivery attempts will continue for\n"
            "some time, and this warning may be repeated at intervals if the message\n"
            "remains undelivered. Eventually the mail delivery software will give up,\n"
            "and when that happens, the message will be returned to you.\n" % (late, late))


def sendmail_delay(late):
    return ("    **********************************************\n"
            "    **      THIS IS A WARNING MESSAGE ONLY      **\n"
            "    **  YOU DO NOT NEED TO RESEND YOUR MESSAGE  **\n"
            "    **********************************************\n\n"
            "The original message was received at Wed, 1 Apr 2026 10:00:00 +0900\n"
            "from localhost [127.0.0.1]\n\n"
            "   ----- The following addresses had transient non-fatal errors -----\n"
            "<%s>\n\n"
            "   ----- Transcript of session follows -----\n"
            "<%s>... Deferred: Connection timed out with mx.example.test.\n"
            "Warning: message still undelivered after 4 hours\n" % (late, late))


WORDINGS = {
    "Postfix": (postfix, "MAILER-DAEMON@mail.example.test", "Undelivered Mail Returned to Sender"),
    "Exim": (exim, "Mailer-Daemon@mail.example.test", "Mail delivery failed: returning message to sender"),
    "Sendmail": (sendmail, "MAILER-DAEMON@mail.example.test", "Returned mail: see transcript for details"),
    "qmail": (qmail, "MAILER-DAEMON@mail.example.test", "failure notice"),
    "Gmail": (gmail, "mailer-daemon@googlemail.com", "Delivery Status Notification (Failure)"),
    "Outlook": (outlook, "postmaster@outlook.com", "Undeliverable: 撮影会のお知らせ"),
    "Exchange": (exchange, "postmaster@mail.example.test", "Undeliverable: 撮影会のお知らせ"),
    "Yahoo": (yahoo, "MAILER-DAEMON@yahoo.com", "Failure Notice"),
}
DELAYS = {
    "Postfix": (postfix_delay, "MAILER-DAEMON@mail.example.test", "Delayed Mail (still being retried)"),
    "Exim": (exim_delay, "Mailer-Daemon@mail.example.test", "Warning: message 1wXyZ-000123-AB delayed 24 hours"),
    "Sendmail": (sendmail_delay, "MAILER-DAEMON@mail.example.test", "Warning: could not send message for past 4 hours"),
}


def text_bounce(kind, address, to="club@example.test"):
    """A bounce of one kind (a WORDINGS or DELAYS entry) as plain text, the
    way servers without delivery reports, and forwarded bounces, arrive."""
    body, sender, subject = kind
    msg = email.message.EmailMessage(policy=email.policy.SMTP)
    msg["From"] = "Mail Delivery System <%s>" % sender
    msg["To"] = to
    msg["Subject"] = subject
    msg["Date"] = email.utils.formatdate(localtime=True)
    msg["Message-ID"] = email.utils.make_msgid(domain="mail.example.test")
    msg["Auto-Submitted"] = "auto-replied"
    msg.set_content(body(address))
    return b"Return-Path: <>\r\n" + msg.as_bytes()


def postfix_report(dead, to="club@example.test"):
    """A delivery status notification exactly as Postfix sends one: the
    readable text, the report for machines, and the returned headers."""
    boundary = "7A1B2C3D4E.1775005200/mail.example.test"
    text = postfix(dead).replace("\n", "\r\n")
    return ("Return-Path: <>\r\n"
            "From: MAILER-DAEMON@mail.example.test (Mail Delivery System)\r\n"
            "To: %(to)s\r\n"
            "Subject: Undelivered Mail Returned to Sender\r\n"
            "Date: Wed, 1 Apr 2026 10:00:05 +0900 (JST)\r\n"
            "Message-Id: <20260401010005.9F8E7D6C5B@mail.example.test>\r\n"
            "Auto-Submitted: auto-replied\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/report; report-type=delivery-status;\r\n"
            "\tboundary=\"%(b)s\"\r\n\r\n"
            "This is a MIME-encapsulated message.\r\n\r\n"
            "--%(b)s\r\n"
            "Content-Description: Notification\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n\r\n"
            "%(text)s\r\n"
            "--%(b)s\r\n"
            "Content-Description: Delivery report\r\n"
            "Content-Type: message/delivery-status\r\n\r\n"
            "Reporting-MTA: dns; mail.example.test\r\n"
            "X-Postfix-Queue-ID: 7A1B2C3D4E\r\n"
            "Arrival-Date: Wed,  1 Apr 2026 10:00:00 +0900 (JST)\r\n\r\n"
            "Final-Recipient: rfc822; %(dead)s\r\n"
            "Original-Recipient: rfc822;%(dead)s\r\n"
            "Action: failed\r\n"
            "Status: 5.1.1\r\n"
            "Remote-MTA: dns; mx.example.test\r\n"
            "Diagnostic-Code: smtp; 550 5.1.1 <%(dead)s>: Recipient address rejected: User unknown\r\n\r\n"
            "--%(b)s\r\n"
            "Content-Description: Undelivered Message Headers\r\n"
            "Content-Type: text/rfc822-headers\r\n\r\n"
            "From: club@example.test\r\n"
            "To: club@example.test\r\n"
            "Subject: [club:0001(4)] =?UTF-8?B?5qyh5Zue44Gu5pKu5b2x5Lya44Gr44Gk44GE44Gm?=\r\n\r\n"
            "--%(b)s--\r\n" % {"to": to, "b": boundary, "text": text, "dead": dead}).encode("ascii")


def demo_messages():
    """What reaches the example list in its first days, in delivery order:
    a member's post, a stranger asking for the introduction, a stranger
    joining, a member leaving the way List-Unsubscribe offers, a bounce of
    a post, a reply to the post, a stranger's post and junk."""
    return [
        japanese_message("taro@example.test", "club@example.test", "次回の撮影会について",
                         "皆さん、次回は４月１３日（土）に公園で撮影会をします。\n地図を添付します。",
                         from_name="山田太郎", to_name="さくら写真クラブ",
                         attachments=[("地図.txt", "駅から北へ５分".encode("utf-8"))]),
        japanese_message("yoshiko@example.test", "info@example.test", "クラブの案内をください",
                         "入会を考えています。", from_name="佐藤良子"),
        japanese_message("saburo@example.test", "join@example.test", "参加希望です",
                         "よろしくお願いします。", from_name="鈴木三郎"),
        japanese_message("jiro@example.test", "leave@example.test", "退会", "", from_name="田中次郎"),
        postfix_report("shiro@example.test"),
        japanese_message("hanako@example.test", "club@example.test", "Re: 次回の撮影会について",
                         "参加します。三郎さん、ようこそ！", from_name="花子"),
        japanese_message("stranger@spam.test", "club@example.test", "格安のご案内", "今だけの特価です。"),
        japanese_message("junk@spam.test", "club@example.test", None, "open the attachment",
                         attachments=[("invoice.exe", b"MZ\x90\x00not really")]),
    ]
