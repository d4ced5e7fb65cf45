"""Shared pieces of the live-server tests (tests/*_test.py) and the soak run.

A server home on a free loopback port, the server binary started headless in
it (with its standard output and error kept, so log lines and sanitizer
reports can be read), feed runs through `quorvel ctl` waited for by their
log lines, a fake upstream NNTP server on loopback whose replies a test
scripts, readers that misbehave, and checkers that walk the news store and
list every inconsistency they find.

The binary comes from $QV_BINARY, else build/bin/quorvel beside this file's
folder. Every wait is bounded.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
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


def write(path, data):
    """Writes text or bytes as they are, making folders. The file is
    replaced in one step, so a running server never reads half of it."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.replace(tmp, path)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def inn_reachable(host="127.0.0.1", port=11119):
    """True when an NNTP server greets on host:port (INN for the tests)."""
    try:
        with socket.create_connection((host, port), timeout=3) as s:
            s.settimeout(3)
            return s.recv(512).startswith(b"20")
    except OSError:
        return False


def main(name):
    """Runs the test cases of the script being run; exit code 2 when there
    is no server binary, 1 when a test failed."""
    if not os.path.exists(binary()):
        print("%s: no server binary at %s (set QV_BINARY)" % (name, binary()), file=sys.stderr)
        return 2
    result = unittest.main(module="__main__", exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


# ---- a home --------------------------------------------------------------------


def write_ini(home, port, upstream_port=119, server_timeout=60, upstream_host="127.0.0.1",
              extra_ini=""):
    """Quorvel.INI: reader port, news/, the upstream as news server and
    posting host."""
    write(os.path.join(home, "Quorvel.INI"),
          "[admin]\r\nListenPort=%d\r\nNewsPath=news/\r\nPostingHost=%s\r\n"
          "ServerTimeout=%d\r\n"
          "[Newsfeed01]\r\nName=%s\r\nPort=%d\r\n"
          "AllGroupFile=feed01.all\r\nSubGroupFile=feed01.sub\r\n%s"
          % (port, upstream_host, server_timeout, upstream_host, upstream_port, extra_ini))


def make_home(home, port, upstream_port=119, server_timeout=60, groups=(), subscriptions=(),
              extra_ini="", upstream_host="127.0.0.1"):
    """Quorvel.INI, allowip.ini (loopback), news/ with POSTS.

    groups: (name, local) pairs put into newsrc.ini with Low 1, High 1.
    subscriptions: group names, each as a "Y0000000000 name" record.
    """
    write_ini(home, port, upstream_port, server_timeout, upstream_host, extra_ini)
    write(os.path.join(home, "allowip.ini"), "127.0.0.1\r\n")
    news = os.path.join(home, "news")
    os.makedirs(os.path.join(news, "POSTS"), exist_ok=True)
    if groups:
        text = "[Groups]\r\nTotal=%d\r\n" % len(groups)
        for i, (name, _) in enumerate(groups, 1):
            text += "G%05d=%s\r\n" % (i, name)
        for name, local in groups:
            text += ("[%s]\r\nLocal=%s\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1\r\n"
                     "Adddate=20240101\r\naddtime=000000\r\n" % (name, "Yes" if local else "No"))
            os.makedirs(os.path.join(news, name), exist_ok=True)
        write(os.path.join(news, "newsrc.ini"), text)
    if subscriptions:
        write(os.path.join(news, "feed01.sub"),
              "".join("Y0000000000 %s\r\n" % g for g in subscriptions))
    return news


def tree_snapshot(root, skip=()):
    """Relative paths of every file and directory below root, except below
    the relative paths in skip."""
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel != "." and any(rel == s or rel.startswith(s + os.sep) for s in skip):
            dirnames[:] = []
            continue
        for name in dirnames + filenames:
            p = os.path.normpath(os.path.join(rel, name))
            if not any(p == s or p.startswith(s + os.sep) for s in skip):
                found.add(p)
    return found


# ---- the server ------------------------------------------------------------------


class Server:
    """quorvel --home HOME --headless, standard output and error in files."""

    def __init__(self, home, port, lean_sanitizer=False):
        self.home = home
        self.port = port
        self.proc = None
        self.starts = 0
        # The sanitizer keeps freed memory in quarantine (256 MB by default),
        # which makes resident memory follow the churn rather than what is
        # live. Tests that judge memory keep the quarantine small.
        self.lean_sanitizer = lean_sanitizer

    def start(self, timeout=30):
        self.starts += 1
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        if self.lean_sanitizer:
            env["ASAN_OPTIONS"] += ":quarantine_size_mb=4"
        self.out = open(os.path.join(self.home, "stdout-%d.txt" % self.starts), "wb")
        self.err = open(os.path.join(self.home, "stderr-%d.txt" % self.starts), "wb")
        self.proc = subprocess.Popen([binary(), "--home", self.home, "--headless"],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err,
                                     env=env)
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("server ended at start: " + self.stderr())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stderr(self):
        return read(os.path.join(self.home, "stderr-%d.txt" % self.starts)).decode("latin-1")

    def stdout(self):
        return read(os.path.join(self.home, "stdout-%d.txt" % self.starts)).decode("latin-1")

    def log(self):
        return read(os.path.join(self.home, "quorvel.log")).decode("latin-1")

    def path(self, *parts):
        """A path below the news directory."""
        return os.path.join(self.home, "news", *parts)

    def reader(self, timeout=TIMEOUT):
        return nntplib.NNTP("127.0.0.1", self.port, timeout=timeout)

    def ctl(self, *words, timeout=30):
        r = subprocess.run([binary(), "--home", self.home, "ctl", *words],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        return r.returncode, (r.stdout + r.stderr).decode("latin-1")

    def run_feed(self, command, sessions, meanwhile=None, timeout=60):
        """ctl refresh or getpost, then waits until `sessions` feed sessions
        have ended and the lock file is gone again. meanwhile() runs once
        the first session has begun to connect."""
        ended = self.log().count("Server Session Ended.")
        began = self.log().count("Attempting Server Connection")
        code, out = self.ctl(command, timeout=TIMEOUT)
        assert code == 0 and "requested" in out, (code, out)
        if meanwhile:
            wait_for(lambda: self.log().count("Attempting Server Connection") > began, TIMEOUT,
                     "the session to begin")
            meanwhile()
        wait_for(lambda: self.log().count("Server Session Ended.") >= ended + sessions
                 and not os.path.exists(self.path("feed01.lck")),
                 timeout, "ctl %s to finish\n%s" % (command, self.log()))

    def expire(self, timeout=60):
        """ctl expire, then waits for the run's end and the lock file to go."""
        done = self.log().count("[EXPIRE] Finished")
        code, out = self.ctl("expire", timeout=TIMEOUT)
        assert code == 0 and "requested" in out, (code, out)
        wait_for(lambda: self.log().count("[EXPIRE] Finished") > done, timeout,
                 "the expire run\n" + self.log())
        wait_for(lambda: not os.path.exists(self.path("feed01.lck")), timeout, "the lock")

    def rss_kb(self):
        """Resident memory (VmRSS) in kilobytes, 0 when gone."""
        try:
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def fd_count(self):
        try:
            return len(os.listdir("/proc/%d/fd" % self.pid))
        except OSError:
            return 0

    def feed_busy(self):
        return "Session in progress" in self.ctl("status")[1]

    def wait_feed_done(self, timeout=60):
        """True once no feed session or expire run is in progress."""
        deadline = time.monotonic() + timeout
        time.sleep(0.3)
        while time.monotonic() < deadline:
            if not self.feed_busy():
                return True
            time.sleep(0.3)
        return False

    def stop(self, timeout=TIMEOUT):
        """SIGTERM, then wait; returns the exit code (None: killed after the
        time-out)."""
        if self.proc is None:
            return None
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_end(timeout)

    def quit(self, timeout=60):
        """ctl quit, then wait; returns the exit code (None: did not end)."""
        if self.alive():
            self.ctl("quit")
        return self.wait_end(timeout)

    def wait_end(self, timeout):
        """The exit code once the process has ended; None when it had to be
        killed after timeout seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self.out.close()
            self.err.close()

    def kill9(self):
        if self.alive():
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
        self.out.close()
        self.err.close()

    def sanitizer_report(self):
        """The sanitizer's report in standard error, or empty."""
        text = self.stderr()
        for mark in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "SUMMARY: UndefinedBehaviorSanitizer", "SUMMARY: AddressSanitizer"):
            if mark in text:
                return text[-8000:]
        return ""


# ---- a reader ---------------------------------------------------------------------


class Reader:
    """A raw NNTP connection whose every read times out."""

    def __init__(self, port, timeout=TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("closed")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r").decode("latin-1")

    def multiline(self):
        lines = []
        while True:
            l = self.line()
            if l == ".":
                return lines
            lines.append(l[1:] if l.startswith("..") else l)

    def command(self, text):
        self.send(text + "\r\n")
        return self.line()

    def closed_within(self, seconds):
        """True when the server closes the connection within seconds (what
        it still sends is read and dropped)."""
        deadline = time.monotonic() + seconds
        self.sock.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                continue
            except OSError:
                return True
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def article_text(group, subject, body_lines=3, message_id=None, extra=""):
    head = "From: tester@example.invalid\r\nNewsgroups: %s\r\nSubject: %s\r\n" % (group, subject)
    if message_id:
        head += "Message-ID: <%s>\r\n" % message_id
    body = "".join("body line %d of %s\r\n" % (i, subject) for i in range(body_lines))
    return head + extra + "\r\n" + body


def post(reader, group, subject, body_lines=3):
    r = reader.command("POST")
    if not r.startswith("340"):
        return r
    reader.send(article_text(group, subject, body_lines) + ".\r\n")
    return reader.line()


class Watchdog:
    """A second reader that keeps asking for the time while an attack runs
    and records how long the slowest reply took (a hang detector, not a
    speed test)."""

    def __init__(self, port, group, bound=5.0):
        self.port = port
        self.group = group
        self.bound = bound
        self.slowest = 0.0
        self.replies = 0
        self.failure = None
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        try:
            r = Reader(self.port, timeout=self.bound)
            r.line()
            while not self.stop_event.is_set():
                t = time.monotonic()
                reply = r.command("GROUP %s" % self.group)
                if not reply.startswith("211"):
                    self.failure = "GROUP: " + reply
                    return
                reply = r.command("STAT")
                self.slowest = max(self.slowest, time.monotonic() - t)
                self.replies += 1
                self.stop_event.wait(0.2)
            r.command("QUIT")
            r.close()
        except Exception as e:  # noqa: BLE001 - any failure is the finding
            self.failure = "%r after %d replies" % (e, self.replies)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_event.set()
        self.thread.join(self.bound + 5)


# ---- a fake upstream ---------------------------------------------------------------


class LoopbackServer:
    """A TCP server on a free loopback port: each connection is served by
    serve(conn) on a thread of its own. close() stops accepting."""

    def __init__(self):
        self.stop_event = threading.Event()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.accept_loop, daemon=True)
        self.thread.start()

    def close(self):
        self.stop_event.set()
        self.thread.join(5)
        self.listener.close()

    def accept_loop(self):
        while not self.stop_event.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        raise NotImplementedError


class FakeUpstream(LoopbackServer):
    """An NNTP server on loopback for the feed to fetch from.

    articles: list of (message_id, text) served as numbers 1..n of group.
    Hooks a test may replace (each may return None to fall back to the
    ordinary behaviour):
      on_group(conn)              after GROUP
      on_next(conn, number, id)   instead of the 223 reply to NEXT
      on_article(conn, number)    instead of the article
    delay: seconds to wait before each ARTICLE reply.
    Received postings are kept in self.posted.
    """

    def __init__(self, group="test.group", articles=(), delay=0.0):
        self.group = group
        self.articles = list(articles)
        self.delay = delay
        self.posted = []
        self.on_group = None
        self.on_next = None
        self.on_article = None
        self.commands = []
        super().__init__()

    def serve(self, conn):
        conn.settimeout(60)
        f = conn.makefile("rb")
        current = 0
        try:
            conn.sendall(b"200 fake upstream ready\r\n")
            while not self.stop_event.is_set():
                raw = f.readline(4096)
                if not raw:
                    return
                line = raw.decode("latin-1").strip()
                self.commands.append(line)
                word = line.split(" ")[0].upper()
                if word == "MODE":
                    conn.sendall(b"200 reader\r\n")
                elif word == "QUIT":
                    conn.sendall(b"205 bye\r\n")
                    return
                elif word == "GROUP":
                    if self.on_group and self.on_group(conn) is not None:
                        continue
                    n = len(self.articles)
                    conn.sendall(b"211 %d 1 %d %s\r\n" % (n, n, self.group.encode()))
                    current = 1 if n else 0
                elif word == "STAT":
                    parts = line.split()
                    n = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else current
                    if 1 <= n <= len(self.articles):
                        current = n
                        conn.sendall(b"223 %d <%s> status\r\n"
                                     % (n, self.articles[n - 1][0].encode()))
                    else:
                        conn.sendall(b"423 no such article\r\n")
                elif word == "NEXT":
                    if current >= len(self.articles):
                        conn.sendall(b"421 no next article\r\n")
                        continue
                    current += 1
                    mid = self.articles[current - 1][0]
                    if self.on_next and self.on_next(conn, current, mid) is not None:
                        continue
                    conn.sendall(b"223 %d <%s> article\r\n" % (current, mid.encode()))
                elif word == "ARTICLE":
                    if self.delay:
                        time.sleep(self.delay)
                    if self.on_article and self.on_article(conn, current) is not None:
                        continue
                    mid, text = self.articles[current - 1]
                    conn.sendall(("220 %d <%s>\r\n" % (current, mid)).encode() + text.encode()
                                 + b".\r\n")
                elif word == "POST":
                    conn.sendall(b"340 send it\r\n")
                    body = b""
                    while not body.endswith(b"\r\n.\r\n") and body != b".\r\n":
                        chunk = f.readline(1 << 20)
                        if not chunk:
                            return
                        body += chunk
                    self.posted.append(body)
                    conn.sendall(b"240 article posted\r\n")
                elif word == "LIST":
                    conn.sendall(b"215 list\r\n%s 1 1 y\r\n.\r\n" % self.group.encode())
                else:
                    conn.sendall(b"500 what\r\n")
        except OSError:
            return
        finally:
            try:
                conn.close()
            except OSError:
                pass


def upstream_articles(n, prefix="art", body_lines=5):
    return [("%s%d@fake.invalid" % (prefix, i),
             "Message-ID: <%s%d@fake.invalid>\r\nSubject: article %d\r\nFrom: a@b.invalid\r\n"
             "Newsgroups: test.group\r\n\r\n" % (prefix, i, i)
             + "".join("line %d\r\n" % k for k in range(body_lines)))
            for i in range(1, n + 1)]


# ---- the store checker ----------------------------------------------------------------


def parse_profile(path):
    """{section.lower(): {key.lower(): value}} of a profile file."""
    sections = {}
    current = None
    for raw in read(path).decode("latin-1").splitlines():
        line = raw.strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].lower(), {})
        elif current is not None and "=" in line:
            k, _, v = line.partition("=")
            current.setdefault(k.strip().lower(), v.strip())
    return sections


INDEX_NAME = re.compile(r"^NEWS(\d{10})$")


def message_id_of(content):
    for line in content.split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
        if line.lower().startswith(b"message-id:"):
            return line[11:].strip().decode("latin-1").strip("<>")
    return None


def check_store(home, allow_stray_content=True):
    """Inconsistencies of the store below home/news, as a list of texts:
    an index file naming no existing content file (or a file outside its
    group), High below the highest index number, two index files of a
    group naming one content file or one message-id, an incomplete queue
    file, a group listed without its section. With allow_stray_content
    false also what start-up repairs: a content file no index file names
    and a work file of the feed or the index writer."""
    news = os.path.join(home, "news")
    problems = []
    index = parse_profile(os.path.join(news, "newsrc.ini"))
    groups_sec = index.get("groups", {})
    total = int(groups_sec.get("total", "0") or 0)
    for i in range(1, total + 1):
        name = groups_sec.get("g%05d" % i)
        if not name:
            problems.append("group list entry %d missing" % i)
            continue
        sec = index.get(name.lower())
        if sec is None:
            problems.append("%s: no section" % name)
            continue
        high = int(re.match(r"-?\d*", sec.get("high", "0")).group() or 0)
        gdir = os.path.join(news, name)
        if not os.path.isdir(gdir):
            continue
        seen_paths = {}
        seen_ids = {}
        highest = 0
        for entry in sorted(os.listdir(gdir)):
            m = INDEX_NAME.match(entry)
            if not m:
                continue
            number = int(m.group(1))
            highest = max(highest, number)
            text = read(os.path.join(gdir, entry))
            target = text.split(b"\n", 1)[0].rstrip(b"\r").decode("latin-1")
            full = os.path.normpath(os.path.join(home, target))
            if os.path.dirname(full) != os.path.normpath(gdir):
                problems.append("%s/%s names a file outside its group: %r" % (name, entry, target))
                continue
            if not os.path.isfile(full):
                problems.append("%s/%s names a missing content file %r" % (name, entry, target))
                continue
            if full in seen_paths:
                problems.append("%s/%s and %s name one content file" % (name, entry, seen_paths[full]))
            seen_paths[full] = entry
            content = read(full)
            if not content.startswith(b"220 ") or not content.endswith(b"\r\n.\r\n"):
                problems.append("%s/%s: content file %r incomplete" % (name, entry, target))
            mid = message_id_of(content)
            if mid:
                if mid in seen_ids:
                    problems.append("%s: %s and %s hold one message-id %s"
                                    % (name, entry, seen_ids[mid], mid))
                seen_ids[mid] = entry
        if highest > high:
            problems.append("%s: High %d below index number %d" % (name, high, highest))
        if not allow_stray_content:
            problems += stray_files(gdir, name, {os.path.basename(p) for p in seen_paths})
    posts = os.path.join(news, "POSTS")
    if os.path.isdir(posts):
        for entry in os.listdir(posts):
            if entry.upper().endswith(".TMP"):
                data = read(os.path.join(posts, entry))
                if not (data.endswith(b"\r\n.\r\n") or data == b".\r\n"):
                    problems.append("POSTS/%s: queue file incomplete (%d bytes)" % (entry, len(data)))
            elif entry == "rejected" and os.path.isdir(os.path.join(posts, entry)):
                continue  # postings the upstream refused for good, kept as they were
            elif not entry.upper().endswith(".WRK"):
                problems.append("POSTS/%s: unexpected file" % entry)
    return problems


# A group folder's overview lines: the one file of the store's own whose
# name begins with ".".
OVERVIEW_NAME = ".qvoverview"


def xover_lines(port, group):
    """The XOVER lines of every article of the group, as served."""
    r = Reader(port)
    try:
        r.line()
        if not r.command("GROUP " + group).startswith("211 "):
            return None
        reply = r.command("XOVER 1-2147483647")
        return r.multiline() if reply.startswith("224") else reply
    finally:
        r.close()


def stray_files(gdir, group, named):
    """Files of a group folder that only an interrupted run leaves: work
    files (every other name beginning with "."), and content files whose names
    are not in named, the names the index files lead to."""
    problems = []
    for entry in sorted(os.listdir(gdir)):
        if entry == OVERVIEW_NAME:
            continue
        if entry.startswith("."):
            problems.append("%s/%s: work file left behind" % (group, entry))
        elif not INDEX_NAME.match(entry) and entry not in named:
            problems.append("%s/%s: content file no index file names" % (group, entry))
    return problems


def group_file_problems(home, group):
    """What a feed run must never leave in a group folder, as texts: an index
    file that is not one line ending CR LF or that names a file outside the
    folder, a missing or incomplete content file ("220 " up to the "." line),
    a work file, a content file no index file names (the fetch would take
    its article for stored and never offer it to readers)."""
    gdir = os.path.join(home, "news", group)
    problems = []
    named = set()
    for entry in sorted(os.listdir(gdir)):
        if not INDEX_NAME.match(entry):
            continue
        line = read(os.path.join(gdir, entry))
        if not (line.endswith(b"\r\n") and line.count(b"\n") == 1):
            problems.append("%s/%s is not one line: %r" % (group, entry, line))
            continue
        content = os.path.join(home, line[:-2].decode("latin-1"))
        if os.path.dirname(os.path.abspath(content)) != os.path.abspath(gdir):
            problems.append("%s/%s names a file outside its group: %s" % (group, entry, content))
            continue
        data = read(content)
        if not os.path.isfile(content):
            problems.append("%s/%s names a missing content file %s" % (group, entry, content))
        elif not (data.startswith(b"220 ") and data.endswith(b"\r\n.\r\n")):
            problems.append("%s/%s: content file incomplete: %r" % (group, entry, data[:80]))
        named.add(os.path.basename(content))
    return problems + stray_files(gdir, group, named)


def group_ids(home, group):
    """Message-ids of the articles the group's index files name."""
    gdir = os.path.join(home, "news", group)
    ids = []
    for entry in sorted(os.listdir(gdir)):
        if INDEX_NAME.match(entry):
            target = read(os.path.join(gdir, entry)).split(b"\n", 1)[0].rstrip(b"\r").decode("latin-1")
            ids.append(message_id_of(read(os.path.join(home, target))))
    return ids


def subscription_number(home, group):
    for line in read(os.path.join(home, "news", "feed01.sub")).decode("latin-1").split("\r\n"):
        if line[12:] == group:
            return line[1:11]
    return None
