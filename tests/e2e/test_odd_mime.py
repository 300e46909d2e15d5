# SPDX-License-Identifier: GPL-3.0-or-later
"""Real-world MIME forwarded whole. Every message of the email package's own
test data (Debian's libpython3.11-testsuite) and a few messages written
here with the same kinds of fault are posted to a list and forwarded by one
build/kelmora cycle over POP3 (a private Dovecot) and SMTP (the recorder).

Each message is forwarded once or held back with a main-log line, never
lost, and nothing crashes. A forwarded post's text equals what Python's
email package decodes from the original (its walk mirrors the reader's
rules: plain parts in order, the plain version of an alternative, HTML only
without plain text), every attachment arrives byte-exact (an attached
message as the same headers and decoded parts), and attached messages
travel as 7bit or 8bit."""

import email
import email.parser
import email.policy
import html.parser
import os
import unittest

import harness
from mail_world import MailWorld

CORPUS = "/usr/lib/python3.11/test/test_email/data"
MASTER = "1,club@example.test,,[c],members.txt,club@example.test,SMTP_SERVER,,[c],,,,,,,処理する\n"
MEMBERS = "1,m1@example.test,pw1\n"
INI = ",,1,0,1,0,0,0,9,10,POP3_SERVER/club/clubpw\n0\n"  # delete after processing


# --- messages written for this project (the unit tests hold one per kind
# of fault; these are the ones whose outcome shows only end to end) --------

WRITTEN = {
    "no-boundary": b"MIME-Version: 1.0\nContent-Type: multipart/mixed; charset=utf-8\n\n"
                   + "境界のないマルチパートでも本文は届きます。\n".encode(),
    "nothing-left": b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"zz\"\n\n  \n",
    "html-only": b"MIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n"
                 + ("<html><body><p>&Ouml;l &amp; Br&ouml;tchen &mdash; "
                    "<a href=\"https://example.test/kizai\">機材リスト</a></p>"
                    "<p><a href=\"https://example.test/\">https://example.test/</a></p></body></html>\n").encode(),
    "attached-message": b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b3\"\n\n"
                        b"--b3\nContent-Type: text/plain\n\nforwarded below\n--b3\nContent-Type: message/rfc822\n\n"
                        b"From: inner@example.test\nSubject: inner\nContent-Type: text/plain; charset=utf-8\n"
                        b"Content-Transfer-Encoding: 8bit\n\n" + "中の本文\n".encode() + b"--b3--\n",
}


# --- what Python's email package reads from a message ----------------------

WIDER = {"iso-8859-1": "cp1252", "latin1": "cp1252", "gb2312": "gb18030", "gbk": "gb18030",
         "euc-kr": "cp949", "ks_c_5601-1987": "cp949", "big5": "big5hkscs", "shift_jis": "cp932"}
UNLABELLED = {"", "us-ascii", "ascii", "unknown-8bit", "x-unknown", "unknown", "default"}


def unlabelled(data):
    for codec in ("ascii", "utf-8"):
        try:
            return data.decode(codec)
        except UnicodeDecodeError:
            pass
    return data.decode("cp932", "replace")


def decode_charset(data, charset):
    """Python's codecs, with the documented readings of the reader: a wider
    charset for some labels, and no label (or us-ascii) read as UTF-8 when
    valid, else as code page 932."""
    cs = (charset or "").lower()
    if cs in UNLABELLED:
        return unlabelled(data)
    try:
        return data.decode(WIDER.get(cs, cs), "replace")
    except LookupError:
        return unlabelled(data)


class HtmlText(html.parser.HTMLParser):
    """Visible text of HTML; a link's URL after its text unless the text is it."""

    SKIP = {"script", "style", "head", "title"}
    BLOCKS = {"p", "div", "br", "li", "tr", "table", "h1", "h2", "h3", "h4", "h5", "h6", "blockquote", "pre"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.out, self.skip, self.links = [], 0, []

    def handle_starttag(self, tag, attrs):
        if tag in self.BLOCKS:
            self.out.append("\n")
        if tag in self.SKIP:
            self.skip += 1
        elif tag == "a":
            self.links.append((len(self.out), dict(attrs).get("href") or ""))

    def handle_endtag(self, tag):
        if tag in self.BLOCKS:
            self.out.append("\n")
        if tag in self.SKIP:
            self.skip = max(0, self.skip - 1)
        elif tag == "a" and self.links:
            start, href = self.links.pop()
            text = "".join(self.out[start:]).strip()
            form = lambda u: u.lower().removeprefix("https://").removeprefix("http://").removeprefix("mailto:").rstrip("/")
            if href and not href.startswith("#") and form(text) != form(href):
                self.out.append(" <%s>" % href)

    def handle_data(self, data):
        if not self.skip:
            self.out.append(data)


def html_text(markup):
    p = HtmlText()
    p.feed(markup)
    p.close()
    return "".join(p.out)


def attachment_form(part):
    """An attachment as it is compared: bytes, a message's signature, or the
    header blocks of a delivery report."""
    payload = part.get_payload()
    if part.get_content_type() == "message/delivery-status" and isinstance(payload, list):
        return ("blocks", [[(k.lower(), " ".join(v.split())) for k, v in b.items()] for b in payload])
    if part.get_content_maintype() == "message" and isinstance(payload, list):
        return ("message", signature(payload[0]))
    return ("bytes", part.get_payload(decode=True) or b"")


def signature(msg):
    heads = [(k.lower(), " ".join(str(v).split())) for k, v in msg.items()]
    leaves = [(p.get_content_type(), p.get_payload(decode=True)) for p in msg.walk() if not p.is_multipart()]
    return heads, leaves


def expected(raw):
    """(text, attachments, from_html) as Python's email package reads
    `raw`; text made from HTML has its blanks and line breaks collapsed."""
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    state = {"text": None, "html": None, "files": []}

    def add_plain(text):
        text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\0", "").removeprefix("\ufeff")
        if state["text"] is None:
            state["text"] = text
        elif text:
            if state["text"] and not state["text"].endswith("\n"):
                state["text"] += "\n"
            state["text"] += text

    def choose(subs):
        for s in subs:
            if s.get_content_type() == "text/plain" and s.get_content_disposition() != "attachment":
                return s
        for kind in ("multipart", "text/html"):
            for s in subs:
                if s.get_content_type() == kind or s.get_content_maintype() == kind:
                    return s
        return subs[0]

    def walk(part, depth):
        ctype = part.get_content_type()
        if part.get_content_maintype() == "multipart":
            if not part.is_multipart():  # no part boundary found: the body is what is left
                data = part.get_payload(decode=True) or b""
                if data.strip():
                    if b"\0" in data:
                        state["files"].append(("bytes", data))
                    else:
                        add_plain(decode_charset(data, part.get_content_charset()))
                return
            subs = part.get_payload()
            for s in ([choose(subs)] if ctype == "multipart/alternative" and subs else subs):
                walk(s, depth + 1)
            return
        inline = (part.get_content_disposition() != "attachment" and (not part.get_filename() or depth == 0)
                  and part.get_content_maintype() == "text")
        data = part.get_payload(decode=True) if not isinstance(part.get_payload(), list) else None
        if inline and ctype == "text/plain":
            add_plain(decode_charset(data or b"", part.get_content_charset()))
        elif inline and ctype == "text/html" and state["html"] is None and state["text"] is None:
            state["html"] = decode_charset(data or b"", part.get_content_charset())
        else:
            state["files"].append(attachment_form(part))

    walk(msg, 0)
    text = state["text"]
    if text is None and state["html"] is not None:
        return " ".join(html_text(state["html"]).split()), state["files"], True
    return text or "", state["files"], False


def forwarded(raw):
    """(text, attachments, message parts' transfer encodings) of a post."""
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    parts = msg.get_payload() if msg.is_multipart() else [msg]
    body = parts[0].get_payload(decode=True).decode(parts[0].get_content_charset() or "ascii")
    files, encodings = [], []
    for p in parts[1:]:
        data = p.get_payload(decode=True) if not isinstance(p.get_payload(), list) else None
        if p.get_content_maintype() == "message":
            encodings.append((p.get("Content-Transfer-Encoding") or "7bit").lower())
            files.append(("message", signature(p.get_payload()[0])))
        else:
            files.append(("bytes", data))
    return body.replace("\r\n", "\n"), files, encodings


def as_expected_form(sent_files, want_files):
    """The forwarded attachments read the way the expected ones are."""
    out = []
    for (kind, value), (want_kind, _) in zip(sent_files, want_files):
        if want_kind == "blocks" and kind == "bytes":
            blocks = [b for b in value.replace(b"\r\n", b"\n").split(b"\n\n") if b.strip()]
            value = [[(k.lower(), " ".join(v.split())) for k, v in email.parser.BytesHeaderParser().parsebytes(b).items()]
                     for b in blocks]
        elif want_kind == "message" and kind == "bytes":
            value = signature(email.message_from_bytes(value, policy=email.policy.compat32))
        out.append((want_kind, value))
    return out + sent_files[len(want_files):]


# Parts nested in a multipart with the same boundary as their parent: the
# two parsers legitimately split these differently, so only the text is
# compared.
SAME_BOUNDARY_NESTED = {"msg_15", "msg_39"}


def crlf(raw):
    raw = raw.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return raw if raw.endswith(b"\r\n") else raw + b"\r\n"


def posted(name, raw):
    """As posted: a sender naming the message, the list and a subject with
    its keyword in front of the message's own fields (readers take the
    first of each), CR LF line ends as a mail server stores them."""
    return crlf(("From: %s@corpus.test\nTo: club@example.test\nSubject: [c] %s\n" % (name, name)).encode() + raw)


def is_automatic(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    auto = (msg.get("Auto-Submitted") or "no").split("(")[0].strip().lower()
    return auto != "no" or (msg.get("Precedence") or "").strip().lower() in ("bulk", "junk")


class OddMimeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        names = sorted(n for n in os.listdir(CORPUS) if n.startswith("msg_")) if os.path.isdir(CORPUS) else []
        cls.messages = {}
        for n in names:
            with open(os.path.join(CORPUS, n), "rb") as f:
                cls.messages[n[:-4]] = posted(n[:-4], f.read())
        for n, raw in WRITTEN.items():
            cls.messages[n] = posted(n, raw)
        cls.world = MailWorld({"Master.txt": MASTER, "members.txt": MEMBERS, "Kelmora.ini": INI},
                              kelmora_bin=harness.BIN)
        w = cls.world.__enter__()
        try:
            for raw in cls.messages.values():
                w.deliver(raw)
            cls.run_result = w.run(timeout=300)
            cls.sent = w.sent()
            cls.log = w.main_log()
            cls.kept = {}
            for name in w.received_files():
                with open(w.path("log/receive/" + name), "rb") as f:
                    cls.kept[name] = f.read()
        except BaseException:
            w.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.world.__exit__(None, None, None)

    def posts_of(self, name):
        tag = (" %s" % name).encode()
        return [m for m in self.sent
                if email.message_from_bytes(m["content"])["Subject"].encode().endswith(tag)]

    def test_the_corpus_is_installed(self):
        self.assertGreaterEqual(len([n for n in self.messages if n.startswith("msg_")]), 40,
                                "libpython3.11-testsuite is missing (scripts/test.sh installs it)")

    def test_nothing_crashed_and_nothing_is_lost(self):
        # 3, not a crash: the corpus holds a message whose MIME structure
        # leaves nothing readable; it is set aside and the log says so.
        self.assertEqual(self.run_result.returncode, 3, self.run_result.stderr.decode(errors="replace") + self.log)
        self.assertIn("ReadMailでエラー発生<", self.log)
        for name, raw in self.messages.items():
            with self.subTest(message=name):
                posts = self.posts_of(name)
                if posts:
                    self.assertEqual(len(posts), 1)
                    self.assertEqual(sorted(posts[0]["rcpt_tos"]), ["club@example.test", "m1@example.test"])
                elif is_automatic(raw):
                    self.assertIn("自動送信メールは転送しません<%s@corpus.test>" % name, self.log)
                else:
                    # Held back whole, with the reason in the main log.
                    self.assertIn(raw, self.kept.values(), "neither forwarded nor kept")
                    self.assertIn("ReadMailでエラー発生<", self.log)

    def test_forwarded_text_and_attachments_are_what_was_sent(self):
        not_forwarded = set()
        for name, raw in self.messages.items():
            posts = self.posts_of(name)
            if not posts:
                not_forwarded.add(name)
                continue
            with self.subTest(message=name):
                want_text, want_files, from_html = expected(raw)
                text, files, encodings = forwarded(posts[0]["content"])
                if from_html:
                    text = " ".join(text.split())
                self.assertEqual(text.rstrip("\n"), want_text.rstrip("\n"))
                if name not in SAME_BOUNDARY_NESTED:
                    self.assertEqual(as_expected_form(files, want_files), want_files)
                self.assertTrue(set(encodings) <= {"7bit", "8bit"}, encodings)
        # Only automatic mail (held back by the list guard) and the message
        # with nothing readable left are not forwarded.
        automatic = {n for n, raw in self.messages.items() if is_automatic(raw)}
        self.assertEqual(not_forwarded, automatic | {"nothing-left"})

    def test_broken_structure_with_nothing_readable_is_kept(self):
        self.assertEqual(self.posts_of("nothing-left"), [])
        self.assertIn(self.messages["nothing-left"], self.kept.values())
        self.assertIn("nothing readable is left", self.log)
        # Broken, but with text: forwarded, never as an empty post.
        for name in ("no-boundary", "msg_17", "msg_31", "msg_41"):
            with self.subTest(message=name):
                text, _, _ = forwarded(self.posts_of(name)[0]["content"])
                self.assertTrue(text.strip(), name)

    def test_html_links_and_attached_messages(self):
        text = forwarded(self.posts_of("html-only")[0]["content"])[0]
        self.assertEqual(text, "Öl & Brötchen — 機材リスト <https://example.test/kizai>\nhttps://example.test/")
        inner = email.message_from_bytes(self.posts_of("attached-message")[0]["content"]).get_payload()[1]
        self.assertEqual((inner.get_content_type(), inner["Content-Transfer-Encoding"]), ("message/rfc822", "8bit"))
        # The line break before the closing boundary belongs to the boundary.
        self.assertEqual(inner.get_payload()[0].get_payload(decode=True), "中の本文".encode())


if __name__ == "__main__":
    harness.main()
