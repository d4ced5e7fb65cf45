#!/usr/bin/env python3
"""kill -9 in the middle of a fetch, a posting and an expire run.

For each, the server is killed at a number of random moments (seeded, so a
failure can be replayed with QV_CRASH_SEED), restarted, and the store is
checked: every index file names an existing, complete content file inside
its group and every content file is named by one, no work file of the feed
or the index writer is left (start-up removes them), High is at least the
highest index number, no group holds one message-id twice, the posting
queue holds only complete queue files (posting work files may remain as
unfinished work). Then the work is run to its end and must finish as if
nothing had happened: the fetch resumes where the subscription record says
without storing anything twice or losing an article (one killed after its
content file was stored but before its index is fetched again), every
acknowledged posting is stored or queued exactly once, and the expire run
removes exactly the aged articles and leaves no content file behind.
"""

import os
import random
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402

KILLS = int(os.environ.get("QV_CRASH_KILLS", "5"))
SEED = int(os.environ.get("QV_CRASH_SEED", str(int(time.time()))))
GROUP = "test.group"


def target_reached(value, start, target):
    # Counts go up (a fetch) or down (an expire run) from start.
    return value >= target if target >= start else value <= target


def count_index_files(gdir):
    try:
        return sum(1 for f in os.listdir(gdir) if f.startswith("NEWS"))
    except OSError:
        return 0


class CrashTest(unittest.TestCase):
    def setUp(self):
        self.random = random.Random(SEED)
        self.tmp = tempfile.TemporaryDirectory(prefix="qvcrash-")
        self.home = os.path.join(self.tmp.name, "home")
        self.port = hs.free_port()
        self.server = hs.Server(self.home, self.port)
        self.upstream = None
        print("\n%s: seed %d" % (self.id(), SEED), file=sys.stderr)

    def tearDown(self):
        if self.server.alive():
            self.server.quit()
        if self.upstream:
            self.upstream.close()
        self.tmp.cleanup()

    def restart(self):
        self.server.start()

    def check(self, when):
        problems = hs.check_store(self.home, allow_stray_content=False)
        self.assertEqual([], problems, "after %s (seed %d)" % (when, SEED))

    def check_overview(self, group, when):
        """A kill may leave the overview file cut short or holding records of
        articles the start-up removed: what XOVER serves from it must be what
        the articles' files give, read by a server without the file."""
        served = hs.xover_lines(self.port, group)
        self.assertIsInstance(served, list, "XOVER of %s after %s" % (group, when))
        self.server.kill9()
        path = os.path.join(self.home, "news", group, hs.OVERVIEW_NAME)
        if os.path.exists(path):
            os.unlink(path)
        self.restart()
        self.assertEqual(hs.xover_lines(self.port, group), served,
                         "overview after %s (seed %d)" % (when, SEED))

    def kill_at(self, count_files, lo, hi, timeout=60):
        """Kills the server once count_files() has passed a random point
        between lo and hi (or at the time-out), then a random few
        milliseconds later, so the kill lands anywhere in an article's
        steps."""
        target = self.random.randint(min(lo, hi), max(lo, hi))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and not target_reached(count_files(), lo, target):
            time.sleep(0.002)
        time.sleep(self.random.uniform(0, 0.01))
        self.server.kill9()

    def clean_quit(self):
        self.assertEqual(0, self.server.quit())
        self.assertEqual("", self.server.sanitizer_report())

    def test_kill_during_fetch(self):
        total = 300
        self.upstream = hs.FakeUpstream(GROUP, hs.upstream_articles(total), delay=0.002)
        gdir = os.path.join(self.home, "news", GROUP)
        hs.make_home(self.home, self.port, upstream_port=self.upstream.port, server_timeout=20,
                     subscriptions=[GROUP])
        stored_before = 0
        self.restart()
        for k in range(KILLS):
            self.server.ctl("getpost")
            have = count_index_files(gdir)
            step = (total - have) // (KILLS - k + 1)
            self.kill_at(lambda: count_index_files(gdir), have, have + max(1, step))
            self.restart()
            self.check("kill %d during the fetch" % k)
            self.check_overview(GROUP, "kill %d during the fetch" % k)
            ids = hs.group_ids(self.home, GROUP)
            print("  kill %d: %d articles stored, record %s" %
                  (k, len(ids), hs.subscription_number(self.home, GROUP)), file=sys.stderr)
            self.assertGreaterEqual(len(ids), stored_before)
            stored_before = len(ids)
        self.server.ctl("getpost")
        self.assertTrue(self.server.wait_feed_done(120))
        self.check("the fetch after the kills")
        ids = hs.group_ids(self.home, GROUP)
        # A new subscription takes every article, the first included.
        want = ["art%d@fake.invalid" % i for i in range(1, total + 1)]
        self.assertEqual(len(ids), len(set(ids)), "an article stored twice (seed %d)" % SEED)
        self.assertEqual([], sorted(set(ids) - set(want)))
        # Nothing lost, including an article killed between its content file
        # and its index file: start-up removed the unindexed content, so the
        # next fetch took the article again.
        self.assertEqual([], sorted(set(want) - set(ids)), "seed %d" % SEED)
        refetched = self.server.log().count("an article file no index file names")
        print("  unindexed content files removed at start: %d" % refetched, file=sys.stderr)
        self.assertEqual("%010d" % total, hs.subscription_number(self.home, GROUP))
        self.clean_quit()

    def test_kill_during_posting(self):
        self.upstream = hs.FakeUpstream("comp.test")
        hs.make_home(self.home, self.port, upstream_port=self.upstream.port,
                     groups=[("local.test", True), ("comp.test", False)])
        acknowledged = []
        for k in range(KILLS):
            self.restart()
            stop = threading.Event()

            def poster(tag):
                try:
                    r = hs.Reader(self.port, timeout=5)
                    r.line()
                    n = 0
                    while not stop.is_set():
                        group = "local.test" if n % 2 == 0 else "comp.test"
                        subject = "%s-%d" % (tag, n)
                        if hs.post(r, group, subject, 20).startswith("240"):
                            acknowledged.append((group, subject))
                        n += 1
                except (OSError, EOFError):
                    pass

            threads = [threading.Thread(target=poster, args=("k%d-t%d" % (k, t),)) for t in range(3)]
            for t in threads:
                t.start()
            # One posting is always in the middle of arriving at the kill.
            half = hs.Reader(self.port)
            half.line()
            half.command("POST")
            half.send(hs.article_text("comp.test", "never finished", 50)[:200])
            time.sleep(self.random.uniform(0.1, 1.5))
            if k % 2:
                # Right after an acknowledgement.
                n = len(acknowledged)
                deadline = time.monotonic() + 5
                while len(acknowledged) == n and time.monotonic() < deadline:
                    time.sleep(0.001)
            self.server.kill9()
            stop.set()
            for t in threads:
                t.join(10)
            half.close()
            self.restart()
            self.check("kill %d during postings" % k)
            self.check_overview("local.test", "kill %d during postings" % k)
            self.server.kill9()
        print("  %d postings acknowledged across %d kills" % (len(acknowledged), KILLS), file=sys.stderr)
        self.assertGreater(len(acknowledged), 0)

        def subjects(paths):
            found = []
            for p in paths:
                for line in hs.read(p).split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
                    if line.startswith(b"Subject: "):
                        found.append(line[9:].decode())
            return found

        local_dir = os.path.join(self.home, "news", "local.test")
        # Local postings are named after their Message-IDs.
        local = subjects(os.path.join(local_dir, f) for f in os.listdir(local_dir)
                         if not f.startswith(("NEWS", ".")))
        posts = os.path.join(self.home, "news", "POSTS")
        queued = subjects(os.path.join(posts, f) for f in os.listdir(posts) if f.endswith(".TMP"))
        want_local = [s for g, s in acknowledged if g == "local.test"]
        want_queued = [s for g, s in acknowledged if g == "comp.test"]
        # Acknowledged means kept, once. (A posting stored but not yet
        # acknowledged at the kill may be there too; the reader will post it
        # again, as with any lost reply.)
        for s in want_local:
            self.assertEqual(1, local.count(s), s)
        for s in want_queued:
            self.assertEqual(1, queued.count(s), s)
        self.assertEqual(len(local), len(set(local)))
        self.assertEqual(len(queued), len(set(queued)))
        self.assertNotIn("never finished", queued)

        # The post session sends exactly the queue and empties it.
        self.restart()
        self.server.ctl("getpost")
        self.assertTrue(self.server.wait_feed_done(120))
        sent = []
        for body in self.upstream.posted:
            for line in body.split(b"\r\n"):
                if line.startswith(b"Subject: "):
                    sent.append(line[9:].decode())
        self.assertEqual(sorted(queued), sorted(sent))
        self.assertEqual([], [f for f in os.listdir(posts) if f.endswith(".TMP")])
        self.check("the post session after the kills")
        self.clean_quit()

    def test_clean_stop_skips_the_repair_a_kill_does_not(self):
        # A content file no index file names, put there while the server is
        # down: only a start after a kill looks for such files.
        hs.make_home(self.home, self.port, groups=[("local.g", True)])
        stray = os.path.join(self.home, "news", "local.g", "stray@x")
        for how in ("quit", "kill"):
            self.restart()
            if how == "quit":
                self.clean_quit()
            else:
                self.server.kill9()
            hs.write(stray, "220 0 <stray@x>\r\nSubject: s\r\n\r\nbody\r\n.\r\n")
            self.restart()
            self.assertEqual(how == "quit", os.path.exists(stray), how)
            self.clean_quit()
            if os.path.exists(stray):
                os.unlink(stray)
        self.assertTrue(os.path.exists(os.path.join(self.home, "news", ".qvclean")))

    def test_kill_during_expire(self):
        hs.make_home(self.home, self.port, groups=[("local.old", True)])
        news = os.path.join(self.home, "news")
        gdir = os.path.join(news, "local.old")
        old, young = 6000, 100
        last = 1 + old + young
        aged = time.time() - 40 * 86400
        for n in range(2, last + 1):
            raw = "news/local.old/RAW%010d" % n
            hs.write(os.path.join(self.home, raw),
                     "220 %d <%d@x>\r\nMessage-ID: <%d@x>\r\nSubject: s\r\n\r\nbody\r\n.\r\n" % (n, n, n))
            index = os.path.join(gdir, "NEWS%010d" % n)
            hs.write(index, raw + "\r\n")
            if n <= 1 + old:
                os.utime(index, (aged, aged))
        ini = hs.read(os.path.join(news, "newsrc.ini")).decode()
        hs.write(os.path.join(news, "newsrc.ini"), ini.replace("High=1", "High=%d" % last))
        self.restart()
        for k in range(KILLS):
            have = count_index_files(gdir)
            self.server.ctl("expire")
            step = (have - young) // (KILLS - k + 1)
            self.kill_at(lambda: count_index_files(gdir), have, have - max(1, step))
            self.restart()
            self.check("kill %d during expire" % k)
            left = len([f for f in os.listdir(gdir) if f.startswith("NEWS")])
            print("  kill %d: %d index files left" % (k, left), file=sys.stderr)
        self.server.ctl("expire")
        self.assertTrue(self.server.wait_feed_done(300))
        self.check("the expire run after the kills")
        index_files = sorted(f for f in os.listdir(gdir) if f.startswith("NEWS"))
        self.assertEqual(["NEWS%010d" % n for n in range(2 + old, last + 1)], index_files)
        low = hs.parse_profile(os.path.join(news, "newsrc.ini"))["local.old"]["low"]
        self.assertEqual(str(2 + old), low)
        # Content files whose index went at a kill were removed at the restart.
        removed = self.server.log().count("an article file no index file names")
        print("  content files without an index removed at start: %d" % removed, file=sys.stderr)
        self.assertEqual(len(index_files), len([f for f in os.listdir(gdir) if f.startswith("RAW")]))
        self.clean_quit()


if __name__ == "__main__":
    sys.exit(hs.main("crash_consistency_test"))
