#!/usr/bin/env python3
"""Newsreaders against the server binary: nntplib, raw sockets, tin and slrn.

A fake upstream serves one group whose articles carry no Lines header and
form a thread; the server subscribes to it with "all", fetches it, and
keeps a local group besides. Then:
  - nntplib and raw sockets check the RFC 3977 answers (CAPABILITIES, DATE,
    LISTGROUP, LAST, OVER, HDR, NEWNEWS), real Lines counts and lookups by
    Message-ID;
  - slrn and tin, run in tmux as a person would, show the real unread
    counts, before and after a restart of the server;
  - tin posts a follow-up without a Message-ID, and slrn shows it in the
    thread of its parent.
tmux screens are polled against a deadline; every socket times out. The
tin and slrn parts are skipped when the programs are not installed
(tools/deps.sh installs them).
"""

import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402
from hostile_support import nntplib  # noqa: E402

TIMEOUT = hs.TIMEOUT
SCREEN_TIMEOUT = 60  # tin starts slowly on a loaded machine
UPSTREAM = "test.group"
LOCAL = "local.test"


def upstream_articles():
    """A standalone article, then a thread: its root and three replies.
    Bodies of 1, 2, ... 5 lines, and no Lines header anywhere."""
    arts = []

    def add(mid, subject, refs, lines):
        text = ("Message-ID: <%s>\r\nSubject: %s\r\nFrom: Up <up@fake.invalid>\r\n"
                "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nNewsgroups: %s\r\n" % (mid, subject, UPSTREAM))
        if refs:
            text += "References: %s\r\n" % " ".join("<%s>" % r for r in refs)
        text += "\r\n" + "".join("line %d\r\n" % k for k in range(lines))
        arts.append((mid, text))

    add("first@fake.invalid", "the very first", [], 1)
    add("root@fake.invalid", "a thread", [], 2)
    add("r1@fake.invalid", "Re: a thread", ["root@fake.invalid"], 3)
    add("r2@fake.invalid", "Re: a thread", ["root@fake.invalid"], 4)
    add("r3@fake.invalid", "Re: a thread", ["root@fake.invalid", "r2@fake.invalid"], 5)
    return arts


class Tmux:
    """One program in a detached tmux session of fixed size."""

    def __init__(self, name, argv, env):
        self.name = name
        words = ["env"] + ["%s=%s" % kv for kv in sorted(env.items())] + argv
        subprocess.run(["tmux", "kill-session", "-t", name], capture_output=True)
        subprocess.run(["tmux", "new-session", "-d", "-s", name, "-x", "132", "-y", "40",
                        " ".join(shlex.quote(w) for w in words)], check=True, timeout=TIMEOUT)

    def screen(self):
        r = subprocess.run(["tmux", "capture-pane", "-p", "-t", self.name], capture_output=True,
                           timeout=TIMEOUT)
        return r.stdout.decode("utf-8", "replace")

    def wait(self, pattern, timeout=SCREEN_TIMEOUT):
        """The first match of the regex on the screen, polled until the deadline."""
        deadline = time.monotonic() + timeout
        while True:
            m = re.search(pattern, self.screen(), re.M)
            if m:
                return m
            if time.monotonic() > deadline:
                raise AssertionError("%s: no %r on the screen:\n%s" % (self.name, pattern,
                                                                      self.screen()))
            time.sleep(0.1)

    def keys(self, *keys):
        for k in keys:
            subprocess.run(["tmux", "send-keys", "-t", self.name, k], check=True, timeout=TIMEOUT)
            time.sleep(0.2)

    def alive(self):
        return subprocess.run(["tmux", "has-session", "-t", self.name],
                              capture_output=True).returncode == 0

    def wait_gone(self, timeout=SCREEN_TIMEOUT):
        deadline = time.monotonic() + timeout
        while self.alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        if self.alive():
            self.kill()
            raise AssertionError("%s did not end" % self.name)

    def kill(self):
        subprocess.run(["tmux", "kill-session", "-t", self.name], capture_output=True)

    def quit(self, key, question, answer, timeout=SCREEN_TIMEOUT):
        """Quits with key and answers question if it is asked: on a loaded
        machine tin was seen to clear its screen and end without the question
        ever being polled."""
        self.keys(key)
        deadline = time.monotonic() + timeout
        while self.alive() and time.monotonic() < deadline:
            if re.search(question, self.screen(), re.M):
                self.keys(answer)
                break
            time.sleep(0.1)
        self.wait_gone(max(0.0, deadline - time.monotonic()) + 1)


def have(*programs):
    return all(shutil.which(p) for p in programs)


class NewsreaderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvreaders-")
        cls.home = os.path.join(cls.tmp.name, "home")
        cls.port = hs.free_port()
        cls.upstream = hs.FakeUpstream(UPSTREAM, upstream_articles())
        hs.make_home(cls.home, cls.port, upstream_port=cls.upstream.port,
                     groups=[(LOCAL, True)], subscriptions=[UPSTREAM])
        cls.server = hs.Server(cls.home, cls.port)
        cls.server.start(timeout=TIMEOUT)
        # The subscription record is "Y0000000000": every article.
        cls.server.run_feed("getpost", 2)
        s = cls.reader()
        try:
            s.post(io.BytesIO(hs.article_text(LOCAL, "local parent", 4).encode()))
        finally:
            s.quit()

    @classmethod
    def tearDownClass(cls):
        for name in ("qvslrn", "qvtin"):
            subprocess.run(["tmux", "kill-session", "-t", name], capture_output=True)
        cls.server.stop()
        cls.upstream.close()
        cls.tmp.cleanup()

    @classmethod
    def reader(cls):
        return nntplib.NNTP("127.0.0.1", cls.port, timeout=TIMEOUT)

    def raw(self):
        r = hs.Reader(self.port)
        self.addCleanup(r.close)
        self.assertTrue(r.line().startswith("200"))
        return r

    def real_count(self, group):
        """The articles the group has, by LISTGROUP."""
        r = self.raw()
        self.assertTrue(r.command("LISTGROUP " + group).startswith("211"))
        return len(r.multiline())

    # ---- the protocol -------------------------------------------------------------

    def test_subscribe_all_fetches_every_article_the_first_included(self):
        got = set(hs.group_ids(self.home, UPSTREAM))
        self.assertEqual({mid for mid, _ in upstream_articles()}, got)

    def test_rfc3977_answers(self):
        r = self.raw()
        self.assertEqual("101 Capability list:", r.command("CAPABILITIES"))
        caps = r.multiline()
        self.assertEqual("VERSION 2", caps[0])
        for cap in ("READER", "POST", "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS", "OVER MSGID",
                    "HDR", "NEWNEWS"):
            self.assertIn(cap, caps)
        self.assertTrue(any(c.startswith("IMPLEMENTATION Quorvel") for c in caps), caps)
        date = r.command("DATE")
        self.assertRegex(date, r"^111 \d{14}$")
        self.assertLess(abs(time.mktime(time.strptime(date[4:], "%Y%m%d%H%M%S"))
                            - time.mktime(time.gmtime())), 60)

        # Nothing selected: 412; MODE and QUIT with unknown words: 501.
        for command, code in (("ARTICLE", "412"), ("NEXT", "412"), ("LAST", "412"),
                              ("OVER", "412"), ("HDR Subject", "412"), ("LISTGROUP", "412"),
                              ("MODE NONSENSE", "501"), ("QUIT SMOKING", "501"),
                              ("IHAVE <x@y>", "435"), ("STAT <nope@nowhere>", "430")):
            self.assertEqual(code, r.command(command)[:3], command)

        head = r.command("LISTGROUP " + UPSTREAM)
        numbers = [int(n) for n in r.multiline()]
        count, low, high = (int(w) for w in head.split()[1:4])
        self.assertEqual((count, low), (len(numbers), numbers[0]), head)
        self.assertGreaterEqual(high, numbers[-1])
        # LISTGROUP made the first article current.
        self.assertEqual("422", r.command("LAST")[:3])
        self.assertEqual("223 %d " % numbers[1], r.command("NEXT")[:5 + len(str(numbers[1]))])
        self.assertEqual("223 %d " % numbers[0], r.command("LAST")[:5 + len(str(numbers[0]))])
        self.assertEqual("211 %d %d %d %s" % (count, low, high, UPSTREAM),
                         r.command("GROUP " + UPSTREAM).split(" group")[0])
        self.assertEqual("223 %d " % low, r.command("STAT")[:5 + len(str(low))])

        self.assertEqual("224", r.command("OVER %d-%d" % (low, high))[:3])
        over = r.multiline()
        self.assertEqual(len(numbers), len(over))
        for line in over:
            self.assertGreaterEqual(len(line.split("\t")), 8, line)
        self.assertEqual("423", r.command("OVER %d-" % (high + 1))[:3])
        self.assertEqual("224", r.command("OVER <root@fake.invalid>")[:3])
        self.assertEqual(1, len(r.multiline()))
        self.assertEqual("225", r.command("HDR Subject %d-%d" % (low, high))[:3])
        self.assertEqual(len(numbers), len(r.multiline()))
        self.assertEqual("225", r.command("HDR :lines <root@fake.invalid>")[:3])
        root = r.multiline()
        self.assertEqual(1, len(root))
        self.assertRegex(root[0], r"^[1-9]\d* 2$")  # its number here, two body lines
        self.assertEqual("215", r.command("LIST HEADERS")[:3])
        self.assertIn(":lines", r.multiline())

        since = time.strftime("%Y%m%d %H%M%S", time.gmtime(time.time() - 3600))
        self.assertEqual("230", r.command("NEWNEWS * %s GMT" % since)[:3])
        new = r.multiline()
        self.assertIn("<root@fake.invalid>", new)
        self.assertEqual(len(new), len(set(new)))
        self.assertEqual("230", r.command("NEWNEWS %s %s GMT" % (LOCAL, since))[:3])
        local = r.multiline()
        self.assertTrue(local and not set(local) & {"<%s>" % m for m, _ in upstream_articles()},
                        local)

    def test_lines_show_real_counts(self):
        s = self.reader()
        self.addCleanup(s.quit)
        _, count, first, last, _ = s.group(UPSTREAM)
        _, over = s.over((first, last))
        lines = {ov["message-id"]: int(ov[":lines"]) for _, ov in over}
        for mid, text in upstream_articles():
            if "<%s>" % mid in lines:
                self.assertEqual(text.split("\r\n\r\n", 1)[1].count("\r\n"), lines["<%s>" % mid],
                                 mid)
        self.assertEqual(5, lines["<r3@fake.invalid>"])
        _, hdrs = s.xhdr("Lines", "%d-%d" % (first, last))
        self.assertEqual(sorted(lines.values()), sorted(int(v) for _, v in hdrs))

    def test_fetch_parent_by_message_id(self):
        s = self.reader()
        self.addCleanup(s.quit)
        s.group(UPSTREAM)
        _, info = s.head("<r3@fake.invalid>")
        refs = [l for l in info.lines if l.startswith(b"References:")][0].split()
        # The parent of r3 is r2, whose parent is the root.
        for parent in refs[1:]:
            _, art = s.article(parent.decode())
            self.assertEqual(parent.decode(), art.message_id)
            self.assertGreater(art.number, 0)  # in the current group: its number there
        _, info = s.body("<root@fake.invalid>")
        self.assertEqual([b"line 0", b"line 1"], info.lines)
        s.group(LOCAL)
        _, stat_number, _ = s.stat("<root@fake.invalid>")
        self.assertEqual(0, stat_number)  # found in another group
        with self.assertRaises(nntplib.NNTPTemporaryError) as e:
            s.stat("<nowhere@fake.invalid>")
        self.assertTrue(str(e.exception).startswith("430"))

    def test_post_without_message_id_gets_one_and_a_date(self):
        s = self.reader()
        self.addCleanup(s.quit)
        _, count, first, last, _ = s.group(LOCAL)
        _, over = s.over((first, last))
        number, parent = [(n, ov) for n, ov in over if ov["subject"] == "local parent"][0]
        self.assertRegex(parent["message-id"], r"^<[^<>@\s]+@[^<>@\s]+>$")
        self.assertRegex(parent["date"], r"^\w{3}, \d{1,2} \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}$")
        _, info = s.head(parent["message-id"])
        self.assertEqual(number, info.number)

    # ---- tin and slrn --------------------------------------------------------------

    def reader_home(self, name):
        home = os.path.join(self.tmp.name, name)
        os.makedirs(os.path.join(home, ".tin"), exist_ok=True)
        hs.write(os.path.join(home, ".slrnrc"),
                 'set username "tester"\nset hostname "example.invalid"\n'
                 'set realname "Slrn Tester"\nset confirm_actions 0\n'
                 'set query_read_group_cutoff 0\nset uncollapse_threads 1\n'
                 'set simulate_graphic_chars 1\nset sorting_method 3\n')
        hs.write(os.path.join(home, ".tin", "tinrc"),
                 "mail_address=Tin Tester <tintester@example.invalid>\n")
        editor = os.path.join(home, "editor.sh")
        # tin passes "+LINE FILE": the text goes at the end of the last argument.
        hs.write(editor, '#!/bin/sh\nfor f; do :; done\nprintf "\\nA follow-up from tin.\\n" >> "$f"\n')
        os.chmod(editor, 0o755)
        return home

    def slrn(self, home, groups=None):
        """slrn on the server; groups: the subscriptions of a new newsrc."""
        newsrc = os.path.join(home, ".jnewsrc")
        if groups:
            hs.write(newsrc, "".join("%s:\n" % g for g in groups))
        argv = ["slrn", "-h", "127.0.0.1:%d" % self.port, "-f", newsrc]
        return Tmux("qvslrn", argv, {"HOME": home, "TERM": "xterm"})

    def tin(self, home):
        env = {"HOME": home, "TERM": "xterm", "EDITOR": os.path.join(home, "editor.sh"),
               "VISUAL": os.path.join(home, "editor.sh")}
        t = Tmux("qvtin", ["tin", "-r", "-g", "127.0.0.1", "-p", str(self.port), "-q"], env)
        # The welcome page comes on the first start only.
        m = t.wait(r"Press <RETURN> to continue|Group Selection")
        if m.group(0).startswith("Press"):
            t.keys("Enter")
        t.wait(r"Group Selection")
        return t

    def slrn_counts(self, t):
        counts = {}
        for group in (LOCAL, UPSTREAM):
            m = t.wait(r"(\d+)\s+%s\s*$" % re.escape(group))
            counts[group] = int(m.group(1))
        return counts

    def tin_counts(self, t):
        counts = {}
        for group in (LOCAL, UPSTREAM):
            m = t.wait(r"^\s*\d+\s+(\d*)\s+%s\s*$" % re.escape(group))
            counts[group] = int(m.group(1) or 0)
        return counts

    def restart_server(self):
        self.assertEqual(0, self.server.stop())
        self.server.start(timeout=TIMEOUT)

    @unittest.skipUnless(have("tmux", "slrn", "tin"), "needs tmux, slrn and tin")
    def test_unread_counts_in_slrn_and_tin_are_real_after_a_restart_too(self):
        real = {g: self.real_count(g) for g in (LOCAL, UPSTREAM)}
        sh = self.reader_home("slrnhome")
        t = self.slrn(sh, [LOCAL, UPSTREAM])
        self.addCleanup(t.kill)
        self.assertEqual(real, self.slrn_counts(t))
        # Read the first article of the upstream group, then quit.
        t.keys("Down")
        t.wait(r"^->.*%s" % re.escape(UPSTREAM))
        t.keys("Space")
        t.wait(r"the very first|a thread")
        t.keys("Space")
        t.wait(r"Group: %s" % re.escape(UPSTREAM))
        t.keys("q")
        t.wait(r"News Groups")
        t.keys("q")
        t.wait_gone()

        th = self.reader_home("tinhome")
        hs.write(os.path.join(th, ".newsrc"), "%s:\n%s:\n" % (LOCAL, UPSTREAM))
        t = self.tin(th)
        self.addCleanup(t.kill)
        self.assertEqual(real, self.tin_counts(t))
        t.quit("q", r"really want to quit", "y")

        self.restart_server()
        t = self.slrn(sh)
        self.assertEqual({LOCAL: real[LOCAL], UPSTREAM: real[UPSTREAM] - 1}, self.slrn_counts(t))
        t.kill()
        t = self.tin(th)
        self.assertEqual(real, self.tin_counts(t))
        t.kill()

    @unittest.skipUnless(have("tmux", "slrn", "tin"), "needs tmux, slrn and tin")
    def test_follow_up_by_tin_threads_under_its_parent_in_slrn(self):
        th = self.reader_home("tinpost")
        hs.write(os.path.join(th, ".newsrc"), "%s:\n" % LOCAL)
        before = self.real_count(LOCAL)
        t = self.tin(th)
        self.addCleanup(t.kill)
        t.keys("Enter")  # into the group
        t.wait(r"local parent")
        t.keys("Enter")  # the article
        t.wait(r"body line 0 of local parent")
        t.keys("f")
        t.wait(r"p=post")
        t.keys("p")
        hs.wait_for(lambda: self.real_count(LOCAL) == before + 1, SCREEN_TIMEOUT,
                    "tin's follow-up\n" + t.screen())
        t.kill()

        s = self.reader()
        self.addCleanup(s.quit)
        _, _, first, last, _ = s.group(LOCAL)
        _, over = s.over((first, last))
        parent = [ov for _, ov in over if ov["subject"] == "local parent"][0]
        reply = [ov for _, ov in over if ov["subject"] == "Re: local parent"][0]
        self.assertRegex(reply["message-id"], r"^<[^<>@\s]+@[^<>@\s]+>$")
        self.assertEqual(parent["message-id"], reply["references"].split()[-1])

        sh = self.reader_home("slrnthread")
        t = self.slrn(sh, [LOCAL])
        self.addCleanup(t.kill)
        t.wait(r"^->.*%s" % re.escape(LOCAL))
        t.keys("Space")
        # The reply hangs below its parent in the thread tree (slrn leaves
        # out a subject that its parent already shows).
        t.wait(r"^->.*local parent\s*\n.*Tin Tester.*`->")


if __name__ == "__main__":
    sys.exit(hs.main("newsreader_test"))
