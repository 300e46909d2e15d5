# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs the bundled example list (examples/club) for real, with no server.

The example's files go into a fresh program folder as they are shipped; the
demo messages (a post, requests to join, to leave and for the club's
introduction, a bounce, a reply, a stranger's post and junk) are delivered
into the Maildir of its local mail store, and build/kelmora --once handles
them. First the store has no way to send, so the answers wait in .Outbox
and the main log says why; then the store's profile names a sendmail
command (one that keeps what it is given) and the next check sends them.
The script shows every message that went out and the files that changed.

When the test servers are installed (scripts/test.sh installs them), the
same list then runs once more over POP3 and SMTP."""

import os
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))

from example_club import ExampleFolder, demo_messages  # noqa: E402
from mail_world import attachments_of, decoded_body, decoded_subject, header_of  # noqa: E402

KELMORA = os.path.join(ROOT, "build", "kelmora")


def hide_passwords(ini_text):
    """Kelmora.ini with the password fields blanked out, for the screen:
    the second field of line 1 and the last part of each A/B/Password
    account."""
    lines = ini_text.splitlines()
    if lines:
        fields = lines[0].split(",")
        if len(fields) > 1 and fields[1]:
            fields[1] = "***"
        for i in range(10, len(fields)):
            head, sep, _ = fields[i].rpartition("/")
            if sep:
                fields[i] = head + "/***"
        lines[0] = ",".join(fields)
    return "\n".join(lines)


def show_message(label, raw, extra="", envelope=None):
    print("-- %s --%s" % (label, extra))
    if envelope is not None:
        print("   envelope from: %s" % envelope[0])
        print("   delivered to : %s" % ", ".join(envelope[1]))
    print("   To header    : %s" % header_of(raw, "To"))
    print("   Subject      : %s" % decoded_subject(raw))
    if header_of(raw, "List-Unsubscribe"):
        print("   Unsubscribe  : %s" % header_of(raw, "List-Unsubscribe"))
    for line in decoded_body(raw).strip().splitlines():
        print("   | " + line)
    for name, data in attachments_of(raw):
        print("   attachment   : %s (%d bytes)" % (name, len(data)))
    print()


def run_check(folder, label):
    print("== %s ==" % label)
    r = subprocess.run([KELMORA, "--once", "--no-wait", "--dir", folder.path], capture_output=True, timeout=300)
    sys.stdout.write(r.stdout.decode("utf-8", "replace"))
    sys.stderr.write(r.stderr.decode("utf-8", "replace"))
    meaning = {0: "no failure", 3: "a failure was logged"}.get(r.returncode, "see the manual page")
    print("kelmora exited with status %d (%s)\n" % (r.returncode, meaning))
    return r.returncode


def local_store_part():
    folder = ExampleFolder()
    try:
        folder.set_route(sendmail=False)
        messages = demo_messages()
        folder.deliver(messages)
        print("== The example's store holds %d new messages; the store has no way to send yet ==\n"
              % len(messages))
        run_check(folder, "One mail check")
        print("%d answers and posts wait in .Outbox:" % len(folder.outbox()))
        for path in folder.outbox():
            with open(path, "rb") as f:
                print("   %s" % decoded_subject(f.read()))
        print("\n== log/Kelmoralog.txt says why ==\n" + (folder.log().strip() or "(empty)") + "\n")

        folder.set_route(sendmail=True)
        status = run_check(folder, "The profile now names a sendmail command; one more mail check")
        for i, (argv, raw) in enumerate(folder.sendmail_calls(), 1):
            # sendmail -i -f SENDER -- RECIPIENTS...
            show_message("sent message %d" % i, raw, envelope=(argv[2], argv[4:]))
        print("== members.txt after the checks ==\n" + folder.read("members.txt").strip())
        print("\n== log/UnDeliveryLog.txt ==\n" + (folder.log("UnDeliveryLog.txt").strip() or "(empty)"))
        print("\n== Kelmora.ini (line 2: the sequence number of every rule) ==\n"
              + hide_passwords(folder.read("Kelmora.ini").strip()) + "\n")
        return status
    finally:
        folder.cleanup()


def servers_installed():
    try:
        import aiosmtpd  # noqa: F401
    except ImportError:
        return False
    return shutil.which("dovecot") is not None or os.path.exists("/usr/sbin/dovecot")


def pop3_smtp_files():
    """The example's files switched to a POP3 account and an SMTP server, as
    its README.txt describes (the servers' addresses are filled in later)."""
    files = {}
    folder = os.path.join(ROOT, "examples", "club")
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = f.read()
    files["Kelmora.ini"] = ",,5,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0,0,0,0,0\n"
    rows = []
    for line in files["Master.txt"].decode("cp932").splitlines():
        fields = line.split(",")
        if not line.startswith(";") and len(fields) > 6 and fields[1] != "*":
            fields[5], fields[6] = fields[1], "SMTP_SERVER"
        rows.append(",".join(fields))
    files["Master.txt"] = "\n".join(rows) + "\n"
    return files


def pop3_smtp_part():
    from mail_world import MailWorld
    print("== The same list over POP3 and SMTP ==")
    with MailWorld(pop3_smtp_files(), kelmora_bin=KELMORA) as world:
        for raw in demo_messages():
            world.deliver(raw)
        print("The list's POP3 mailbox holds %d messages; running one mail check" % len(world.mailbox()))
        result = world.run()
        print("kelmora exited with status %d; %d messages left on the POP3 server\n"
              % (result.returncode, len(world.mailbox())))
        for i, msg in enumerate(world.sent(), 1):
            show_message("sent message %d" % i, msg["content"], envelope=(msg["mail_from"], msg["rcpt_tos"]))
        return result.returncode


def main():
    status = local_store_part()
    if servers_installed():
        status = pop3_smtp_part() or status
    else:
        print("(The POP3 and SMTP run needs the test servers, which scripts/test.sh installs.)")
    return status


if __name__ == "__main__":
    sys.exit(main())
