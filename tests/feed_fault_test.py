#!/usr/bin/env python3
"""Fetch faults through the real binary, against a scripted upstream.

A small NNTP server of our own on loopback plays the provider's server for
a real quorvel process (headless, temporary home, free port). It serves a
few groups of ten articles and, on request, misbehaves: it drops the
connection in the middle of an article, answers "article" with an error,
stops answering in the middle of an article or before its greeting, or is
not there at all. After each faulty run the store must serve every article
it holds, no index file may name a partial article, and a healthy run
afterwards must resume where the subscription record says, without asking
for or storing any article twice.

"admin"/"ServerTimeout" is 2 seconds, so silent upstreams end quickly.
Every socket and every wait is bounded.
"""

import os
import re
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402
from hostile_support import nntplib, read, write  # noqa: E402

TIMEOUT = hs.TIMEOUT
RUN_TIMEOUT = 40
SERVER_TIMEOUT = 2
ARTICLES = 10


def message_id(group, n):
    # Article 3 carries a "/" in its id, which must not become a path.
    return "<%s.%d%s@fake.test>" % (group, n, "/../x" if n == 3 else "")


def article(group, n):
    """The wire form of an article: header, body, dot-stuffed, no "." line."""
    lines = ["Path: fake!not-for-mail", "From: fake@fake.test", "Newsgroups: " + group,
             "Subject: article %d" % n, "Message-ID: " + message_id(group, n), "",
             "Body of %d." % n, "..a line that starts with a dot"]
    lines += ["filler line %03d of article %d, long enough to span reads" % (i, n)
              for i in range(60)]
    return "".join(l + "\r\n" for l in lines).encode()


class FakeUpstream(hs.LoopbackServer):
    """An NNTP server for one test run: groups of articles 1..ARTICLES,
    and faults keyed by group and article number:
    "drop"  - the status line and half the article, then close;
    "hang"  - the status line and half the article, then silence;
    "error" - "430" instead of the article.
    With `greeting` "silent" it accepts and says nothing, with "close" it
    accepts and closes at once."""

    def __init__(self, groups):
        self.groups = groups
        self.faults = {}
        self.greeting = "ok"
        self.sessions = []  # one list of received command lines per connection
        self.lock = threading.Lock()
        super().__init__()

    def commands(self, session=-1):
        with self.lock:
            return list(self.sessions[session]) if self.sessions else []

    def serve(self, conn):
        log = []
        with self.lock:
            self.sessions.append(log)
        conn.settimeout(30)
        try:
            if self.greeting == "close":
                return
            if self.greeting == "silent":
                conn.recv(1)  # until the client gives up
                return
            conn.sendall(b"200 fake upstream ready\r\n")
            f = conn.makefile("rb")
            group, current = None, 0
            while True:
                line = f.readline()
                if not line:
                    return
                line = line.decode("latin-1").rstrip("\r\n")
                log.append(line)
                words = line.split()
                cmd = words[0].upper() if words else ""
                if cmd == "MODE":
                    conn.sendall(b"200 reader mode\r\n")
                elif cmd == "GROUP" and len(words) == 2 and words[1] in self.groups:
                    group, current = words[1], 1
                    conn.sendall(b"211 %d 1 %d %s\r\n" % (ARTICLES, ARTICLES, group.encode()))
                elif cmd == "GROUP":
                    conn.sendall(b"411 no such group\r\n")
                elif cmd == "STAT" and group and len(words) == 2 and 1 <= int(words[1]) <= ARTICLES:
                    current = int(words[1])
                    conn.sendall(b"223 %d %s\r\n" % (current, message_id(group, current).encode()))
                elif cmd == "NEXT" and group:
                    if current >= ARTICLES:
                        conn.sendall(b"421 no next article\r\n")
                    else:
                        current += 1
                        conn.sendall(b"223 %d %s article retrieved\r\n"
                                     % (current, message_id(group, current).encode()))
                elif cmd == "ARTICLE" and group and len(words) == 1:
                    log[-1] = "ARTICLE %d" % current
                    fault = self.faults.get((group, current))
                    status = b"220 %d %s article\r\n" % (current, message_id(group, current).encode())
                    body = article(group, current)
                    if fault == "error":
                        conn.sendall(b"430 no such article\r\n")
                    elif fault in ("drop", "hang"):
                        conn.sendall(status + body[:len(body) // 2])
                        if fault == "drop":
                            time.sleep(0.2)  # let the half arrive before the close
                            return
                        conn.recv(1)  # silence until the client gives up
                        return
                    else:
                        conn.sendall(status + body + b".\r\n")
                elif cmd == "LIST":
                    reply = b"215 list follows\r\n" + b"".join(
                        b"%s %d 1 y\r\n" % (g.encode(), ARTICLES) for g in self.groups) + b".\r\n"
                    if self.faults.get("LIST") == "drop":
                        conn.sendall(reply[:len(reply) // 2])
                        time.sleep(0.2)
                        return
                    conn.sendall(reply)
                elif cmd == "QUIT":
                    conn.sendall(b"205 bye\r\n")
                    return
                else:
                    conn.sendall(b"500 what?\r\n")
        except OSError:
            pass
        finally:
            conn.close()


class Quorvel(hs.Server):
    def __init__(self, upstream_port):
        self.tmp = tempfile.TemporaryDirectory(prefix="qvfault-")
        super().__init__(self.tmp.name, hs.free_port())
        self.news = hs.make_home(self.home, self.port)
        self.set_upstream_port(upstream_port)
        self.start(timeout=TIMEOUT)

    def set_upstream_port(self, port):
        hs.write_ini(self.home, self.port, upstream_port=port, server_timeout=SERVER_TIMEOUT)

    def stop(self):
        super().stop()
        self.tmp.cleanup()

    def getpost(self, meanwhile=None):
        """ctl getpost, then wait until both sessions (fetch, and post with
        an empty queue) have ended and the lock file is gone. meanwhile()
        runs once the fetch has begun."""
        self.run("getpost", 2, meanwhile)

    def run(self, command, sessions, meanwhile=None):
        self.run_feed(command, sessions, meanwhile, timeout=RUN_TIMEOUT)

    def stored(self, group):
        """{local number: message-id from the stored content's header}."""
        out = {}
        d = self.path(group)
        if not os.path.isdir(d):
            return out
        for name in os.listdir(d):
            if name.startswith("NEWS"):
                content = read(os.path.join(d, name)).decode("latin-1").rstrip("\r\n")
                m = re.search(rb"\r\nMessage-ID: (<[^>]*>)\r\n",
                              read(os.path.join(self.home, content)))
                out[int(name[4:])] = m.group(1).decode() if m else None
        return out


class FeedFaultTest(unittest.TestCase):
    # name, how the upstream misbehaves, articles stored by the faulty run,
    # the record's number afterwards, a line the log must show.
    CASES = [
        ("drop", {"fault": (6, "drop")}, [1, 2, 3, 4, 5], 5, "Session terminated by Server"),
        ("hang", {"fault": (6, "hang")}, [1, 2, 3, 4, 5], 5, "Session Timeout"),
        ("error", {"fault": (6, "error")}, [1, 2, 3, 4, 5, 7, 8, 9, 10], 10, "Article not stored"),
        ("silent", {"greeting": "silent"}, [], 0, "Session Timeout"),
        ("closes", {"greeting": "close"}, [], 0, "Session terminated by Server"),
        ("refused", {"refused": True}, [], 0, "Error on Connect()"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.upstream = FakeUpstream(["fake." + c[0] for c in cls.CASES])
        cls.qv = Quorvel(cls.upstream.port)

    @classmethod
    def tearDownClass(cls):
        cls.qv.stop()
        cls.upstream.close()

    def check_store(self, group):
        qv = self.qv
        self.assertEqual([], hs.group_file_problems(qv.home, group))
        stored = qv.stored(group)
        s = nntplib.NNTP("127.0.0.1", qv.port, timeout=TIMEOUT)
        try:
            if stored:
                s.group(group)
            for number, msgid in sorted(stored.items()):
                resp, info = s.article(number)
                self.assertTrue(resp.startswith("220"), resp)
                self.assertEqual(info.message_id, msgid)
                body = info.lines[info.lines.index(b"") + 1:]
                n = int(re.search(r"\.(\d+)", msgid).group(1))
                self.assertEqual(body[:2], [b"Body of %d." % n, b".a line that starts with a dot"])
                self.assertEqual(len(body), 62)
        finally:
            s.quit()

    def record(self):
        return read(self.qv.path("feed01.sub")).decode("latin-1")

    def test_faulty_run_then_healthy_run(self):
        qv, up = self.qv, self.upstream
        for name, fault, stored_after, record_after, logged in self.CASES:
            with self.subTest(name):
                group = "fake." + name
                write(qv.path("feed01.sub"), "Y0000000000 %s\r\n" % group)
                if "fault" in fault:
                    up.faults[(group, fault["fault"][0])] = fault["fault"][1]
                up.greeting = fault.get("greeting", "ok")
                if fault.get("refused"):
                    qv.set_upstream_port(hs.free_port())
                log_before = len(qv.log())
                sessions_before = len(up.sessions)

                started = time.monotonic()
                qv.getpost(self.reader_is_served if fault.get("greeting") == "silent" else None)
                if fault.get("greeting") == "silent":
                    # The idle timer counts one-second ticks, the first of
                    # which may come at once: P ticks last more than P - 1 s.
                    self.assertGreaterEqual(time.monotonic() - started, SERVER_TIMEOUT - 1)
                up.faults.clear()
                up.greeting = "ok"
                qv.set_upstream_port(up.port)
                log = qv.log()[log_before:]
                self.assertIn(logged, log)

                want = {m: message_id(group, n) for m, n in
                        zip(range(2, 2 + len(stored_after)), stored_after)}
                got = qv.stored(group)
                self.assertEqual(sorted(got.values()), sorted(want.values()), log)
                self.assertEqual(self.record(), "Y%010d %s\r\n" % (record_after, group), log)
                if os.path.isdir(qv.path(group)):
                    self.check_store(group)

                # The healthy run starts after the record (a record of 0 with
                # the first article) and asks for each missing article once;
                # nothing is stored twice.
                held = set(got.values())
                qv.getpost()
                self.assertGreater(len(up.sessions), sessions_before)
                cmds = up.commands()
                stat = [c.strip() for c in cmds if c.startswith("STAT")]
                start = record_after if record_after else 1
                self.assertEqual(stat, ["STAT %d" % start] if start < ARTICLES else [], cmds)
                asked = [int(c.split()[1]) for c in cmds if c.startswith("ARTICLE")]
                expect_asked = [n for n in range(record_after + 1, ARTICLES + 1)
                                if message_id(group, n) not in held]
                self.assertEqual(asked, expect_asked)
                final = qv.stored(group)
                self.assertEqual(len(final), len(set(final.values())), final)
                skipped = {6} if name == "error" else set()
                self.assertEqual(sorted(final.values()),
                                 sorted(message_id(group, n) for n in range(1, ARTICLES + 1)
                                        if n not in skipped))
                self.assertEqual(self.record(), "Y%010d %s\r\n" % (ARTICLES, group))
                high = re.search(r"\[%s\][^\[]*?^High=(\d+)" % re.escape(group),
                                 read(qv.path("newsrc.ini")).decode("latin-1"), re.M)
                self.assertEqual(int(high.group(1)), max(final), "High")
                self.check_store(group)

    def test_refresh_cut_off_keeps_the_old_list(self):
        qv, up = self.qv, self.upstream
        qv.run("refresh", 1)
        complete = read(qv.path("feed01.all"))
        self.assertTrue(complete.startswith(b"215 ") and complete.endswith(b"\r\n.\r\n205 bye\r\n"),
                        complete)
        up.faults["LIST"] = "drop"
        try:
            qv.run("refresh", 1)
        finally:
            up.faults.clear()
        self.assertIn("Session terminated by Server", qv.log().split("Loading group list")[-1])
        self.assertEqual(read(qv.path("feed01.all")), complete)
        self.assertEqual([n for n in os.listdir(qv.news) if n.startswith(".")], [])

    def reader_is_served(self):
        # The upstream's silence must not hold up newsreaders.
        s = nntplib.NNTP("127.0.0.1", self.qv.port, timeout=1)
        try:
            resp, _ = s.list()
            self.assertTrue(resp.startswith("215"), resp)
            self.assertNotIn("Session Timeout", self.qv.log().split("Requesting New Articles")[-1])
        finally:
            s.quit()


if __name__ == "__main__":
    sys.exit(hs.main("feed_fault_test"))
