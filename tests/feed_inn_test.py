#!/usr/bin/env python3
"""Store and forward through the real binary, with INN as the upstream.

Starts quorvel headless in a temporary home on a free loopback port, with
INN on 127.0.0.1:11119 (../shared/tools/inn-upstream) as its news server
and posting host, and drives it the way its owner does: `quorvel ctl
refresh|getpost|expire`. Each run creates its own upstream groups and
posts its own articles with message-ids unique to the run, so reruns
against the same INN work. After every run the store is checked file by
file and through a newsreader (nntplib).

Skipped (exit 0, with a "skipped" line) when INN does not answer or its
groups cannot be created. Every socket and every wait is bounded.
"""

import io
import os
import re
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

INN_HOST = "127.0.0.1"
INN_PORT = int(os.environ.get("INN_PORT", "11119"))
TIMEOUT = 10
RUN_TIMEOUT = 60
HERE = os.path.dirname(os.path.abspath(__file__))


def binary():
    path = os.environ.get("QV_BINARY") or os.path.join(HERE, "..", "build", "bin", "quorvel")
    return os.path.abspath(path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.replace(tmp, path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def inn_reachable():
    try:
        with socket.create_connection((INN_HOST, INN_PORT), timeout=3) as s:
            s.settimeout(3)
            return s.recv(512).startswith(b"20")
    except OSError:
        return False


def inn():
    return nntplib.NNTP(INN_HOST, INN_PORT, readermode=True, timeout=TIMEOUT)


def make_groups(groups):
    """Creates the groups upstream; False when that is not possible here."""
    tool = os.path.join(HERE, "..", "..", "shared", "tools", "inn-upstream")
    if not os.path.exists(tool):
        tool = "/work/shared/tools/inn-upstream"
    try:
        subprocess.run([tool] + groups, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)
    except (OSError, subprocess.SubprocessError):
        return False
    s = inn()
    try:
        for g in groups:
            s.group(g)
    except nntplib.NNTPError:
        return False
    finally:
        s.quit()
    return True


def remove_groups(groups):
    # Keeps INN's active file from growing with every run; best effort.
    for g in groups:
        subprocess.run(["su", "news", "-s", "/bin/sh", "-c",
                        "/usr/lib/news/bin/ctlinnd -s rmgroup '%s'" % g],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)


def article_bytes(msgid, groups, subject, body):
    return ("From: Feed Test <feedtest@example.test>\r\n"
            "Newsgroups: %s\r\nSubject: %s\r\nMessage-ID: %s\r\n\r\n%s\r\n"
            % (groups, subject, msgid, body)).encode()


class Quorvel:
    """The server binary in its own home, upstream and posting host INN."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qvfeed-")
        self.home = self.tmp.name
        self.news = os.path.join(self.home, "news")
        self.port = free_port()
        write(os.path.join(self.home, "Quorvel.INI"),
              "[admin]\r\nListenPort=%d\r\nNewsPath=news/\r\nPostingHost=%s\r\n"
              "ServerTimeout=10\r\n"
              "[Newsfeed01]\r\nName=%s\r\nPort=%d\r\n"
              "AllGroupFile=feed01.all\r\nSubGroupFile=feed01.sub\r\n"
              % (self.port, INN_HOST, INN_HOST, INN_PORT))
        write(os.path.join(self.home, "allowip.ini"), "127.0.0.1\r\n")
        os.makedirs(os.path.join(self.news, "POSTS"), exist_ok=True)
        self.out = open(os.path.join(self.home, "stdout.txt"), "wb")
        self.proc = subprocess.Popen([binary(), "--home", self.home, "--headless"],
                                     stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + TIMEOUT
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("server ended at start:\n" + self.log())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        self.tmp.cleanup()

    def log(self):
        try:
            return read(os.path.join(self.home, "quorvel.log")).decode("latin-1")
        except OSError:
            return ""

    def path(self, *parts):
        return os.path.join(self.news, *parts)

    def ctl(self, *words):
        r = subprocess.run([binary(), "--home", self.home, "ctl"] + list(words),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return r.returncode, r.stdout.decode("latin-1") + r.stderr.decode("latin-1")

    def run(self, command, sessions):
        """Runs ctl getpost/refresh and waits until its `sessions` feed
        sessions have ended and the lock file is gone again."""
        ended = self.log().count("Server Session Ended.")
        rc, out = self.ctl(command)
        assert rc == 0 and "requested" in out, (rc, out)
        wait_for(lambda: self.log().count("Server Session Ended.") >= ended + sessions
                 and not os.path.exists(self.path("feed01.lck")),
                 RUN_TIMEOUT, "ctl %s to finish\n%s" % (command, self.log()))

    def expire(self):
        done = self.log().count("[EXPIRE] Finished")
        rc, out = self.ctl("expire")
        assert rc == 0 and "requested" in out, (rc, out)
        wait_for(lambda: self.log().count("[EXPIRE] Finished") > done, RUN_TIMEOUT,
                 "the expire run\n" + self.log())
        wait_for(lambda: not os.path.exists(self.path("feed01.lck")), RUN_TIMEOUT, "the lock")

    def reader(self):
        return nntplib.NNTP("127.0.0.1", self.port, timeout=TIMEOUT)

    def index_value(self, group, key):
        text = read(self.path("newsrc.ini")).decode("latin-1")
        section = re.search(r"^\[%s\]\r?\n(.*?)(?=^\[|\Z)" % re.escape(group), text,
                            re.M | re.S | re.I)
        if not section:
            return None
        m = re.search(r"^%s=(.*?)\r?$" % key, section.group(1), re.M | re.I)
        return m.group(1) if m else None

    def stored(self, group):
        """{local number: message-id} of the group's index files."""
        out = {}
        d = self.path(group)
        for name in os.listdir(d):
            if name.startswith("NEWS"):
                content = read(os.path.join(d, name)).decode("latin-1").rstrip("\r\n")
                out[int(name[4:])] = "<" + os.path.basename(content) + ">"
        return out


class StoreChecks:
    """What must hold after every run, whatever happened in it."""

    def check_store(self, qv, groups):
        for group in groups:
            d = qv.path(group)
            names = sorted(os.listdir(d))
            indexed = set()
            for name in names:
                self.assertFalse(name.startswith("."), "work file left behind: %s/%s" % (group, name))
                if not name.startswith("NEWS"):
                    continue
                line = read(os.path.join(d, name))
                self.assertTrue(line.endswith(b"\r\n") and line.count(b"\n") == 1, (name, line))
                content = os.path.join(qv.home, line[:-2].decode("latin-1"))
                self.assertTrue(os.path.isfile(content), "%s names %s" % (name, content))
                self.assertEqual(os.path.dirname(os.path.abspath(content)), os.path.abspath(d))
                data = read(content)
                self.assertTrue(data.startswith(b"220 "), (name, data[:80]))
                self.assertTrue(data.endswith(b"\r\n.\r\n"), (name, data[-80:]))
                indexed.add(os.path.basename(content))
            # A content file no index names would make later fetches take the
            # article as stored: it would never be offered to readers.
            orphans = [n for n in names if not n.startswith(("NEWS", "RAW")) and n not in indexed]
            self.assertEqual(orphans, [], group)

        s = qv.reader()
        try:
            for group in groups:
                stored = qv.stored(group)
                if not stored:
                    continue
                s.group(group)
                for number, msgid in sorted(stored.items()):
                    resp, info = s.article(number)
                    self.assertTrue(resp.startswith("220"), (group, number, resp))
                    self.assertEqual(info.message_id, msgid, (group, number))
                    text = b"\n".join(info.lines)
                    self.assertIn(b"Message-ID: " + msgid.encode(), text)
                    self.assertIn(b"\n\n", text, "no body: %s %d" % (group, number))
        finally:
            s.quit()


class FeedInnTest(StoreChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not inn_reachable():
            raise unittest.SkipTest("INN not reachable on %s:%d" % (INN_HOST, INN_PORT))
        cls.stamp = "%d%d" % (int(time.time()), os.getpid())
        cls.A = "qv.e2e.r%s.all" % cls.stamp
        cls.B = "qv.e2e.r%s.last" % cls.stamp
        if not make_groups([cls.A, cls.B]):
            raise unittest.SkipTest("cannot create groups on INN (needs root)")
        cls.ids = {}
        # Upstream: A holds a1..a4, B holds b1..b8, then one article in both.
        s = inn()
        try:
            for i in range(1, 5):
                cls.post_inn(s, "a%d" % i, cls.A)
            for i in range(1, 9):
                cls.post_inn(s, "b%d" % i, cls.B)
            cls.post_inn(s, "x", cls.A + "," + cls.B)
        finally:
            s.quit()
        cls.qv = Quorvel()

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "qv"):
            cls.qv.stop()
        if hasattr(cls, "A"):
            remove_groups([cls.A, cls.B])

    @classmethod
    def msgid(cls, tag):
        return "<qve2e.%s.%s@example.test>" % (cls.stamp, tag)

    @classmethod
    def post_inn(cls, s, tag, groups):
        msgid = cls.msgid(tag)
        # nntplib stuffs the dot on the wire, as every client must.
        body = "Body of %s.\r\n.a line that starts with a dot\r\nlast line" % tag
        s.post(io.BytesIO(article_bytes(msgid, groups, "feed test " + tag, body)))
        cls.ids[tag] = msgid

    def upstream(self, group):
        """(first, last, {number: message-id}) of a group on INN."""
        s = inn()
        try:
            _, _, first, last, _ = s.group(group)
            _, over = s.over((first, last)) if last >= first else (None, [])
            return first, last, {n: ov["message-id"] for n, ov in over}
        finally:
            s.quit()

    def test_1_refresh_writes_the_all_groups_file(self):
        qv = self.qv
        qv.run("refresh", 1)
        data = read(qv.path("feed01.all"))
        self.assertTrue(data.startswith(b"215 "), data[:80])
        head, sep, after = data.partition(b"\r\n.\r\n")
        self.assertTrue(sep, "no terminator")
        self.assertIn(b"\r\n%s " % self.A.encode(), head)
        self.assertIn(b"\r\n%s " % self.B.encode(), head)
        # Behind the "." line comes the reply to QUIT, one line.
        self.assertRegex(after, rb"^205[^\r\n]*\r\n$")
        self.assertIn("Loading group list", qv.log())

    def test_2_fetch_all_and_last_five_then_only_new(self):
        qv = self.qv
        write(qv.path("feed01.sub"), "Y0000000000 %s\r\nY*000000005 %s\r\n" % (self.A, self.B))
        a_first, a_last, a_up = self.upstream(self.A)
        b_first, b_last, b_up = self.upstream(self.B)
        self.assertEqual((a_last - a_first, b_last - b_first), (4, 8))
        qv.run("getpost", 2)

        # Everything after A's first article; B's last five.
        want_a = [a_up[n] for n in sorted(a_up) if n > a_first]
        want_b = [b_up[n] for n in sorted(b_up) if n > b_last - 5]
        got_a, got_b = qv.stored(self.A), qv.stored(self.B)
        self.assertEqual([got_a[n] for n in sorted(got_a)], want_a, qv.log())
        self.assertEqual([got_b[n] for n in sorted(got_b)], want_b, qv.log())
        # A new group starts at High 1: its first article is number 2.
        self.assertEqual(sorted(got_a), list(range(2, 2 + len(want_a))))
        self.assertEqual(sorted(got_b), list(range(2, 2 + len(want_b))))
        self.assertEqual(read(qv.path("feed01.sub")).decode(),
                         "Y%010d %s\r\nY%010d %s\r\n" % (a_last, self.A, b_last, self.B))
        self.assertEqual(qv.index_value(self.A, "High"), str(1 + len(want_a)))
        self.assertEqual(qv.index_value(self.B, "High"), str(1 + len(want_b)))
        self.assertEqual(qv.index_value(self.A, "Local"), "No")
        # The cross-posted article is stored in both groups, once each.
        x = self.ids["x"]
        self.assertEqual(list(got_a.values()).count(x), 1)
        self.assertEqual(list(got_b.values()).count(x), 1)
        self.assertIn("Processing %s (%d)" % (self.A, a_last - a_first), qv.log())
        self.assertIn("Processing %s (5)" % self.B, qv.log())
        self.check_store(qv, [self.A, self.B])

        # Content as INN sent it, dot-stuffing included.
        content = read(qv.path(self.A, x[1:-1]))
        self.assertIn(b"\r\n..a line that starts with a dot\r\n", content)
        r = qv.reader()
        try:
            r.group(self.A)
            number = [n for n, m in got_a.items() if m == x][0]
            _, info = r.body(number)
            self.assertEqual(info.lines, [b"Body of x.", b".a line that starts with a dot",
                                          b"last line"])
        finally:
            r.quit()

        # A second run fetches what is new, and only that.
        s = inn()
        try:
            self.post_inn(s, "a5", self.A)
            self.post_inn(s, "b9", self.B)
        finally:
            s.quit()
        qv.run("getpost", 2)
        got_a2, got_b2 = qv.stored(self.A), qv.stored(self.B)
        self.assertEqual(got_a2, {**got_a, max(got_a) + 1: self.ids["a5"]})
        self.assertEqual(got_b2, {**got_b, max(got_b) + 1: self.ids["b9"]})
        self.assertEqual(read(qv.path("feed01.sub")).decode(),
                         "Y%010d %s\r\nY%010d %s\r\n" % (a_last + 1, self.A, b_last + 1, self.B))
        self.assertEqual(qv.index_value(self.A, "High"), str(max(got_a2)))
        self.assertEqual(qv.index_value(self.B, "High"), str(max(got_b2)))
        self.check_store(qv, [self.A, self.B])

        # Nothing new: nothing changes.
        qv.run("getpost", 2)
        self.assertEqual(qv.stored(self.A), got_a2)
        self.assertEqual(qv.stored(self.B), got_b2)

    def test_3_reader_postings_go_upstream_refused_ones_stay_queued(self):
        qv = self.qv
        posts = qv.path("POSTS")
        r = qv.reader()
        try:
            for tag, group, msgid in (
                    ("p1", self.A, self.msgid("p1")),
                    # INN does not carry this group...
                    ("p2", "qv.e2e.r%s.missing" % self.stamp, self.msgid("p2")),
                    # ... and holds this message-id already.
                    ("p3", self.A, self.ids["a1"])):
                resp = r.post(io.BytesIO(article_bytes(msgid, group, "reader " + tag,
                                                       "posted through quorvel\r\n.dot")))
                self.assertTrue(resp.startswith("240"), resp)
        finally:
            r.quit()
        queued = {n: read(os.path.join(posts, n)) for n in os.listdir(posts)}
        self.assertEqual(len(queued), 3, queued.keys())
        self.assertTrue(all(re.fullmatch(r"QVE.*\.TMP", n) for n in queued))

        qv.run("getpost", 2)
        s = inn()
        try:
            resp, _, _ = s.stat(self.msgid("p1"))
            self.assertTrue(resp.startswith("223"), resp)
            with self.assertRaises(nntplib.NNTPTemporaryError):
                s.stat(self.msgid("p2"))
        finally:
            s.quit()
        left = {n: read(os.path.join(posts, n)) for n in os.listdir(posts)}
        # The accepted one is gone; the refused ones stay, byte for byte.
        self.assertEqual(len(left), 2, (left.keys(), qv.log()))
        for n, data in left.items():
            self.assertEqual(queued[n], data)
            self.assertNotIn(self.msgid("p1").encode(), data)
        self.assertIn("Article Sent", qv.log())

        # The next run offers them again, they are refused again, and the
        # accepted posting has come back into A, once.
        qv.run("getpost", 2)
        self.assertEqual(sorted(os.listdir(posts)), sorted(left))
        self.assertEqual(list(qv.stored(self.A).values()).count(self.msgid("p1")), 1)
        self.check_store(qv, [self.A, self.B])

    def test_4_expire_then_fetch_does_not_fetch_again(self):
        qv = self.qv
        before_a = qv.stored(self.A)
        before_b = qv.stored(self.B)
        high_b = int(qv.index_value(self.B, "High"))
        # Every article of B is larger than 0 K.
        ini = read(qv.path("newsrc.ini")).decode("latin-1")
        ini, n = re.subn(r"^(\[%s\]\r?\n)" % re.escape(self.B), r"\1ExpireSize=0\r\n", ini,
                         flags=re.M)
        self.assertEqual(n, 1)
        write(qv.path("newsrc.ini"), ini)
        qv.expire()

        self.assertEqual(qv.stored(self.B), {})
        self.assertEqual([f for f in os.listdir(qv.path(self.B))], [])
        self.assertEqual(qv.index_value(self.B, "Low"), "0")
        self.assertEqual(qv.index_value(self.B, "High"), str(high_b))
        self.assertEqual(qv.stored(self.A), before_a)  # the cross-post's copy in A stays
        self.assertIn("[EXPIRE] Articles Removed: %d" % len(before_b), qv.log())

        s = inn()
        try:
            self.post_inn(s, "b10", self.B)
        finally:
            s.quit()
        qv.run("getpost", 2)
        self.assertEqual(qv.stored(self.B), {high_b + 1: self.ids["b10"]})
        self.check_store(qv, [self.A, self.B])
        r = qv.reader()
        try:
            _, _, first, last, _ = r.group(self.B)
            self.assertEqual(last, high_b + 1)
            with self.assertRaises(nntplib.NNTPTemporaryError):
                r.article(high_b)
        finally:
            r.quit()


    def test_5_record_article_cancelled_upstream(self):
        # When the article the record names is gone upstream, the server
        # refuses STAT and stands on the group's first article: the fetch
        # must still take only what is newer, not walk the group again.
        qv = self.qv
        record = read(qv.path("feed01.sub")).decode().split("\r\n")[0]
        self.assertTrue(record.endswith(" " + self.A), record)
        number = int(record[1:11])
        _, _, up = self.upstream(self.A)
        cancel = subprocess.run(["su", "news", "-s", "/bin/sh", "-c",
                                 "/usr/lib/news/bin/ctlinnd -s cancel '%s'" % up[number]],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if cancel.returncode != 0:
            self.skipTest("cannot cancel on INN: %r" % cancel)
        # Empty A here, so a walk from its start would store everything anew.
        ini = read(qv.path("newsrc.ini")).decode("latin-1")
        ini, n = re.subn(r"^(\[%s\]\r?\n)" % re.escape(self.A), r"\1ExpireSize=0\r\n", ini,
                         flags=re.M)
        self.assertEqual(n, 1)
        write(qv.path("newsrc.ini"), ini)
        qv.expire()
        self.assertEqual(qv.stored(self.A), {})
        high = int(qv.index_value(self.A, "High"))

        s = inn()
        try:
            self.post_inn(s, "a6", self.A)
        finally:
            s.quit()
        qv.run("getpost", 2)
        self.assertEqual(qv.stored(self.A), {high + 1: self.ids["a6"]}, qv.log())
        _, last, _ = self.upstream(self.A)
        self.assertTrue(read(qv.path("feed01.sub")).decode().startswith(
            "Y%010d %s\r\n" % (last, self.A)))
        self.check_store(qv, [self.A, self.B])


def main():
    if not os.path.exists(binary()):
        print("feed_inn_test: no server binary at %s (set QV_BINARY)" % binary(), file=sys.stderr)
        return 2
    if not inn_reachable():
        print("feed_inn_test: skipped: INN not reachable on %s:%d" % (INN_HOST, INN_PORT))
        return 0
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
