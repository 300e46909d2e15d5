"""Runs the bundled example list (examples/club) for real: a private POP3
server holds five incoming messages, a recording SMTP server stands in for
the outgoing mail server, and one mail check of build/kelmora handles them.
Prints what every member and sender received."""

import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))

from mail_world import MailWorld, decoded_body, decoded_subject, attachments_of, header_of, japanese_message  # noqa: E402


def example_files():
    folder = os.path.join(ROOT, "examples", "club")
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = f.read().decode("cp932")
    return files


def main():
    with MailWorld(example_files(), kelmora_bin=os.path.join(ROOT, "build", "kelmora")) as world:
        incoming = [
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
        for raw in incoming:
            world.deliver(raw)
        print("== The list's mailbox holds %d messages; running one mail check ==" % len(world.mailbox()))
        result = world.run()
        sys.stdout.write(result.stdout.decode("utf-8", "replace"))
        sys.stderr.write(result.stderr.decode("utf-8", "replace"))
        print("kelmora exited with status %d; %d messages left on the POP3 server\n"
              % (result.returncode, len(world.mailbox())))

        for i, msg in enumerate(world.sent(), 1):
            raw = msg["content"]
            print("-- sent message %d --" % i)
            print("   envelope from: %s" % msg["mail_from"])
            print("   delivered to : %s" % ", ".join(msg["rcpt_tos"]))
            print("   To header    : %s" % header_of(raw, "To"))
            print("   Subject      : %s" % decoded_subject(raw))
            for line in decoded_body(raw).strip().splitlines():
                print("   | " + line)
            for name, data in attachments_of(raw):
                print("   attachment   : %s (%d bytes)" % (name, len(data)))
            print()

        print("== members.txt after the check ==")
        print(world.read("members.txt").strip())
        print("\n== Kelmora.ini (line 2: the list sequence numbers) ==")
        print(world.read("Kelmora.ini").strip())
        log = world.main_log().strip()
        print("\n== log/Kelmoralog.txt ==")
        print(log if log else "(empty: nothing went wrong)")
        return result.returncode


if __name__ == "__main__":
    sys.exit(main())
