#!/usr/bin/env python3
"""An upstream news server that misbehaves, against the server binary.

The fake upstream runs in this process on loopback and is the server's
upstream (Quorvel.INI [Newsfeed01] Name/Port); "ctl getpost" starts a fetch
of the one subscribed group. The upstream sends an endless line, an article
that never ends, a message-id with "../" in it and a reply to NEXT with a
2000-character id. Each time the fetch must end (or go on) with the store
whole, nothing written outside the news directory, no file growing without
bound, and a reader connected meanwhile answered throughout.
"""

import os
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402

GROUP = "test.group"
# What an endless reply may send before the test gives up on the server
# ending it: far more than any sane article.
FLOOD_LIMIT = 256 * 1024 * 1024


def flood(conn, stop, piece):
    """Sends piece over and over until the peer goes, FLOOD_LIMIT is sent
    or 60 seconds pass. Returns the bytes sent."""
    sent = 0
    deadline = time.monotonic() + 60
    conn.settimeout(5)
    try:
        while sent < FLOOD_LIMIT and time.monotonic() < deadline and not stop.is_set():
            conn.sendall(piece)
            sent += len(piece)
    except OSError:
        pass
    return sent


class HostileUpstreamTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qvupstream-")
        self.parent = self.tmp.name
        self.home = os.path.join(self.parent, "home")
        self.port = hs.free_port()
        self.upstream = hs.FakeUpstream(GROUP, hs.upstream_articles(5))
        hs.make_home(self.home, self.port, upstream_port=self.upstream.port, server_timeout=20,
                     groups=[("local.test", True)], subscriptions=[GROUP])
        self.before = hs.tree_snapshot(self.parent, skip=("home/news",))
        self.server = hs.Server(self.home, self.port)
        self.server.start()

    def tearDown(self):
        code = self.server.quit()
        report = self.server.sanitizer_report()
        self.upstream.close()
        self.tmp.cleanup()
        self.assertEqual("", report)
        self.assertEqual(0, code)

    def fetch(self, timeout=90):
        """Runs a fetch while a reader is served; returns the watchdog."""
        with hs.Watchdog(self.port, "local.test") as w:
            code, out = self.server.ctl("getpost")
            self.assertEqual(0, code, out)
            done = self.server.wait_feed_done(timeout)
            largest = self.largest_file()
        self.assertTrue(done, "the fetch did not end: " + self.server.log()[-2000:])
        self.assertIsNone(w.failure, "the reader was not served")
        self.assertLess(w.slowest, w.bound)
        return largest

    def largest_file(self):
        biggest = 0
        for dirpath, _, files in os.walk(os.path.join(self.home, "news")):
            for f in files:
                try:
                    biggest = max(biggest, os.path.getsize(os.path.join(dirpath, f)))
                except OSError:
                    pass
        return biggest

    def assert_store_sound(self):
        self.assertEqual([], hs.check_store(self.home))
        after = hs.tree_snapshot(self.parent, skip=("home/news",))
        own = {"home/quorvel.log", "home/quorvel.ctl", "home/stdout-1.txt", "home/stderr-1.txt"}
        self.assertEqual(set(), after - self.before - own)
        news = os.path.join(self.home, "news")
        self.assertEqual({"POSTS", "newsrc.ini", "feed01.sub", "local.test", GROUP},
                         set(os.listdir(news)) - {"feed01.lck"})
        # Nothing but index and content files in the group directory.
        for entry in os.listdir(os.path.join(news, GROUP)):
            self.assertFalse(entry.startswith(".") and entry != hs.OVERVIEW_NAME, entry)

    def test_ordinary_fetch(self):
        self.fetch()
        self.assertEqual(["art%d@fake.invalid" % i for i in range(1, 6)], hs.group_ids(self.home, GROUP))
        self.assertEqual("0000000005", hs.subscription_number(self.home, GROUP))
        self.assert_store_sound()

    def test_endless_line(self):
        stop = self.upstream.stop_event
        self.upstream.on_group = lambda conn: flood(conn, stop, b"211 " + b"9" * 65536)
        self.fetch()
        self.assertIn("!!Buffer Overflow!!", self.server.log())
        self.assert_store_sound()

    def test_endless_article(self):
        stop = self.upstream.stop_event
        sent = []

        def article(conn, number):
            if number != 3:
                return None
            conn.sendall(b"220 3 <art3@fake.invalid>\r\nSubject: endless\r\n\r\n")
            sent.append(flood(conn, stop, b"an article that never ends, line after line\r\n" * 1000))
            return True

        self.upstream.on_article = article
        self.fetch()
        print("endless article: the server took %d bytes of it" % sum(sent), file=sys.stderr)
        # The server ended it well before the flood's own limit.
        self.assertEqual(1, len(sent))
        self.assertLess(sent[0], FLOOD_LIMIT // 2, "an endless article was taken whole")
        self.assertLess(self.largest_file(), 1024 * 1024)
        # Articles 1 and 2 were stored; the endless one was not.
        self.assertEqual(["art1@fake.invalid", "art2@fake.invalid"],
                         hs.group_ids(self.home, GROUP)[:2])
        self.assertNotIn("art3@fake.invalid", hs.group_ids(self.home, GROUP))
        self.assert_store_sound()

    def test_message_id_with_dot_dot(self):
        hostile = ["../../escaped@x", "../newsrc.ini", "..", "/etc/passwd", "a/../../b@x",
                   ".hidden@x", "NEWS0000000009", "%2F@x"]
        self.upstream.articles = [(mid, "Message-ID: <%s>\r\nSubject: s\r\n\r\nbody\r\n" % mid)
                                  for mid in ["first@x"] + hostile]
        index_before = hs.read(os.path.join(self.home, "news", "newsrc.ini"))
        self.fetch()
        self.assert_store_sound()
        stored = hs.group_ids(self.home, GROUP)
        # Every article is stored, each inside the group directory, none
        # under a name of the store's own.
        self.assertEqual(sorted(["first@x"] + hostile), sorted(stored), stored)
        self.assertTrue(hs.read(os.path.join(self.home, "news", "newsrc.ini")).startswith(b"[Groups]"))
        self.assertNotEqual(index_before, b"")

    def test_next_with_long_id(self):
        long_id = "x" * 2000 + "@fake.invalid"

        def next_reply(conn, number, mid):
            if number != 3:
                return None
            conn.sendall(b"223 3 <" + long_id.encode() + b"> article\r\n")
            return True

        self.upstream.on_next = next_reply
        self.fetch()
        self.assert_store_sound()
        ids = hs.group_ids(self.home, GROUP)
        self.assertIn("art2@fake.invalid", ids)
        self.assertNotIn(long_id, ids)
        # The fetch went past the unusable id instead of stopping the group
        # there for good.
        self.assertEqual(["art1@fake.invalid", "art2@fake.invalid", "art4@fake.invalid",
                          "art5@fake.invalid"], ids)
        self.assertEqual("0000000005", hs.subscription_number(self.home, GROUP))

    def test_upstream_that_vanishes(self):
        # The connection drops in the middle of an article: progress kept,
        # no partial article visible, the next fetch completes the group.
        def article(conn, number):
            if number != 4:
                return None
            conn.sendall(b"220 4 <art4@fake.invalid>\r\nSubject: cut\r\n\r\nhalf a bo")
            conn.shutdown(socket.SHUT_RDWR)
            return True

        self.upstream.on_article = article
        self.fetch()
        self.assert_store_sound()
        self.assertEqual(["art%d@fake.invalid" % i for i in range(1, 4)],
                         hs.group_ids(self.home, GROUP))
        self.upstream.on_article = None
        self.fetch()
        self.assert_store_sound()
        self.assertEqual(["art%d@fake.invalid" % i for i in range(1, 6)], hs.group_ids(self.home, GROUP))


if __name__ == "__main__":
    sys.exit(hs.main("hostile_upstream_test"))
