"""Runs the bundled example list (examples/club) for real, twice.

Part 1, no server at all: the five incoming messages are put into the
Maildir of the default local mail store profile, one mail check of
build/kelmora handles them through the store, and the example shows what
waits in .Outbox and, once the profile names a sendmail command, what went
to .Sent.

Part 2, POP3 and SMTP: a private POP3 server holds the same messages, a
recording SMTP server stands in for the outgoing mail server, and one mail
check handles them. Prints what every member and sender received."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))

from mail_world import MailWorld, decoded_body, decoded_subject, attachments_of, header_of, japanese_message  # noqa: E402


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


def example_files():
    folder = os.path.join(ROOT, "examples", "club")
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = f.read().decode("cp932")
    return files


PROFILE = "メイン ユーザー"

# A sendmail stand-in for the example: keeps each message it is given in a
# folder instead of sending it anywhere.
KEEPING_SENDMAIL = """#!/bin/sh
n=$(ls "{dir}" | wc -l)
cat > "{dir}/$((n + 1)).eml"
echo "$@" > "{dir}/$((n + 1)).args"
"""


def incoming_messages():
    return [
            japanese_message("taro@example.test", "club@example.test", "次回の撮影会について",
                             "皆さん、次回は４月１３日（土）に公園で撮影会をします。\n地図を添付します。",
                             from_name="山田太郎", to_name="さくら写真クラブ",
                             attachments=[("地図.txt", "駅から北へ５分".encode("utf-8"))]),
            japanese_message("yoshiko@example.test", "info@example.test", "クラブの案内をください",
                             "入会を考えています。", from_name="佐藤良子"),
            japanese_message("saburo@example.test", "join@example.test", "参加希望です",
                             "よろしくお願いします。", from_name="鈴木三郎"),
            japanese_message("hanako@example.test", "club@example.test", "Re: 次回の撮影会について",
                             "参加します。三郎さん、ようこそ！", from_name="花子"),
            japanese_message("junk@spam.test", "club@example.test", None, "open the attachment",
                             attachments=[("invoice.exe", b"MZ\x90\x00not really")]),
    ]


def write_cp932(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932"))


def show_message(label, raw, extra="", envelope=None):
    print("-- %s --%s" % (label, extra))
    if envelope is not None:
        print("   envelope from: %s" % envelope["mail_from"])
        print("   delivered to : %s" % ", ".join(envelope["rcpt_tos"]))
    print("   To header    : %s" % header_of(raw, "To"))
    print("   Subject      : %s" % decoded_subject(raw))
    for line in decoded_body(raw).strip().splitlines():
        print("   | " + line)
    for name, data in attachments_of(raw):
        print("   attachment   : %s (%d bytes)" % (name, len(data)))
    print()


def maildir_files(maildir, sub):
    folder = os.path.join(maildir, sub)
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)) if os.path.isdir(folder) else []


def local_store_part():
    """Part 1: the same list with no server at all."""
    kelmora = os.path.join(ROOT, "build", "kelmora")
    folder = tempfile.mkdtemp(prefix="kelmora-store-example-")
    try:
        files = example_files()
        for name, text in files.items():
            if name == "Master.txt":
                # Without a sender address and server of its own, every row
                # sends through the local mail store.
                lines = []
                for line in text.splitlines():
                    fields = line.split(",")
                    if not line.startswith(";") and len(fields) >= 7:
                        fields[5] = fields[6] = ""
                    lines.append(",".join(fields))
                text = "\n".join(lines) + "\n"
            if name == "Kelmora.ini":
                text = PROFILE + ",,1,0,1,0,0,0,9,10\n0,0,0,0\n"  # the default profile, delete after processing
            write_cp932(os.path.join(folder, name), text)
        maildir = os.path.join(folder, "mailstore", PROFILE)
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(maildir, sub))
        # No route yet: what is sent waits in .Outbox.
        write_cp932(os.path.join(maildir, "profile.ini"),
                    "; the sender of mail sent through the store\naddress = club@example.test\n"
                    "name = さくら写真クラブ\nsendmail =\n")
        for i, raw in enumerate(incoming_messages(), 1):
            name = "%d.M%dP%d.example" % (int(time.time()), i, os.getpid())
            with open(os.path.join(maildir, "tmp", name), "wb") as f:
                f.write(raw)
            os.rename(os.path.join(maildir, "tmp", name), os.path.join(maildir, "new", name))
            stamp = time.time() - 60 + i  # delivery order
            os.utime(os.path.join(maildir, "new", name), (stamp, stamp))
        print("== Part 1: no server. The profile mailstore/%s holds %d new messages; running one mail check =="
              % (PROFILE, len(maildir_files(maildir, "new"))))
        r = subprocess.run([kelmora, "--once", "--no-wait", "--dir", folder], capture_output=True, timeout=300)
        sys.stdout.write(r.stdout.decode("utf-8", "replace"))
        sys.stderr.write(r.stderr.decode("utf-8", "replace"))
        print("kelmora exited with status %d; left in the store: %d new, %d read\n"
              % (r.returncode, len(maildir_files(maildir, "new")), len(maildir_files(maildir, "cur"))))
        outbox = maildir_files(maildir, ".Outbox/new") + maildir_files(maildir, ".Outbox/cur")
        for i, path in enumerate(outbox, 1):
            with open(path, "rb") as f:
                raw = f.read()
            show_message("waiting in .Outbox %d" % i, raw)
        log_path = os.path.join(folder, "log", "Kelmoralog.txt")
        if os.path.exists(log_path):
            with open(log_path, "rb") as f:
                print("== log/Kelmoralog.txt says why ==\n" + f.read().decode("cp932").strip() + "\n")

        # Now the profile names a sendmail command (here one that keeps what
        # it is given); the next logon hands the waiting mail to it.
        kept = os.path.join(folder, "handed-to-sendmail")
        os.makedirs(kept)
        script = os.path.join(folder, "keeping-sendmail.sh")
        with open(script, "w") as f:
            f.write(KEEPING_SENDMAIL.format(dir=kept))
        os.chmod(script, 0o755)
        write_cp932(os.path.join(maildir, "profile.ini"),
                    "address = club@example.test\nname = さくら写真クラブ\nsendmail = " + script + "\n")
        print("== The profile now names a sendmail command; running one more mail check ==")
        r = subprocess.run([kelmora, "--once", "--no-wait", "--dir", folder], capture_output=True, timeout=300)
        print("kelmora exited with status %d; .Outbox holds %d, .Sent holds %d\n"
              % (r.returncode, len(maildir_files(maildir, ".Outbox/new") + maildir_files(maildir, ".Outbox/cur")),
                 len(maildir_files(maildir, ".Sent/cur"))))
        for i, path in enumerate(maildir_files(maildir, ".Sent/cur"), 1):
            with open(path, "rb") as f:
                raw = f.read()
            args = sorted(n for n in os.listdir(kept) if n.endswith(".args"))
            show_message("in .Sent %d" % i, raw)
        for name in sorted(n for n in os.listdir(kept) if n.endswith(".args")):
            with open(os.path.join(kept, name)) as f:
                print("   sendmail called with: %s" % f.read().strip())
        print()
        return r.returncode
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    status = local_store_part()
    print("== Part 2: POP3 and SMTP ==")
    with MailWorld(example_files(), kelmora_bin=os.path.join(ROOT, "build", "kelmora")) as world:
        incoming = incoming_messages()
        for raw in incoming:
            world.deliver(raw)
        print("== The list's mailbox holds %d messages; running one mail check ==" % len(world.mailbox()))
        result = world.run()
        sys.stdout.write(result.stdout.decode("utf-8", "replace"))
        sys.stderr.write(result.stderr.decode("utf-8", "replace"))
        print("kelmora exited with status %d; %d messages left on the POP3 server\n"
              % (result.returncode, len(world.mailbox())))

        for i, msg in enumerate(world.sent(), 1):
            show_message("sent message %d" % i, msg["content"], envelope=msg)

        print("== members.txt after the check ==")
        print(world.read("members.txt").strip())
        print("\n== Kelmora.ini (line 2: the list sequence numbers; passwords shown as ***) ==")
        print(hide_passwords(world.read("Kelmora.ini").strip()))
        log = world.main_log().strip()
        print("\n== log/Kelmoralog.txt ==")
        print(log if log else "(empty: nothing went wrong)")
        return result.returncode or status


if __name__ == "__main__":
    sys.exit(main())
