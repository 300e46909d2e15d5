# SPDX-License-Identifier: GPL-3.0-or-later
"""The bundled example list (examples/club) as shipped, on the local mail
store road with no server: a member's post reaches every member with the
footer that says how to leave and a List-Unsubscribe that works; strangers
get the introduction and can join; members can leave; bounces as Postfix,
Exim, Sendmail and the big providers word them remove the dead address,
delay warnings remove nobody."""

import os
import subprocess
import unittest
import urllib.parse

import harness
from example_club import DELAYS, EXAMPLE, WORDINGS, ExampleFolder, demo_messages, text_bounce
from mail_world import decoded_body, decoded_subject, header_of


class ExampleClubTest(unittest.TestCase):
    def setUp(self):
        self.folder = ExampleFolder()
        self.folder.set_route(sendmail=True)

    def tearDown(self):
        self.folder.cleanup()

    def check(self):
        """One mail check; a list working as intended logs no failure."""
        r = subprocess.run([harness.BIN, "--once", "--no-wait", "--dir", self.folder.path],
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode() + self.folder.log())

    def sent(self):
        """{recipient: [message, ...]} of what the sendmail route was given."""
        out = {}
        for argv, raw in self.folder.sendmail_calls():
            self.assertEqual(argv[:2], ["-i", "-f"])
            for rcpt in argv[4:]:
                out.setdefault(rcpt, []).append(raw)
        return out

    def test_the_data_files_are_code_page_932_with_crlf_and_hold_no_messages(self):
        for name in sorted(os.listdir(EXAMPLE)):
            path = os.path.join(EXAMPLE, name)
            self.assertTrue(os.path.isfile(path), "no demo messages or folders in the example: " + name)
            if name == "README.txt":
                continue
            with open(path, "rb") as f:
                data = f.read()
            with self.subTest(name):
                data.decode("cp932")
                self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "bare line feed")
                self.assertNotIn(b"_SERVER", data, "placeholder")

    def test_a_first_week_of_the_list(self):
        self.folder.deliver(demo_messages())
        self.check()
        sent = self.sent()

        # The post reached every member, tagged, with the footer on leaving
        # and an unsubscribe header that names the leave row.
        post = sent["hanako@example.test"][0]
        self.assertTrue(decoded_subject(post).startswith("[club:0001("), decoded_subject(post))
        for member in ("taro@example.test", "jiro@example.test", "shiro@example.test"):
            self.assertIn(post, sent[member])
        body = decoded_body(post)
        self.assertIn("皆さん、次回は４月１３日（土）に公園で撮影会をします。", body)
        self.assertIn("退会するには、leave@example.test へ件名「退会」でメールを送ってください。", body)
        unsubscribe = header_of(post, "List-Unsubscribe")
        target = urllib.parse.urlsplit(unsubscribe.strip("<>"))
        self.assertEqual((target.scheme, target.path), ("mailto", "leave@example.test"))
        self.assertEqual(urllib.parse.parse_qs(target.query)["subject"], ["退会"])

        # Replies, each under its own subject.
        replies = {
            "yoshiko@example.test": ("さくら写真クラブのご紹介", "毎月第二土曜日に撮影会を開いています。"),
            "saburo@example.test": ("さくら写真クラブへようこそ", "ご入会ありがとうございます"),
            "jiro@example.test": ("さくら写真クラブの登録を削除しました", "これまでありがとうございました。"),
        }
        for who, (subject, text) in replies.items():
            with self.subTest(who):
                answers = [raw for raw in sent[who] if decoded_subject(raw) == subject]
                self.assertEqual(len(answers), 1, [decoded_subject(raw) for raw in sent[who]])
                self.assertIn(text, decoded_body(answers[0]))

        # Joined, left, bounced: the member file follows, and the reply
        # posted after the leave no longer reaches the one who left.
        self.assertEqual(self.folder.members(), ["taro@example.test", "hanako@example.test", "saburo@example.test"])
        self.assertIn("shiro@example.test,", self.folder.log("UnDeliveryLog.txt"))
        second = [raw for raw in sent["taro@example.test"] if decoded_subject(raw).startswith("[club:0002(")]
        self.assertEqual(len(second), 1)
        self.assertIn(second[0], sent["saburo@example.test"])
        self.assertEqual(len(sent["jiro@example.test"]), 2, "the first post and the goodbye only")
        self.assertEqual(len(sent["shiro@example.test"]), 1, "a bounced address gets no further post")

        # Neither the stranger's post nor the junk went anywhere.
        self.assertNotIn("stranger@spam.test", sent)
        self.assertEqual(len(self.folder.sendmail_calls()), 5)

    def test_bounces_as_servers_word_them(self):
        dead = {kind: "dead-%s@example.test" % kind.lower() for kind in WORDINGS}
        late = {kind: "late-%s@example.test" % kind.lower() for kind in DELAYS}
        members = ["taro@example.test"] + list(dead.values()) + list(late.values())
        with open(self.folder.file("members.txt"), "wb") as f:
            f.write("".join("%d,%s,pw\r\n" % (i, a) for i, a in enumerate(members, 1)).encode("cp932"))
        bounces = [text_bounce(WORDINGS[kind], address) for kind, address in dead.items()]
        bounces += [text_bounce(DELAYS[kind], address) for kind, address in late.items()]
        self.folder.deliver(bounces)
        self.check()
        left = self.folder.members()
        for kind, address in dead.items():
            with self.subTest(bounce=kind):
                self.assertNotIn(address, left)
        for kind, address in late.items():
            with self.subTest(delay=kind):
                self.assertIn(address, left)
        self.assertIn("taro@example.test", left)
        self.assertEqual(self.folder.sendmail_calls(), [], "a bounce is never answered or forwarded")


if __name__ == "__main__":
    harness.main()
