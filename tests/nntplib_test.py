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
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

TIMEOUT = 10


def binary():
    path = os.environ.get("QV_BINARY")
    if not path:
        here = os.path.dirname(os.path.abspath(__file__))
        path = os.path.join(here, "..", "build", "bin", "quorvel")
    return os.path.abspath(path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(text)


class NntplibTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvpy-")
        cls.home = cls.tmp.name
        cls.port = free_port()
        write(os.path.join(cls.home, "Quorvel.INI"),
              "[admin]\r\nListenPort=%d\r\nNewsPath=news/\r\nPostingHost=127.0.0.1\r\n"
              "[Newsfeed01]\r\nName=127.0.0.1\r\nPort=119\r\n"
              "AllGroupFile=feed01.all\r\nSubGroupFile=feed01.sub\r\n" % cls.port)
        write(os.path.join(cls.home, "allowip.ini"), "127.0.0.1\r\n")
        write(os.path.join(cls.home, "news", "newsrc.ini"),
              "[Groups]\r\nTotal=2\r\nG00001=local.test\r\nG00002=comp.test\r\n"
              "[local.test]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1\r\n"
              "[comp.test]\r\nLocal=No\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1\r\n")
        for group in ("local.test", "comp.test"):
            os.makedirs(os.path.join(cls.home, "news", group), exist_ok=True)
        os.makedirs(os.path.join(cls.home, "news", "POSTS"), exist_ok=True)
        cls.out = open(os.path.join(cls.home, "stdout.txt"), "wb")
        cls.server = subprocess.Popen(
            [binary(), "--home", cls.home, "--headless"],
            stdin=subprocess.DEVNULL, stdout=cls.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + TIMEOUT
        while True:
            if cls.server.poll() is not None:
                raise RuntimeError("server ended at start: " + cls.log())
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        if cls.server.poll() is None:
            cls.server.send_signal(signal.SIGTERM)
            try:
                cls.server.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                cls.server.kill()
                cls.server.wait()
        cls.out.close()
        cls.tmp.cleanup()

    @classmethod
    def log(cls):
        with open(os.path.join(cls.home, "stdout.txt"), "rb") as f:
            return f.read().decode("latin-1")

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
        self.assertEqual((first, last, name), (1, 1, "local.test"))
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
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(TIMEOUT), 0, self.log())
        self.assertIn("[QV] Quorvel stopped", self.log())


def main():
    if not os.path.exists(binary()):
        print("nntplib_test: no server binary at %s (set QV_BINARY)" % binary(), file=sys.stderr)
        return 2
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
