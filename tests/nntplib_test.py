#!/usr/bin/env python3
"""Python's own NNTP client against the server binary.

Starts quorvel headless in a temporary home on a free port, with a local
group and an upstream group in its index, and talks to it through
nntplib. Every socket has a time-out, so a hang fails instead of stalling.
The binary comes from $QV_BINARY, else build/bin/quorvel beside this file's
folder. Exits non-zero on failure.
"""

import glob
import io
import os
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402
from hostile_support import nntplib  # noqa: E402

TIMEOUT = hs.TIMEOUT


class NntplibTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvpy-")
        cls.home = cls.tmp.name
        cls.port = hs.free_port()
        hs.make_home(cls.home, cls.port, groups=[("local.test", True), ("comp.test", False)])
        cls.server = hs.Server(cls.home, cls.port)
        cls.server.start(timeout=TIMEOUT)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    @classmethod
    def log(cls):
        return cls.server.stdout()

    def connect(self):
        s = nntplib.NNTP("127.0.0.1", self.port, timeout=TIMEOUT)
        self.addCleanup(s.quit)
        return s

    def post(self, s, group, subject, body):
        article = ("From: tester@example.invalid\r\n"
                   "Newsgroups: %s\r\n"
                   "Subject: %s\r\n"
                   "\r\n%s\r\n" % (group, subject, body)).encode()
        return s.post(io.BytesIO(article))

    def test_01_welcome_and_list(self):
        s = self.connect()
        self.assertTrue(s.getwelcome().startswith("200 Quorvel Ready"))
        resp, groups = s.list()
        self.assertTrue(resp.startswith("215"), resp)
        names = [g.group for g in groups]
        self.assertIn("local.test", names)
        self.assertIn("comp.test", names)

    def test_02_group(self):
        s = self.connect()
        resp, count, first, last, name = s.group("local.test")
        self.assertTrue(resp.startswith("211"), resp)
        # Empty: count 0, low = high + 1.
        self.assertEqual((count, first, last, name), (0, 2, 1, "local.test"))
        with self.assertRaises(nntplib.NNTPTemporaryError):
            s.group("no.such.group")

    def test_03_post_local_then_read(self):
        s = self.connect()
        resp = self.post(s, "local.test", "hello from nntplib", "first body line\r\n..dotted")
        self.assertTrue(resp.startswith("240"), resp)
        resp, count, first, last, name = s.group("local.test")
        self.assertEqual(last, 2)

        resp, overviews = s.over((first, last))
        self.assertTrue(resp.startswith("224"), resp)
        subjects = [ov.get("subject") for num, ov in overviews]
        self.assertIn("hello from nntplib", subjects)

        resp, info = s.article(2)
        self.assertTrue(resp.startswith("220"), resp)
        text = b"\n".join(info.lines)
        self.assertIn(b"Subject: hello from nntplib", text)
        self.assertIn(b"first body line", text)
        self.assertIn(b".dotted", text)

        resp, info = s.head(2)
        self.assertTrue(resp.startswith("221"), resp)
        self.assertIn(b"Subject: hello from nntplib", b"\n".join(info.lines))
        self.assertNotIn(b"first body line", b"\n".join(info.lines))

        resp, info = s.body(2)
        self.assertTrue(resp.startswith("222"), resp)
        self.assertIn(b"first body line", b"\n".join(info.lines))
        self.assertNotIn(b"Subject:", b"\n".join(info.lines))

    def test_04_post_external_is_queued(self):
        s = self.connect()
        before = set(glob.glob(os.path.join(self.home, "news", "POSTS", "QVE*.TMP")))
        resp = self.post(s, "comp.test", "for upstream", "queued body")
        self.assertTrue(resp.startswith("240"), resp)
        queued = set(glob.glob(os.path.join(self.home, "news", "POSTS", "QVE*.TMP"))) - before
        self.assertEqual(len(queued), 1, os.listdir(os.path.join(self.home, "news", "POSTS")))
        with open(queued.pop(), "rb") as f:
            self.assertIn(b"Subject: for upstream", f.read())
        # Nothing was stored in the upstream group itself.
        resp, count, first, last, name = s.group("comp.test")
        self.assertEqual(last, 1)

    def test_05_server_still_answers_and_ends_cleanly(self):
        s = self.connect()
        self.assertTrue(s.getwelcome().startswith("200"))
        self.assertIn("[QV] Serving newsreaders on port %d" % self.port, self.log())

    def test_99_sigterm_ends_with_code_zero(self):
        self.server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.proc.wait(TIMEOUT), 0, self.log())
        self.assertIn("[QV] Quorvel stopped", self.log())


if __name__ == "__main__":
    sys.exit(hs.main("nntplib_test"))
