# SPDX-License-Identifier: GPL-3.0-or-later
"""Membership commands, one-by-one forwarding, surveys and file retrieval,
end to end: build/kelmora --once against a private Dovecot and a recording
SMTP server."""

import os
import re
import unittest

import harness
from mail_world import MailWorld, attachments_of, decoded_body, decoded_subject, header_of, japanese_message

MASTER = """;list, membership commands, one-by-one list, survey, file retrieval
1,club@example.test,members.txt,[club],members.txt,club@example.test,SMTP_SERVER,,[club],,,,,,,
2,join@example.test,members.txt,参加,,join@example.test,SMTP_SERVER,,,,,,新規登録,join-ok.txt,members.txt,
3,leave@example.test,,退会,,leave@example.test,SMTP_SERVER,,,,,,アドレス削除,,members.txt,
4,pw@example.test,,問い合わせ,,pw@example.test,SMTP_SERVER,,,,,,パスワード問い合わせ,,members.txt,
5,pw@example.test,,変更,,pw@example.test,SMTP_SERVER,,,,,,パスワード変更,,members.txt,
6,team@example.test,,[team],team.txt,team@example.test,SMTP_SERVER,,[team],,,,ＴＯ転送,,,
7,vote@example.test,,投票,,,,,,,,,アンケート,,survey.txt,
8,vote@example.test,,結果,,vote@example.test,SMTP_SERVER,,,,,,アンケート＋結果転送,,survey.txt,
9,cmd@example.test,admin@example.test,取得,,cmd@example.test,SMTP_SERVER,,,,,,COMMAND,,,
"""
FILES = {
    "Master.txt": MASTER,
    "members.txt": "1,taro@example.test,pw1\n2,hanako@example.test,pw2\n",
    "team.txt": "1,a@example.test\n2,b@example.test\n3,c@example.test\n",
    "join-ok.txt": "ようこそ！次の投稿からお届けします。",
    "survey.txt": "投票,0\n",
    "Kelmora.ini": ",,1,0,0,0,0,0,9,10,POP3_SERVER/club/clubpw\n0,0,0,0,0,0,0,0,0\n",
}


def world(**smtp_options):
    return MailWorld(dict(FILES), kelmora_bin=harness.BIN, **smtp_options)


class MembersTest(unittest.TestCase):
    def run_once(self, w):
        r = w.run()
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def replies_to(self, w, address):
        return [m for m in w.sent() if m["rcpt_tos"] == [address]]

    def test_stranger_registers_and_receives_the_next_post(self):
        with world() as w:
            w.deliver(japanese_message("saburo@example.test", "join@example.test", "参加希望", "よろしく"))
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] 次回", "集合は駅"))
            self.run_once(w)
            reply = self.replies_to(w, "saburo@example.test")
            self.assertEqual(len(reply), 1)
            self.assertIn("ようこそ！次の投稿からお届けします。", decoded_body(reply[0]["content"]))
            self.assertRegex(w.read("members.txt"), r"3,saburo@example\.test,参加,\d{4}/\d\d/\d\d-\d\d:\d\d\r\n$")
            post = [m for m in w.sent() if "[club:" in decoded_subject(m["content"])]
            self.assertEqual(len(post), 1)
            self.assertIn("saburo@example.test", post[0]["rcpt_tos"])
            self.assertEqual(decoded_subject(post[0]["content"]), "[club:0001(3)]  次回")

            # Now a member, the same request no longer matches the row (it
            # serves strangers only): no second reply, no second line.
            w.deliver(japanese_message("saburo@example.test", "join@example.test", "参加希望", "again"))
            self.run_once(w)
            self.assertEqual(len(self.replies_to(w, "saburo@example.test")), 1)
            self.assertEqual(w.read("members.txt").count("saburo@"), 1)

    def test_member_leaves_with_wrong_then_right_password(self):
        with world() as w:
            w.deliver(japanese_message("hanako@example.test", "leave@example.test", "退会します", "wrong\nありがとう"))
            self.run_once(w)
            self.assertIn("アドレス削除は、パスワードが違う為に削除されませんでした。",
                          decoded_body(self.replies_to(w, "hanako@example.test")[0]["content"]))
            self.assertIn("hanako@example.test", w.read("members.txt"))

            w.deliver(japanese_message("hanako@example.test", "leave@example.test", "退会します", "pw2\nありがとう"))
            w.deliver(japanese_message("taro@example.test", "club@example.test", "[club] after", "body"))
            self.run_once(w)
            self.assertIn("削除申請したアドレス<hanako@example.test>は正常に削除が完了しました。",
                          decoded_body(self.replies_to(w, "hanako@example.test")[1]["content"]))
            self.assertNotIn("hanako@example.test", w.read("members.txt"))
            post = [m for m in w.sent() if "[club:" in decoded_subject(m["content"])][0]
            self.assertNotIn("hanako@example.test", post["rcpt_tos"], "the loaded list follows at once")

    def test_password_inquiry_and_change(self):
        with world() as w:
            w.deliver(japanese_message("taro@example.test", "pw@example.test", "問い合わせ", ""))
            w.deliver(japanese_message("nobody@example.test", "pw@example.test", "問い合わせ", ""))
            self.run_once(w)
            self.assertEqual(decoded_body(self.replies_to(w, "taro@example.test")[0]["content"]).strip(), "pw1")
            self.assertIn("パスワードが設定されていません。アドレス<nobody@example.test>が登録されていない可能性もあります。",
                          decoded_body(self.replies_to(w, "nobody@example.test")[0]["content"]))

            w.deliver(japanese_message("taro@example.test", "pw@example.test", "変更", "pw1\nnew-secret"))
            self.run_once(w)
            self.assertIn("パスワード変更は正常に完了しました。",
                          decoded_body(self.replies_to(w, "taro@example.test")[1]["content"]))
            self.assertRegex(w.read("members.txt"), r"1,taro@example\.test,new-secret,\d{4}/")

    def test_one_by_one_forwarding_goes_on_past_a_refused_member(self):
        with world(refuse=["b@example.test"]) as w:
            w.deliver(japanese_message("a@example.test", "team@example.test", "[team] 練習日程", "土曜９時"))
            self.run_once(w)
            sent = w.sent()
            self.assertEqual(sorted(m["rcpt_tos"][0] for m in sent), ["a@example.test", "c@example.test"])
            for m in sent:
                self.assertEqual(len(m["rcpt_tos"]), 1)
                self.assertEqual(header_of(m["content"], "To"), m["rcpt_tos"][0])
                self.assertEqual(decoded_subject(m["content"]), "[team:0001(3)]  練習日程")
            logs = [n for n in os.listdir(w.path("log")) if re.fullmatch(r"team\.txt\d{14}\.txt", n)]
            self.assertEqual(len(logs), 1, os.listdir(w.path("log")))
            lines = w.read("log/" + logs[0]).splitlines()
            self.assertEqual(lines[0], "1/3,a@example.test()")
            self.assertTrue(lines[1].startswith("2/3,b@example.test(") and lines[1] != "2/3,b@example.test()", lines[1])
            self.assertEqual(lines[2], "3/3,c@example.test()")
            self.assertEqual(len(lines), 3, "no summary line after a failure")
            self.assertEqual(w.read("Kelmora.ini").splitlines()[1].split(",")[5], "1")

    def test_survey_answers_and_tally(self):
        with world() as w:
            w.deliver(japanese_message("a@example.test", "vote@example.test", "投票", "４月\n５月"))
            w.deliver(japanese_message("b@example.test", "vote@example.test", "投票", "４月"))
            w.deliver(japanese_message("b@example.test", "vote@example.test", "投票", "５月"))
            w.deliver(japanese_message("c@example.test", "vote@example.test", "投票 再送", "６月"))
            w.deliver(japanese_message("d@example.test", "vote@example.test", "結果ください", ""))
            self.run_once(w)
            survey = w.read("survey.txt")
            self.assertEqual(survey, "投票,3\r\n４月＝2,a@example.test,b@example.test\r\n５月＝1,a@example.test\r\n"
                                     "６月＝1,c@example.test\r\n")
            tally = decoded_body(self.replies_to(w, "d@example.test")[0]["content"])
            self.assertEqual(tally.strip().splitlines(),
                             ["投票に関する3名の方の集計結果です。", "４月＝2", "５月＝1", "６月＝1"])

    def test_get_file_returns_the_file_and_refuses_paths_outside(self):
        with world() as w:
            data = bytes(range(256)) * 100
            w.write("shared/名簿.bin", data)
            w.deliver(japanese_message("admin@example.test", "cmd@example.test", "取得", "GetFile: shared/名簿.bin"))
            w.deliver(japanese_message("admin@example.test", "cmd@example.test", "取得", "GetFile: ../etc/passwd"))
            w.deliver(japanese_message("stranger@example.test", "cmd@example.test", "取得", "GetFile: Kelmora.ini"))
            self.run_once(w)
            replies = self.replies_to(w, "admin@example.test")
            self.assertEqual(len(replies), 2)
            self.assertEqual(attachments_of(replies[0]["content"]), [("名簿.bin", data)])
            self.assertIn("は正常に取得できました。", decoded_body(replies[0]["content"]))
            self.assertEqual(attachments_of(replies[1]["content"]), [])
            self.assertIn("が存在しませんでした！", decoded_body(replies[1]["content"]))
            self.assertEqual(self.replies_to(w, "stranger@example.test"), [], "only the allowed sender may ask")
            self.assertTrue(os.path.exists(w.path("shared/名簿.bin")), "the fetched file itself stays")


if __name__ == "__main__":
    harness.main()
