#!/usr/bin/env python3
"""Newsreaders that misbehave, against the server binary on loopback.

Overlong lines, readers that never read their replies, more connections
than there are reader places, readers that vanish in the middle of a reply.
Throughout, a second reader keeps asking GROUP and STAT; each of its replies
must come within a generous bound (a hang detector only). Afterwards the
server still answers, nothing appeared outside the news directory, and the
server's memory stayed bounded.
"""

import os
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402

BIG_GROUP = "local.big"
BIG_ARTICLE = 2  # about 2 MB
ARTICLES = 300   # numbers 2..301, for XOVER


def fill_group(news):
    gdir = os.path.join(news, BIG_GROUP)
    for n in range(2, ARTICLES + 2):
        body_lines = 40000 if n == BIG_ARTICLE else 20
        raw = "news/%s/RAW%010d" % (BIG_GROUP, n)
        text = ("220 %d <%d@local>\r\nFrom: a@b.invalid\r\nNewsgroups: %s\r\n"
                "Subject: article number %d\r\nMessage-ID: <%d@local>\r\nDate: 1 Jan 2024\r\n"
                "Lines: %d\r\n\r\n" % (n, n, BIG_GROUP, n, n, body_lines)
                + "".join("body line %05d of the article, padded to some length....\r\n" % k
                          for k in range(body_lines)) + ".\r\n")
        hs.write(os.path.join(gdir, "RAW%010d" % n), text)
        hs.write(os.path.join(gdir, "NEWS%010d" % n), raw + "\r\n")
    index = hs.read(os.path.join(news, "newsrc.ini")).decode()
    index = index.replace("[%s]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1" % BIG_GROUP,
                          "[%s]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=2\r\nHigh=%d"
                          % (BIG_GROUP, ARTICLES + 1))
    hs.write(os.path.join(news, "newsrc.ini"), index)


class HostileReaderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvhostile-")
        cls.parent = cls.tmp.name
        cls.home = os.path.join(cls.parent, "home")
        cls.port = hs.free_port()
        news = hs.make_home(cls.home, cls.port, groups=[(BIG_GROUP, True), ("local.small", True)])
        fill_group(news)
        cls.before = hs.tree_snapshot(cls.parent, skip=("home/news",))
        cls.server = hs.Server(cls.home, cls.port, lean_sanitizer=True)
        cls.server.start()
        time.sleep(0.5)
        cls.rss_start = cls.server.rss_kb()

    @classmethod
    def tearDownClass(cls):
        code = cls.server.quit()
        report = cls.server.sanitizer_report()
        cls.tmp.cleanup()
        if report:
            raise AssertionError("sanitizer report:\n" + report)
        if code != 0:
            raise AssertionError("server exit code %r" % code)

    def served(self, bound=5.0):
        """A fresh reader is greeted and answered within bound seconds."""
        r = hs.Reader(self.port, timeout=bound)
        try:
            self.assertTrue(r.line().startswith("200"))
            self.assertTrue(r.command("GROUP %s" % BIG_GROUP).startswith("211"))
            r.command("QUIT")
        finally:
            r.close()

    def wait_no_readers(self):
        # Ended sessions give their places back at the five-second tick.
        deadline = time.monotonic() + 15
        while "  IP: " in self.server.ctl("status")[1]:
            self.assertLess(time.monotonic(), deadline, "reader places not freed")
            time.sleep(0.3)

    def assert_watchdog(self, w):
        self.assertIsNone(w.failure, "the second reader was not served")
        self.assertGreater(w.replies, 0)
        self.assertLess(w.slowest, w.bound)

    def test_long_lines(self):
        with hs.Watchdog(self.port, BIG_GROUP) as w:
            # 25,000 bytes without a line end: more than a line may be.
            r = hs.Reader(self.port)
            r.line()
            r.send(b"A" * 25000)
            self.assertTrue(r.closed_within(10), "no disconnect after 25,000 bytes without LF")
            r.close()
            # Megabytes without a line end, sent as fast as the server takes
            # them: it must stop listening, not buffer them.
            r = hs.Reader(self.port)
            r.line()
            r.sock.setblocking(False)
            sent, deadline = 0, time.monotonic() + 10
            closed = False
            while sent < 20 * 1024 * 1024 and time.monotonic() < deadline:
                try:
                    sent += r.sock.send(b"B" * 65536)
                except BlockingIOError:
                    time.sleep(0.01)
                except OSError:
                    closed = True
                    break
            r.sock.setblocking(True)
            self.assertTrue(closed or r.closed_within(10), "no disconnect after %d bytes" % sent)
            r.close()
            # A long line that does end is still answered, and the session
            # goes on.
            r = hs.Reader(self.port)
            r.line()
            reply = r.command("GROUP " + "x" * 20000)
            self.assertTrue(reply[:1] in "45", reply[:80])
            self.assertTrue(r.command("GROUP %s" % BIG_GROUP).startswith("211"))
            r.close()
        self.assert_watchdog(w)
        self.served()

    def test_readers_that_never_read(self):
        pipelined = (b"ARTICLE %d\r\n" % BIG_ARTICLE) * 200 + b"XOVER 2-%d\r\n" % (ARTICLES + 1) * 200
        stalled = []
        with hs.Watchdog(self.port, BIG_GROUP) as w:
            for _ in range(10):
                r = hs.Reader(self.port)
                r.line()
                r.command("GROUP %s" % BIG_GROUP)
                r.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                r.sock.setblocking(False)
                try:
                    r.sock.send(pipelined)
                except BlockingIOError:
                    pass
                stalled.append(r)
            peak = 0
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline:
                peak = max(peak, self.server.rss_kb())
                time.sleep(0.25)
        self.assert_watchdog(w)
        # Ten readers each asking for 400 MB of replies: what is held for
        # them must stay far below what they asked for.
        growth = peak - self.rss_start
        print("never-reading readers: RSS start %d kB, peak %d kB" % (self.rss_start, peak),
              file=sys.stderr)
        self.assertLess(growth, 64 * 1024, "RSS grew by %d kB" % growth)
        # And they do not hold their places for ever: a reader that takes
        # nothing of its replies for two minutes is disconnected.
        # (Reading from them to see the close would count as taking replies.)
        t = time.monotonic()
        mark = "Reader does not take its replies; session ended."
        closed = 0
        while closed < len(stalled) and time.monotonic() - t < 150:
            closed = self.server.log().count(mark)
            time.sleep(2)
        print("stalled readers disconnected after %.0f s" % (time.monotonic() - t + 15), file=sys.stderr)
        self.assertEqual(len(stalled), closed, "stalled readers still connected")
        for r in stalled:
            r.close()
        self.served()

    def test_more_connections_than_places(self):
        self.wait_no_readers()
        with hs.Watchdog(self.port, BIG_GROUP) as w:
            time.sleep(0.5)  # the watchdog holds one place
            socks = []
            greeted = refused = 0
            try:
                for _ in range(600):
                    socks.append(socket.create_connection(("127.0.0.1", self.port), timeout=10))
                for s in socks:
                    data = b""
                    try:
                        while b"\n" not in data:
                            chunk = s.recv(256)
                            if not chunk:
                                break
                            data += chunk
                    except OSError:
                        pass
                    if data.startswith(b"200"):
                        greeted += 1
                    else:
                        refused += 1
                print("600 connections: %d greeted, %d closed at once" % (greeted, refused),
                      file=sys.stderr)
                self.assertEqual(499, greeted)
                self.assertEqual(101, refused)
            finally:
                for s in socks:
                    s.close()
        self.assert_watchdog(w)
        # Places come free at the controller's five-second tick.
        deadline = time.monotonic() + 15
        while True:
            try:
                self.served()
                break
            except (AssertionError, OSError, EOFError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)

    def test_disconnect_mid_reply(self):
        with hs.Watchdog(self.port, BIG_GROUP) as w:
            for i in range(60):
                r = hs.Reader(self.port)
                r.line()
                r.command("GROUP %s" % BIG_GROUP)
                which = i % 4
                if which == 0:
                    r.send("ARTICLE %d\r\n" % BIG_ARTICLE)
                elif which == 1:
                    r.send("XOVER 2-%d\r\n" % (ARTICLES + 1))
                elif which == 2:
                    r.send("LIST\r\nHELP\r\nARTICLE %d\r\n" % BIG_ARTICLE)
                else:
                    # Mid-posting: the work file must not be left behind.
                    r.send("POST\r\n")
                    r.line()
                    r.send(hs.article_text("local.small", "cut off")[:60])
                if which != 3:
                    r.sock.recv(1000)
                if i % 2:
                    # A reset rather than an orderly close.
                    r.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                r.close()
        self.assert_watchdog(w)
        self.served()
        deadline = time.monotonic() + 10
        posts = os.path.join(self.home, "news", "POSTS")
        while os.listdir(posts) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual([], os.listdir(posts))

    def test_zz_afterwards(self):
        # Runs last: the server serves, the store is whole, nothing new
        # exists outside the news directory but the server's own files.
        self.served()
        after = hs.tree_snapshot(self.parent, skip=("home/news",))
        own = {"home/quorvel.log", "home/quorvel.ctl", "home/stdout-1.txt", "home/stderr-1.txt"}
        self.assertEqual(set(), after - self.before - own)
        self.assertEqual([], hs.check_store(self.home))
        for entry in os.listdir(os.path.join(self.home, "news", "local.small")):
            self.fail("local.small holds %s" % entry)


if __name__ == "__main__":
    sys.exit(hs.main("hostile_reader_test"))
