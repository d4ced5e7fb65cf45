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
import subprocess
import sys
import time
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402
from hostile_support import nntplib, read, write  # noqa: E402

INN_HOST = "127.0.0.1"
INN_PORT = int(os.environ.get("INN_PORT", "11119"))
TIMEOUT = hs.TIMEOUT
RUN_TIMEOUT = 60
HERE = os.path.dirname(os.path.abspath(__file__))


def inn_reachable():
    return hs.inn_reachable(INN_HOST, INN_PORT)


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


class Quorvel(hs.Server):
    """The server binary in its own home, upstream and posting host INN."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qvfeed-")
        super().__init__(self.tmp.name, hs.free_port())
        self.news = hs.make_home(self.home, self.port, upstream_port=INN_PORT, server_timeout=10,
                                 upstream_host=INN_HOST)
        self.start(timeout=TIMEOUT)

    def stop(self):
        super().stop()
        self.tmp.cleanup()

    def run(self, command, sessions):
        """Runs ctl getpost/refresh and waits until its `sessions` feed
        sessions have ended and the lock file is gone again."""
        self.run_feed(command, sessions, timeout=RUN_TIMEOUT)

    def expire(self):
        super().expire(RUN_TIMEOUT)

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
            self.assertEqual([], hs.group_file_problems(qv.home, group))

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

    def expire_all(self, group):
        """An expire run that removes every article of the group: each is
        larger than 0 K."""
        qv = self.qv
        ini = read(qv.path("newsrc.ini")).decode("latin-1")
        ini, n = re.subn(r"^(\[%s\]\r?\n)" % re.escape(group), r"\1ExpireSize=0\r\n", ini,
                         flags=re.M)
        self.assertEqual(n, 1)
        write(qv.path("newsrc.ini"), ini)
        qv.expire()

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
        # Beside it the descriptions: "name TAB description" lines only (the
        # test groups may have none).
        desc = read(qv.path("feed01.all.desc"))
        self.assertTrue(desc == b"" or desc.endswith(b"\r\n"), desc[:80])
        for line in desc.split(b"\r\n")[:-1]:
            self.assertIn(b"\t", line)

    def test_2_fetch_all_and_last_five_then_only_new(self):
        qv = self.qv
        write(qv.path("feed01.sub"), "Y0000000000 %s\r\nY*000000005 %s\r\n" % (self.A, self.B))
        a_first, a_last, a_up = self.upstream(self.A)
        b_first, b_last, b_up = self.upstream(self.B)
        self.assertEqual((a_last - a_first, b_last - b_first), (4, 8))
        qv.run("getpost", 2)

        # Every article of A, the first included; B's last five.
        want_a = [a_up[n] for n in sorted(a_up)]
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
        self.assertIn("Processing %s (%d)" % (self.A, a_last - a_first + 1), qv.log())
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

    def test_3_reader_postings_go_upstream_refused_ones_are_set_aside(self):
        qv = self.qv
        posts = qv.path("POSTS")
        rejected = os.path.join(posts, "rejected")
        r = qv.reader()
        refused = (
            # INN does not carry this group...
            ("p2", "qv.e2e.r%s.missing" % self.stamp, self.msgid("p2"),
             "441 No known newsgroup in Newsgroups"),
            # ... and holds this message-id already (so does Quorvel).
            ("p3", self.A, self.ids["a2"], "441 Duplicate Message-ID"))
        try:
            resp = r.post(io.BytesIO(article_bytes(self.msgid("p1"), self.A, "reader p1",
                                                   "posted through quorvel\r\n.dot")))
            self.assertTrue(resp.startswith("240"), resp)
            # Quorvel refuses these itself at POST time, with the reason.
            for tag, group, msgid, reply in refused:
                with self.assertRaises(nntplib.NNTPTemporaryError) as e:
                    r.post(io.BytesIO(article_bytes(msgid, group, "reader " + tag, "x")))
                self.assertEqual(str(e.exception), reply)
        finally:
            r.quit()
        self.assertEqual(len(os.listdir(posts)), 1)
        # Queued as an older Quorvel queued them, the upstream refuses them.
        for k, (tag, group, msgid, _) in enumerate(refused):
            write(os.path.join(posts, "QVE%X.TMP" % (0xE2E0 + k)),
                  article_bytes(msgid, group, "reader " + tag, "posted through quorvel\r\n..dot")
                  + b".\r\n")
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
        # The accepted one is gone; INN refused the others for good (441),
        # so they are kept, byte for byte, in POSTS/rejected and no longer
        # queued.
        self.assertEqual(os.listdir(posts), ["rejected"], qv.log())
        left = {n: read(os.path.join(rejected, n)) for n in os.listdir(rejected)}
        self.assertEqual(len(left), 2, (left.keys(), qv.log()))
        for n, data in left.items():
            self.assertEqual(queued[n], data)
            self.assertNotIn(self.msgid("p1").encode(), data)
        self.assertIn("Article Sent", qv.log())
        self.assertEqual(qv.log().count("Article refused for good, moved to POSTS/rejected/"), 2)
        self.assertRegex(qv.log(), r"moved to POSTS/rejected/QVE[^:]*: 441 ")

        # The next run does not offer them again, and the accepted posting
        # has come back into A, once.
        qv.run("getpost", 2)
        self.assertEqual(os.listdir(posts), ["rejected"])
        self.assertEqual(sorted(os.listdir(rejected)), sorted(left))
        self.assertEqual(qv.log().count("Article refused for good"), 2)
        self.assertEqual(list(qv.stored(self.A).values()).count(self.msgid("p1")), 1)
        self.check_store(qv, [self.A, self.B])

    def test_4_expire_then_fetch_does_not_fetch_again(self):
        qv = self.qv
        before_a = qv.stored(self.A)
        before_b = qv.stored(self.B)
        high_b = int(qv.index_value(self.B, "High"))
        self.expire_all(self.B)

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
        self.expire_all(self.A)
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
    if os.path.exists(hs.binary()) and not inn_reachable():
        print("feed_inn_test: skipped: INN not reachable on %s:%d" % (INN_HOST, INN_PORT))
        return 0
    return hs.main("feed_inn_test")


if __name__ == "__main__":
    sys.exit(main())
