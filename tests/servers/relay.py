#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A TCP relay on 127.0.0.1 in front of a test server, for tests and
benchmarks: it holds every chunk for `delay` seconds in each direction (a
slow link without a shaping queue discipline) and keeps the chunks the
clients sent (`sent`: one list per connection), so a test can see which
commands travelled together. CutProxy, on the same listener, instead cuts
a connection after a number of bytes from the server.

As a module:  relay = Relay(target_port, delay=0.025).start(); ...; relay.stop()
As a program: relay.py --target PORT [--delay S]  prints "PORT <n>", "READY"
and relays until SIGTERM."""

import argparse
import collections
import signal
import socket
import sys
import threading
import time


class _Forwarder:
    """Listens on a free port of 127.0.0.1 and hands each accepted client,
    with its own connection to the target, to _forward (which returns at
    once: the work goes on in threads made with _spawn)."""

    def __init__(self, target_port, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.connections = 0
        self.port = None
        self._listener = None
        self._stop = threading.Event()
        self._threads = []

    def start(self):
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._spawn(self._accept_loop)
        return self

    def stop(self):
        self._stop.set()
        for t in self._threads:
            t.join(timeout=5)
        if self._listener:
            self._listener.close()
            self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def _spawn(self, fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True)
        t.start()
        self._threads.append(t)

    def _accept_loop(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connections += 1
            try:
                upstream = socket.create_connection(self.target, timeout=5)
            except OSError:
                client.close()
                continue
            self._forward(client, upstream)

    def _forward(self, client, upstream):
        raise NotImplementedError


class Relay(_Forwarder):
    def __init__(self, target_port, delay=0.0, target_host="127.0.0.1", record=True):
        super().__init__(target_port, target_host)
        self.delay = delay
        self.record = record
        self.sent = []

    def _forward(self, client, upstream):
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        chunks = []
        if self.record:
            self.sent.append(chunks)
        self._direction(client, upstream, chunks)
        self._direction(upstream, client, None)

    def _direction(self, src, dst, record):
        """Two threads: one reads and stamps chunks, one writes each when its time has come."""
        queue = collections.deque()
        ready = threading.Condition()

        def reader():
            src.settimeout(0.2)
            try:
                while not self._stop.is_set():
                    try:
                        data = src.recv(262144)
                    except socket.timeout:
                        continue
                    if record is not None and len(record) < 100000:
                        record.append(data)
                    with ready:
                        queue.append((time.monotonic() + self.delay, data))
                        ready.notify()
                    if not data:
                        return
            except OSError:
                with ready:
                    queue.append((time.monotonic(), b""))
                    ready.notify()

        def writer():
            try:
                while not self._stop.is_set():
                    with ready:
                        while not queue and not self._stop.is_set():
                            ready.wait(0.2)
                        if not queue:
                            continue
                        due, data = queue.popleft()
                    pause = due - time.monotonic()
                    if pause > 0:
                        time.sleep(pause)
                    if not data:
                        dst.shutdown(socket.SHUT_WR)
                        return
                    dst.sendall(data)
            except OSError:
                pass

        self._spawn(reader)
        self._spawn(writer)


class CutProxy(_Forwarder):
    """Forwards 127.0.0.1:port to a target and, while cut_after is set,
    closes a connection once that many bytes went from server to client
    (the bytes up to the limit are delivered)."""

    def __init__(self, target_port, cut_after=None, target_host="127.0.0.1"):
        super().__init__(target_port, target_host)
        self.cut_after = cut_after
        self.cuts = 0

    def _forward(self, client, upstream):
        self._spawn(self._serve, client, upstream, self.cut_after)

    def _serve(self, client, upstream, cut_after):
        done = threading.Event()

        def pump(src, dst, limit):
            sent = 0
            src.settimeout(0.2)
            try:
                while not done.is_set() and not self._stop.is_set():
                    try:
                        data = src.recv(65536)
                    except socket.timeout:
                        continue
                    if not data:
                        break
                    if limit is not None and sent + len(data) >= limit:
                        dst.sendall(data[: limit - sent])
                        self.cuts += 1
                        break
                    dst.sendall(data)
                    sent += len(data)
            except OSError:
                pass
            finally:
                done.set()

        up = threading.Thread(target=pump, args=(client, upstream, None), daemon=True)
        up.start()
        pump(upstream, client, cut_after)
        up.join(timeout=5)
        for s in (client, upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Delaying TCP relay on 127.0.0.1")
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay", type=float, default=0.0)
    args = parser.parse_args(argv)
    relay = Relay(args.target, delay=args.delay, record=False).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print("PORT %d" % relay.port, flush=True)
    print("READY", flush=True)
    stop.wait(3600)
    relay.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
