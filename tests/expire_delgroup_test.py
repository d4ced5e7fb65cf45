#!/usr/bin/env python3
"""Groups deleted with "ctl delgroup" while an expire run is working.

The run must expire every group that exists through the whole run exactly
once, even when a group listed before the one it is on goes, and must never
write into a group deleted under it: a deleted group stays deleted for
GROUP, LIST and the index, and can be added again.
"""

import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_support as hs  # noqa: E402

GROUPS = ["local.a", "local.b", "local.c", "local.d"]
AGED = 3000  # per group: enough for the run to take many steps in each


class ExpireDelgroupTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qv-expire-del-")
        self.home = self.tmp.name
        self.port = hs.free_port()
        news = hs.make_home(self.home, self.port, groups=[(g, True) for g in GROUPS])
        aged = time.time() - 40 * 86400
        last = 1 + AGED + 1
        for g in GROUPS:
            gdir = os.path.join(news, g)
            for n in range(2, last + 1):
                raw = "news/%s/RAW%010d" % (g, n)
                hs.write(os.path.join(self.home, raw),
                         "220 %d <%d.%s@x>\r\nSubject: s\r\n\r\nbody\r\n.\r\n" % (n, n, g))
                index = os.path.join(gdir, "NEWS%010d" % n)
                hs.write(index, raw + "\r\n")
                if n < last:
                    os.utime(index, (aged, aged))
        ini = hs.read(os.path.join(news, "newsrc.ini")).decode()
        hs.write(os.path.join(news, "newsrc.ini"), ini.replace("High=1", "High=%d" % last))
        self.last = last
        self.server = hs.Server(self.home, self.port)
        self.server.start()

    def tearDown(self):
        if self.server.alive():
            self.server.stop()
        self.tmp.cleanup()

    def test_delete_before_and_at_the_running_group(self):
        log0 = len(self.server.log())
        code, out = self.server.ctl("expire")
        self.assertEqual(0, code, out)
        hs.wait_for(lambda: "[EXPIRE] Processing Group: local.b" in self.server.log()[log0:],
                    hs.TIMEOUT, "the run to reach local.b")
        # local.a is done, local.b in progress: both go while the run works.
        for g in ("local.a", "local.b"):
            code, out = self.server.ctl("delgroup", g)
            self.assertEqual(0, code, out)
        hs.wait_for(lambda: "[EXPIRE] Finished" in self.server.log()[log0:], 120,
                    "the expire run\n" + self.server.log())
        self.assertFalse("[EXPIRE] Articles Removed: 0\r\n" in self.server.log()[log0:])
        run = self.server.log()[log0:]
        processed = [line.split("Processing Group: ")[1].strip()
                     for line in run.splitlines() if "Processing Group: " in line]
        self.assertEqual(GROUPS, processed, run)

        index = hs.parse_profile(os.path.join(self.home, "news", "newsrc.ini"))
        for g in ("local.a", "local.b"):
            self.assertNotIn(g, index, "a deleted group came back: %r" % index.get(g))
        for g in ("local.c", "local.d"):
            self.assertEqual(str(self.last), index[g]["low"], g)
            gdir = os.path.join(self.home, "news", g)
            self.assertEqual(["NEWS%010d" % self.last],
                             sorted(f for f in os.listdir(gdir) if f.startswith("NEWS")), g)

        r = self.server.reader()
        try:
            with self.assertRaises(hs.nntplib.NNTPTemporaryError) as err:
                r.group("local.b")
            self.assertTrue(str(err.exception).startswith("411"), str(err.exception))
            listed = [g.group for g in r.list()[1]]
            self.assertEqual(["local.c", "local.d"], listed)
        finally:
            r.quit()
        # Deleted means deleted: the name can be used again.
        code, out = self.server.ctl("addgroup", "local.b")
        self.assertEqual(0, code, out)
        code, out = self.server.ctl("groups")
        self.assertIn("local.b 1 1 local posting\n", out)


if __name__ == "__main__":
    sys.exit(hs.main("expire_delgroup_test"))
