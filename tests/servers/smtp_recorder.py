#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A recording SMTP server for tests, listening on 127.0.0.1 (or on the
address --host gives, inside a private network namespace).

Every accepted message is written to the record folder as NNNN.eml (the raw
bytes as received, dot-unstuffed) and then NNNN.json with the envelope
({"mail_from": ..., "rcpt_tos": [...]}); both are written to a temporary
name and renamed, so a reader that sees NNNN.json also finds the whole
NNNN.eml.

Faults on request:
  --refuse ADDR ...        RCPT TO for these addresses gets 550
  --defer ADDR ...         RCPT TO for these addresses gets 450 (try later)
  --max-rcpt N             RCPT TO beyond N in one transaction gets 452
  --fail-data CODE         the end of DATA gets CODE (e.g. 554 or 451)
  --fail-connect-code CODE the greeting is CODE and the connection closes
  --drop-after N           once N messages are recorded, the next MAIL FROM
                           breaks the connection without a reply, and from
                           then on every connection is greeted with 421
                           (the server went down); clear drop_after and
                           fail_connect_code to bring it back

Transport security and login (certificate and key files in PEM):
  --tls-cert C --tls-key K STARTTLS is offered
  --require-starttls       MAIL is refused until STARTTLS was done
  --implicit-tls           TLS from the first byte (smtps), no STARTTLS
  --auth USER:PASSWORD     AUTH PLAIN/LOGIN is offered (after STARTTLS) and
                           required; other credentials get 535
  --auth-without-tls       AUTH is offered on a plain connection too
  --host ADDR              listen on ADDR instead of 127.0.0.1 (only inside
                           a private network namespace)

Pipelining:
  --pipelining             PIPELINING is announced in the EHLO reply
Every connection's bytes are kept as they arrived, chunk by chunk
(`chunks`: one list per connection of the byte strings the protocol was
handed, after TLS), so a test can tell that a pipelined batch came in one
piece.

Every set of credentials a client sent is kept in `logins` as (user, tls),
the refused ones too: a test can tell that a password never went out.

The .json also holds "helo" (the EHLO name), "tls" (true when the session
was encrypted) and "auth" (the user name, or null).

As a program:  smtp_recorder.py --port P --dir D [options]
  prints "PORT <n>" (the port actually bound; P may be 0) and then "READY",
  serves until SIGTERM/SIGINT or --lifetime seconds have passed.
As a module:   rec = SmtpRecorder(dir, refuse=[...]); port = rec.start();
  ...; rec.wait_for(count, timeout); rec.messages(); rec.stop()

aiosmtpd is importable only by Debian's /usr/bin/python3.
"""

import argparse
import asyncio
import json
import logging
import os
import signal
import ssl
import sys
import threading
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class _Handler:
    def __init__(self, recorder):
        self.recorder = recorder

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.recorder.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        rec = self.recorder
        if rec.drop_after is not None and rec.transactions >= rec.drop_after:
            rec.fail_connect_code = 421  # stays down for the next connections
            server.transport.abort()
            return "421 4.3.0 never sent: the connection is gone"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        rec = self.recorder
        if address.lower() in rec.refuse:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        if address.lower() in rec.defer:
            return "450 4.2.1 <%s>: Recipient address rejected: mailbox busy, try again later" % address
        if rec.max_rcpt is not None and len(envelope.rcpt_tos) >= rec.max_rcpt:
            return "452 4.5.3 Too many recipients"
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        rec = self.recorder
        if rec.fail_data is not None:
            return "%d Transaction failed by request" % rec.fail_data
        content = envelope.original_content
        if content is None:
            content = envelope.content
        if isinstance(content, str):
            content = content.encode("utf-8", "surrogateescape")
        tls = session.ssl is not None or rec.implicit_tls
        login = None
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode("utf-8", "replace")
        rec._record(envelope.mail_from, list(envelope.rcpt_tos), content,
                    {"helo": session.host_name, "tls": bool(tls), "auth": login})
        return "250 2.0.0 OK queued"


class _ChunkRecordingSMTP(SMTP):
    """SMTP that keeps every chunk a plain connection delivered."""

    def __init__(self, recorder, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._chunks = []
        with recorder._lock:
            recorder.chunks.append(self._chunks)

    def data_received(self, data):
        if self._chunks is not None and len(self._chunks) < 10000:
            self._chunks.append(bytes(data))
        super().data_received(data)


class _RefuseAtGreeting(asyncio.Protocol):
    def __init__(self, code):
        self.code = code

    def connection_made(self, transport):
        transport.write(b"%d Service not available by request\r\n" % self.code)
        transport.close()


class SmtpRecorder:
    def __init__(self, directory, port=0, refuse=(), fail_data=None, fail_connect_code=None, max_rcpt=None,
                 tls_cert=None, tls_key=None, require_starttls=False, implicit_tls=False, auth=None,
                 auth_without_tls=False, host="127.0.0.1", drop_after=None, defer=(), pipelining=False):
        self.directory = directory
        self.host = host
        self.auth_without_tls = auth_without_tls
        self.logins = []
        self.port = port
        self.refuse = set(a.lower() for a in refuse)
        self.defer = set(a.lower() for a in defer)
        self.fail_data = fail_data
        self.fail_connect_code = fail_connect_code
        self.max_rcpt = max_rcpt
        self.drop_after = drop_after
        self.pipelining = pipelining
        self.chunks = []
        self.tls_context = None
        if tls_cert:
            self.tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            self.tls_context.load_cert_chain(tls_cert, tls_key)
        self.require_starttls = require_starttls
        self.implicit_tls = implicit_tls
        self.auth = auth  # "user:password" or None
        self.transactions = 0
        self._lock = threading.Lock()
        self._loop = None
        self._server = None
        self._thread = None
        os.makedirs(directory, exist_ok=True)
        existing = [n for n in os.listdir(directory) if n.endswith(".json")]
        self._next = len(existing) + 1

    def _authenticator(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            self.logins.append((auth_data.login.decode("utf-8", "replace"),
                                session.ssl is not None or self.implicit_tls))
            given = auth_data.login.decode("utf-8", "replace") + ":" + auth_data.password.decode("utf-8", "replace")
            if given == self.auth:
                return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)

    def _smtp(self):
        kwargs = dict(decode_data=False, hostname="recorder.test", data_size_limit=200 * 1024 * 1024)
        if self.tls_context is not None and not self.implicit_tls:
            kwargs.update(tls_context=self.tls_context, require_starttls=self.require_starttls)
        if self.auth is not None:
            kwargs.update(authenticator=self._authenticator, auth_required=True,
                          auth_require_tls=not (self.implicit_tls or self.auth_without_tls))
        return _ChunkRecordingSMTP(self, _Handler(self), **kwargs)

    def _protocol(self):
        # Chosen per connection, so that a server can go down and come back.
        if self.fail_connect_code is not None:
            return _RefuseAtGreeting(self.fail_connect_code)
        return self._smtp()

    def _record(self, mail_from, rcpt_tos, content, extra=None):
        with self._lock:
            number = self._next
            self._next += 1
            self.transactions += 1
        base = os.path.join(self.directory, "%04d" % number)
        self._write_atomic(base + ".eml", content)
        record = {"mail_from": mail_from, "rcpt_tos": rcpt_tos}
        record.update(extra or {})
        meta = json.dumps(record, ensure_ascii=False)
        self._write_atomic(base + ".json", meta.encode("utf-8"))

    @staticmethod
    def _write_atomic(path, data):
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)

    def start(self, timeout=10):
        """Starts serving in a thread; returns the bound port."""
        ready = threading.Event()
        failure = []

        def run():
            loop = asyncio.new_event_loop()
            self._loop = loop
            asyncio.set_event_loop(loop)
            try:
                factory = self._protocol
                server_ssl = self.tls_context if self.implicit_tls else None
                server = loop.run_until_complete(
                    loop.create_server(factory, host=self.host, port=self.port, ssl=server_ssl))
                self._server = server
                self.port = server.sockets[0].getsockname()[1]
            except Exception as e:  # reported to start()
                failure.append(e)
                ready.set()
                return
            ready.set()
            try:
                loop.run_forever()
            finally:
                server.close()
                loop.run_until_complete(server.wait_closed())
                loop.close()

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        if not ready.wait(timeout):
            raise RuntimeError("SMTP recorder did not start within %s s" % timeout)
        if failure:
            raise failure[0]
        return self.port

    def stop(self, timeout=10):
        if self._loop is not None and self._thread is not None:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(timeout)
        self._loop = None
        self._thread = None

    def messages(self):
        """The recorded messages in order: dicts with name, mail_from, rcpt_tos, content (bytes)."""
        out = []
        for name in sorted(os.listdir(self.directory)):
            if not name.endswith(".json"):
                continue
            base = os.path.join(self.directory, name[:-5])
            with open(base + ".json", encoding="utf-8") as f:
                meta = json.load(f)
            with open(base + ".eml", "rb") as f:
                meta["content"] = f.read()
            meta["name"] = name[:-5]
            out.append(meta)
        return out

    def wait_for(self, count, timeout=10.0):
        """Waits (bounded) until at least `count` messages are recorded."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            msgs = self.messages()
            if len(msgs) >= count:
                return msgs
            time.sleep(0.02)
        return self.messages()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Recording SMTP server on 127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--refuse", nargs="*", default=[])
    parser.add_argument("--defer", nargs="*", default=[])
    parser.add_argument("--fail-data", type=int, default=None)
    parser.add_argument("--fail-connect-code", type=int, default=None)
    parser.add_argument("--max-rcpt", type=int, default=None)
    parser.add_argument("--tls-cert", default=None)
    parser.add_argument("--tls-key", default=None)
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth", default=None)
    parser.add_argument("--auth-without-tls", action="store_true")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--drop-after", type=int, default=None)
    parser.add_argument("--pipelining", action="store_true")
    parser.add_argument("--lifetime", type=float, default=3600.0,
                        help="exit after this many seconds even if nobody stops the server")
    args = parser.parse_args(argv)
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)

    rec = SmtpRecorder(args.dir, port=args.port, refuse=args.refuse, fail_data=args.fail_data,
                       fail_connect_code=args.fail_connect_code, max_rcpt=args.max_rcpt,
                       tls_cert=args.tls_cert, tls_key=args.tls_key, require_starttls=args.require_starttls,
                       implicit_tls=args.implicit_tls, auth=args.auth,
                       auth_without_tls=args.auth_without_tls, host=args.host, drop_after=args.drop_after,
                       defer=args.defer, pipelining=args.pipelining)
    port = rec.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print("PORT %d" % port, flush=True)
    print("READY", flush=True)
    stop.wait(args.lifetime)
    rec.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
