#!/usr/bin/env python3
"""scale: how Quorvel behaves on big spools and long group lists.

Quorvel alone (the peers' figures are in run-all's side-by-side report).
Every spool is written straight into a fresh home, the way the feed writes
it (content file named after the message-id, "NEWS%010d" index file, the
group index), from articles that gen_articles.py's generator makes once and
keeps in $BENCH_WORK/scale/ (the first 300,000 cost about two minutes).

Workloads (--only, comma-separated; default: all):
  articles  one group of N articles (--sizes, default 10000,100000,300000):
            start-up to the first GROUP after a clean stop, warm and cold
            (cold: page cache dropped with "echo 3 > /proc/sys/vm/drop_caches",
            needs root); start-up after a kill -9; first and second full
            XOVER; XHDR Subject of the whole group; peak RSS
  groups    G groups of one article each in the index (--groups, default
            10,1000,10000): start-up, LIST, local POST latency, fetch of
            1,000 new articles of one subscribed group from a fake upstream,
            ctl delgroup of the first group (answer time and readers'
            latency meanwhile)
  expire    expire of every article, all aged 60 days: one group of N, and
            1,000 groups of N/1,000; time, the server's CPU, readers' latency
            during the run (median and worst of GROUP + XOVER of 10)

Each figure is the median of --reps runs. Results: a markdown table on
standard output, raw records appended to $BENCH_WORK/scale/raw.jsonl.
Bounded: every wait has a time-out, every loop a count.

  scale.py [--sizes 10000,100000] [--groups 10,1000] [--only articles]
           [--reps 3] [--no-cold] [--binary build/bin/quorvel] [--label before]
"""
import argparse
import json
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)
sys.path.insert(0, os.path.join(BENCH, "..", "tests"))
import gen_articles  # noqa: E402
import hostile_support as hs  # noqa: E402

WORK = os.path.join(os.environ.get("BENCH_WORK") or os.path.join(BENCH, "work"), "scale")
GROUP = "scale.big"
SEED = 1996
BASE_TIME = 1767225600  # 2026-01-01: fixed, so the bytes never change
DAY = 86400


def log(*a):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), " ".join(str(x) for x in a)),
          file=sys.stderr, flush=True)


# ------------------------------------------------------------ article data

def articles(n):
    """The first n articles as (message_id, bytes) from a blob kept on disk;
    the blob grows when more are asked for than it holds."""
    os.makedirs(WORK, exist_ok=True)
    blob, index = os.path.join(WORK, "articles.bin"), os.path.join(WORK, "articles.idx")
    have = []
    if os.path.exists(index):
        with open(index) as f:
            have = [line.split() for line in f if line.strip()]
    if len(have) < n:
        log("generating %d articles (have %d)" % (n, len(have)))
        g = gen_articles.Gen(SEED, BASE_TIME)
        threads, out, idx = [], [], []
        for i in range(n):
            if not threads or g.rng.random() < 0.12:
                threads.append({"subject": g.new_subject(), "msgs": []})
                threads = threads[-30:]
            th = g.rng.choice(threads)
            text = g.article([GROUP], BASE_TIME - 3 * DAY + i, th)
            mid = th["msgs"][-1][0]
            out.append(text)
            idx.append(mid)
        with open(blob + ".tmp", "wb") as f, open(index + ".tmp", "w") as fi:
            off = 0
            for mid, text in zip(idx, out):
                f.write(text)
                fi.write("%s %d %d\n" % (mid, off, len(text)))
                off += len(text)
        os.replace(blob + ".tmp", blob)
        os.replace(index + ".tmp", index)
        with open(index) as f:
            have = [line.split() for line in f if line.strip()]
    with open(blob, "rb") as f:
        data = f.read(sum(int(x[2]) for x in have[:n]))
    return [(have[i][0], data[int(have[i][1]):int(have[i][1]) + int(have[i][2])])
            for i in range(n)]


# ------------------------------------------------------------ homes

def write_ini(home, port, upstream_port=119):
    os.makedirs(os.path.join(home, "news", "POSTS"), exist_ok=True)
    with open(os.path.join(home, "Quorvel.INI"), "w", newline="") as f:
        f.write("[admin]\r\nListenPort=%d\r\nNewsPath=news/\r\nPostingHost=127.0.0.1\r\n"
                "ServerTimeout=60\r\nMessageIdHost=scale.invalid\r\n"
                "[ras]\r\nProfile=(None)\r\n"
                "[Newsfeed01]\r\nName=127.0.0.1\r\nPort=%d\r\nAllGroupFile=feed01.all\r\n"
                "SubGroupFile=feed01.sub\r\n"
                "[expire]\r\nage=31\r\nsize=9999\r\nCondAge=999\r\nCondSize=9999\r\n"
                "[Service]\r\nRunAsService=No\r\n" % (port, upstream_port))
    with open(os.path.join(home, "allowip.ini"), "w", newline="") as f:
        f.write("127.*.*.*\r\n")


def group_section(name, local, high, low=2):
    return ("[%s]\r\nLocal=%s\r\nAllowPost=Yes\r\nLow=%d\r\nHigh=%d\r\naddtime=120000\r\n"
            "Adddate=20260101\r\n" % (name, "Yes" if local else "No", low, high))


def write_group(news, name, arts, first=2, aged=None):
    gdir = os.path.join(news, name)
    os.makedirs(gdir, exist_ok=True)
    for k, (mid, text) in enumerate(arts):
        number = first + k
        bare = mid[1:-1]
        with open(os.path.join(gdir, bare), "wb") as f:
            f.write(b"220 %d %s article\r\n" % (number, mid.encode()))
            f.write(text)
        index = os.path.join(gdir, "NEWS%010d" % number)
        with open(index, "wb") as f:
            f.write(("news/%s/%s\r\n" % (name, bare)).encode())
        if aged:
            os.utime(index, (aged, aged))
    return first + len(arts) - 1


def make_big_home(home, port, n, aged=None):
    write_ini(home, port)
    news = os.path.join(home, "news")
    high = write_group(news, GROUP, articles(n), aged=aged)
    with open(os.path.join(news, "newsrc.ini"), "w", newline="") as f:
        f.write("[Groups]\r\nTotal=1\r\nG00001=%s\r\n" % GROUP)
        f.write(group_section(GROUP, False, high))


def group_name(i):
    return "scale.g%05d" % i


def make_groups_home(home, port, ngroups, per_group, upstream_port=119, aged=None,
                     subscribe=None):
    write_ini(home, port, upstream_port)
    news = os.path.join(home, "news")
    arts = articles(ngroups * per_group)
    parts = ["[Groups]\r\nTotal=%d\r\n" % ngroups]
    parts += ["G%05d=%s\r\n" % (i + 1, group_name(i)) for i in range(ngroups)]
    for i in range(ngroups):
        chunk = arts[i * per_group:(i + 1) * per_group]
        high = write_group(news, group_name(i), chunk, aged=aged) if chunk else 1
        parts.append(group_section(group_name(i), True, high))
    with open(os.path.join(news, "newsrc.ini"), "w", newline="") as f:
        f.write("".join(parts))
    if subscribe:
        with open(os.path.join(news, "feed01.sub"), "w", newline="") as f:
            f.write("Y0000000000 %s\r\n" % subscribe)


# ------------------------------------------------------------ server

def drop_caches():
    subprocess.run(["sync"])
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


class Quorvel:
    def __init__(self, binary, home, port):
        self.binary, self.home, self.port = binary, home, port
        self.proc = None

    def start(self):
        out = open(os.path.join(self.home, "stdout.log"), "ab")
        t0 = time.monotonic()
        self.proc = subprocess.Popen([self.binary, "--home", self.home, "--headless"],
                                     stdout=out, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        out.close()
        return t0

    def first_group(self, t0, group, timeout=600):
        """Seconds from t0 until GROUP is answered with 211."""
        deadline = t0 + timeout
        while time.monotonic() < deadline:
            try:
                c = Client(self.port, timeout=timeout)
            except OSError:
                time.sleep(0.005)
                continue
            try:
                if c.command("GROUP " + group).startswith("211"):
                    return time.monotonic() - t0
            finally:
                c.close()
            time.sleep(0.005)
        raise RuntimeError("no GROUP reply within %d s" % timeout)

    def ctl(self, *words, timeout=600):
        r = subprocess.run([self.binary, "--home", self.home, "ctl"] + list(words),
                           capture_output=True, text=True, timeout=timeout)
        return r.returncode, r.stdout + r.stderr

    def cpu(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def status(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def log_has(self, text, since=0):
        try:
            with open(os.path.join(self.home, "quorvel.log"), "rb") as f:
                f.seek(since)
                return text.encode() in f.read()
        except OSError:
            return False

    def log_size(self):
        try:
            return os.path.getsize(os.path.join(self.home, "quorvel.log"))
        except OSError:
            return 0

    def quit(self):
        if self.proc and self.proc.poll() is None:
            try:
                self.ctl("quit", timeout=30)
                self.proc.wait(60)
            except (subprocess.TimeoutExpired, OSError):
                self.kill()
        self.proc = None

    def kill(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(30)
        self.proc = None


class Client:
    def __init__(self, port, timeout=600):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""
        self.greeting = self.line()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def multi(self, text):
        """Status line and the byte count of the text up to the "." line."""
        status = self.command(text)
        if status[:1] != "2":
            return status, 0
        data = bytearray(self.buf)
        self.buf = b""
        while not data.endswith(b"\r\n.\r\n") and not data == b".\r\n":
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("connection closed in a multi-line reply")
            data += chunk
        return status, len(data)

    def post(self, text):
        status = self.command("POST")
        if not status.startswith("340"):
            return status
        self.sock.sendall(text)
        return self.line()


def timed(f):
    t0 = time.monotonic()
    r = f()
    return time.monotonic() - t0, r


class Prober(threading.Thread):
    """A reader that measures GROUP + XOVER of ten articles again and again
    while something else runs (bounded by count and by stop)."""

    def __init__(self, port, group, limit=100000):
        super().__init__(daemon=True)
        self.port, self.group, self.limit = port, group, limit
        self.stop = threading.Event()
        self.lat = []
        self.error = None

    def run(self):
        try:
            c = Client(self.port, timeout=120)
            for _ in range(self.limit):
                if self.stop.is_set():
                    break
                t0 = time.monotonic()
                st = c.command("GROUP " + self.group).split()
                if st[0] == "211" and int(st[3]) > 0:
                    c.multi("XOVER %d-%s" % (max(1, int(st[3]) - 9), st[3]))
                self.lat.append(time.monotonic() - t0)
                time.sleep(0.005)
            c.close()
        except Exception as e:  # noqa: BLE001 - reported in the record
            self.error = repr(e)

    def summary(self):
        self.stop.set()
        self.join(60)
        if not self.lat:
            return {"probe_error": self.error or "no samples"}
        return {"probe_median_ms": 1000 * statistics.median(self.lat),
                "probe_max_ms": 1000 * max(self.lat), "probe_n": len(self.lat),
                "probe_error": self.error}


# ------------------------------------------------------------ workloads

RECORDS = []


def record(**kw):
    kw["label"] = ARGS.label
    kw["load1"] = os.getloadavg()[0]
    RECORDS.append(kw)
    os.makedirs(WORK, exist_ok=True)
    with open(os.path.join(WORK, "raw.jsonl"), "a") as f:
        f.write(json.dumps(kw) + "\n")
    log(json.dumps(kw))


def scratch(tag):
    return tempfile.mkdtemp(prefix="qvscale-%s-" % tag, dir=ARGS.scratch)


def run_articles(n):
    home = scratch("a%d" % n)
    port = hs.free_port()
    t0 = time.monotonic()
    make_big_home(home, port, n)
    log("spool of %d written in %.1f s" % (n, time.monotonic() - t0))
    q = Quorvel(ARGS.binary, home, port)
    try:
        for rep in range(ARGS.reps):
            r = {"workload": "articles", "n": n, "rep": rep}
            # A first start makes whatever the server keeps beside the
            # articles; the figures are for the starts after it.
            if rep == 0:
                t = q.start()
                r["startup_first_s"] = q.first_group(t, GROUP)
                c = Client(port)
                c.command("GROUP " + GROUP)
                r["xover_very_first_s"], _ = timed(lambda: c.multi("XOVER 1-%d" % (n + 1)))
                c.close()
                q.quit()
            t = q.start()
            r["startup_warm_s"] = q.first_group(t, GROUP)
            c = Client(port)
            c.command("GROUP " + GROUP)
            r["xover_first_s"], (st, size) = timed(lambda: c.multi("XOVER 1-%d" % (n + 1)))
            r["xover_bytes"] = size
            r["xover_second_s"], _ = timed(lambda: c.multi("XOVER 1-%d" % (n + 1)))
            r["xhdr_subject_s"], _ = timed(lambda: c.multi("XHDR Subject 1-%d" % (n + 1)))
            r["xover_last100_ms"] = 1000 * timed(
                lambda: c.multi("XOVER %d-%d" % (n - 98, n + 1)))[0]
            r["rss_mb"] = q.status("VmRSS")
            r["peak_rss_mb"] = q.status("VmHWM")
            c.close()
            q.quit()
            if ARGS.cold:
                drop_caches()
                t = q.start()
                r["startup_cold_s"] = q.first_group(t, GROUP)
                c = Client(port)
                c.command("GROUP " + GROUP)
                r["xover_first_cold_s"], _ = timed(lambda: c.multi("XOVER 1-%d" % (n + 1)))
                c.close()
                q.quit()
            # After a kill -9: how long until readers are served.
            t = q.start()
            q.first_group(t, GROUP)
            q.kill()
            t = q.start()
            r["startup_after_kill_s"] = q.first_group(t, GROUP)
            q.quit()
            record(**r)
    finally:
        q.kill()
        shutil.rmtree(home, ignore_errors=True)


POST_TEXT = ("From: Scale <scale@example.invalid>\r\nNewsgroups: %s\r\n"
             "Subject: scale post %d\r\n\r\nbody line\r\nanother\r\n.\r\n")


def run_groups(g):
    upstream = hs.FakeUpstream("scale.fetch", hs.upstream_articles(1000, prefix="fetch"))
    home = scratch("g%d" % g)
    port = hs.free_port()
    make_groups_home(home, port, g, 1, upstream_port=upstream.port, subscribe="scale.fetch")
    q = Quorvel(ARGS.binary, home, port)
    try:
        for rep in range(ARGS.reps):
            r = {"workload": "groups", "groups": g, "rep": rep}
            t = q.start()
            r["startup_s"] = q.first_group(t, group_name(g - 1))
            c = Client(port)
            r["list_s"], (st, size) = timed(lambda: c.multi("LIST"))
            r["list_bytes"] = size
            target = group_name(g // 2)
            lat = []
            for k in range(20):
                text = (POST_TEXT % (target, rep * 100 + k)).encode()
                d, st = timed(lambda: c.post(text))
                if not st.startswith("240"):
                    raise RuntimeError("POST refused: " + st)
                lat.append(d)
            r["post_median_ms"] = 1000 * statistics.median(lat)
            r["post_max_ms"] = 1000 * max(lat)
            c.close()
            # Fetch: a fresh subscription to 1,000 articles each repetition.
            gdir = os.path.join(home, "news", "scale.fetch")
            shutil.rmtree(gdir, ignore_errors=True)
            with open(os.path.join(home, "news", "feed01.sub"), "w", newline="") as f:
                f.write("Y0000000000 scale.fetch\r\n")
            lock = os.path.join(home, "news", "feed01.lck")
            since = q.log_size()
            t0 = time.monotonic()
            rc, out = q.ctl("getpost")
            seen = False
            while time.monotonic() - t0 < 300:
                if os.path.exists(lock):
                    seen = True
                elif seen or time.monotonic() - t0 > 10:
                    break
                time.sleep(0.002)
            r["fetch_s"] = time.monotonic() - t0
            r["fetched"] = len([x for x in os.listdir(gdir) if x.startswith("NEWS")]) \
                if os.path.isdir(gdir) else 0
            q.quit()
            # ctl delgroup of the first group, readers probing meanwhile.
            t = q.start()
            q.first_group(t, group_name(g - 1))
            probe = Prober(port, group_name(g - 1))
            probe.start()
            time.sleep(0.3)
            victim = group_name(0) if rep == 0 else group_name(rep)
            try:
                r["delgroup_s"], (rc, out) = timed(
                    lambda: q.ctl("delgroup", victim, timeout=ARGS.delgroup_timeout))
                r["delgroup_rc"] = rc
            except subprocess.TimeoutExpired:
                # Recorded as the bound: the server is still busy and is killed.
                r["delgroup_s"] = float(ARGS.delgroup_timeout)
                r["delgroup_timed_out"] = True
                probe.stop.set()
                q.kill()
                record(**r)
                continue
            time.sleep(0.3)
            r.update(probe.summary())
            q.quit()
            record(**r)
    finally:
        q.kill()
        upstream.close()
        shutil.rmtree(home, ignore_errors=True)


def run_expire(n, ngroups):
    per = n // ngroups
    aged = time.time() - 60 * DAY
    home = scratch("e%d-%d" % (n, ngroups))
    port = hs.free_port()
    try:
        for rep in range(ARGS.reps):
            shutil.rmtree(home, ignore_errors=True)
            t0 = time.monotonic()
            if ngroups == 1:
                make_big_home(home, port, n, aged=aged)
                probe_group = GROUP
            else:
                make_groups_home(home, port, ngroups, per, aged=aged)
                probe_group = group_name(ngroups - 1)
            log("expire spool %d x %d written in %.1f s" % (ngroups, per,
                                                            time.monotonic() - t0))
            q = Quorvel(ARGS.binary, home, port)
            t = q.start()
            q.first_group(t, probe_group)
            probe = Prober(port, probe_group)
            probe.start()
            time.sleep(0.3)
            r = {"workload": "expire", "n": n, "groups": ngroups, "rep": rep}
            since = q.log_size()
            cpu0 = q.cpu()
            t0 = time.monotonic()
            q.ctl("expire")
            while time.monotonic() - t0 < 1800 and not q.log_has("[EXPIRE] Finished", since):
                time.sleep(0.005)
            r["expire_s"] = time.monotonic() - t0
            r["expire_cpu_s"] = q.cpu() - cpu0
            r.update(probe.summary())
            left = 0
            for root, dirs, files in os.walk(os.path.join(home, "news")):
                left += sum(1 for x in files if x.startswith("NEWS"))
            r["left"] = left
            q.quit()
            record(**r)
    finally:
        shutil.rmtree(home, ignore_errors=True)


# ------------------------------------------------------------ report

def med(rows, key):
    vals = [x[key] for x in rows if isinstance(x.get(key), (int, float))]
    return statistics.median(vals) if vals else None


def fmt(v, unit):
    if v is None:
        return "-"
    if unit == "ms":
        return "%.1f ms" % (1000 * v) if v < 10 else "%.0f ms" % (1000 * v)
    if unit == "s":
        return "%.0f ms" % (1000 * v) if v < 1 else "%.2f s" % v
    if unit == "MB":
        return "%.1f MB" % v
    return str(v)


def table(title, rows, column, rows_spec):
    """A markdown table: one column per value of column in rows, one line
    per (key, label, unit) of rows_spec, each cell the median."""
    cols = sorted({r[column] for r in rows})
    out = ["| %s | " % title + " | ".join("%d" % c for c in cols) + " |",
           "|---|" + "---:|" * len(cols)]
    for key, label, unit in rows_spec:
        cells = []
        for c in cols:
            v = med([r for r in rows if r[column] == c], key)
            cells.append("-" if v is None else
                         ("%.1f ms" % v if unit == "ms_raw" else fmt(v, unit)))
        out.append("| %s | %s |" % (label, " | ".join(cells)))
    return out + [""]


def report():
    out = ["", "Label %s, %s, load average at the start %s" % (
        ARGS.label, time.strftime("%Y-%m-%d %H:%M"), START_LOAD), ""]
    arts = [r for r in RECORDS if r["workload"] == "articles"]
    if arts:
        out += table("one group of N articles", arts, "n", [
            ("startup_warm_s", "start-up to first GROUP, warm", "s"),
            ("startup_cold_s", "start-up, cold cache", "s"),
            ("startup_after_kill_s", "start-up after kill -9 (readers served)", "s"),
            ("xover_first_s", "first full XOVER after start, warm", "s"),
            ("xover_first_cold_s", "first full XOVER after start, cold", "s"),
            ("xover_second_s", "second full XOVER", "s"),
            ("xhdr_subject_s", "XHDR Subject, whole group", "s"),
            ("xover_very_first_s", "very first XOVER (nothing kept yet)", "s"),
            ("rss_mb", "RSS after the XOVERs", "MB"),
            ("peak_rss_mb", "peak RSS", "MB")])
    grp = [r for r in RECORDS if r["workload"] == "groups"]
    if grp:
        out += table("groups in the index", grp, "groups", [
            ("post_median_ms", "local POST latency (median)", "ms_raw"),
            ("list_s", "LIST", "s"),
            ("startup_s", "start-up", "s"),
            ("fetch_s", "fetch of 1,000 new articles", "s"),
            ("delgroup_s", "ctl delgroup of the first group", "s"),
            ("probe_median_ms", "readers meanwhile, median", "ms_raw"),
            ("probe_max_ms", "readers meanwhile, worst", "ms_raw")])
    exp = [r for r in RECORDS if r["workload"] == "expire"]
    if exp:
        out.append("| expire of every article (aged) | time | server CPU | readers median | "
                   "readers worst |")
        out.append("|---|---:|---:|---:|---:|")
        for key in sorted({(r["groups"], r["n"]) for r in exp}):
            rows = [r for r in exp if (r["groups"], r["n"]) == key]
            what = ("one group, %d" % key[1]) if key[0] == 1 else \
                "%d groups x %d (%d in all)" % (key[0], key[1] // key[0], key[1])
            out.append("| %s | %s | %s | %.1f ms | %.0f ms |" % (
                what, fmt(med(rows, "expire_s"), "s"), fmt(med(rows, "expire_cpu_s"), "s"),
                med(rows, "probe_median_ms") or 0, med(rows, "probe_max_ms") or 0))
        out.append("")
    text = "\n".join(out)
    print(text)
    if ARGS.out:
        with open(ARGS.out, "a") as f:
            f.write(text + "\n")


def main():
    global ARGS, START_LOAD
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="10000,100000,300000")
    ap.add_argument("--groups", default="10,1000,10000")
    ap.add_argument("--expire", default="10000:1,100000:1,300000:1,10000:1000,100000:1000,"
                                        "300000:1000",
                    help="N:G pairs: N articles in G groups")
    ap.add_argument("--only", default="articles,groups,expire")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--no-cold", dest="cold", action="store_false")
    ap.add_argument("--binary", default=os.path.join(os.getcwd(), "build", "bin", "quorvel"))
    ap.add_argument("--label", default="")
    ap.add_argument("--out", default="")
    ap.add_argument("--scratch", default=None, help="parent of the scratch homes")
    ap.add_argument("--delgroup-timeout", type=float, default=60,
                    help="seconds ctl delgroup may take before the server is killed")
    ARGS = ap.parse_args()
    ARGS.binary = os.path.abspath(ARGS.binary)
    START_LOAD = "%.2f / %.2f / %.2f" % os.getloadavg()
    if ARGS.cold and os.geteuid() != 0:
        log("not root: cold runs skipped")
        ARGS.cold = False
    only = set(ARGS.only.split(","))
    try:
        if "articles" in only:
            for n in [int(x) for x in ARGS.sizes.split(",") if x]:
                run_articles(n)
        if "groups" in only:
            for g in [int(x) for x in ARGS.groups.split(",") if x]:
                run_groups(g)
        if "expire" in only:
            for pair in [x for x in ARGS.expire.split(",") if x]:
                n, g = (int(v) for v in pair.split(":"))
                run_expire(n, g)
    finally:
        report()


if __name__ == "__main__":
    main()
