#!/usr/bin/env python3
"""Soak run: many readers at once for minutes, with fetches and expire runs.

    # the long run (sanitizer build, INN on 127.0.0.1:11119 with test.alpha):
    ASAN_OPTIONS=detect_leaks=1 python3 bench/soak.py \\
        --binary build-asan/bin/quorvel --readers 500 --seconds 200 --inn-posts 300

Each reader loops GROUP, XOVER of the newest 50, ARTICLE of a random one
and, every few rounds, POST (mostly to a local group, some to the upstream
group, which queues them for the post session). Meanwhile "ctl getpost"
fetches from INN every 20 seconds (test.alpha is subscribed; --inn-posts
first posts that many articles into it) and "ctl expire" runs every 45
seconds after a few local articles have had their dates set back. The
server's resident memory is sampled every second.

Afterwards: every reader connection closed, the server quits through
"ctl quit", its standard error must hold no sanitizer report (leaks
included), the store must be consistent (tests/hostile_support.py's
check_store) and the memory is reported: at start, peak, and final (with
no reader connected). Every reply is awaited at most --reply-timeout
seconds; a reader that waits longer counts as a hang. Exit code 0 when
nothing failed.
"""

import argparse
import asyncio
import os
import random
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import hostile_support as hs  # noqa: E402

LOCAL = "local.soak"
UPSTREAM_GROUP = "test.alpha"


class Stats:
    def __init__(self):
        self.commands = 0
        self.posts = 0
        self.connects = 0
        self.errors = []
        self.hangs = 0
        self.slowest = 0.0


async def reader(n, port, deadline, stats, reply_timeout, rng):
    async def line():
        t = time.monotonic()
        raw = await asyncio.wait_for(r.readline(), reply_timeout)
        stats.slowest = max(stats.slowest, time.monotonic() - t)
        if not raw:
            raise EOFError("closed by the server")
        return raw.decode("latin-1").rstrip("\r\n")

    async def multiline():
        count = 0
        while True:
            l = await line()
            if l == ".":
                return count
            count += 1

    # Connections are spread over the first seconds, as readers arrive.
    await asyncio.sleep(rng.uniform(0, 3))
    try:
        r, w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), reply_timeout)
    except (OSError, asyncio.TimeoutError) as e:
        stats.errors.append("reader %d: connect: %r" % (n, e))
        return
    stats.connects += 1
    try:
        greeting = await line()
        if not greeting.startswith("200"):
            raise RuntimeError("greeting " + greeting)
        rounds = 0
        while time.monotonic() < deadline:
            w.write(b"GROUP %s\r\n" % LOCAL.encode())
            reply = await line()
            if not reply.startswith("211"):
                raise RuntimeError("GROUP: " + reply)
            high = int(reply.split()[3])
            w.write(b"XOVER %d-%d\r\n" % (max(1, high - 50), high))
            reply = await line()
            if reply.startswith("224"):
                await multiline()
            w.write(b"ARTICLE %d\r\n" % rng.randint(max(1, high - 200), high))
            reply = await line()
            if reply.startswith("220"):
                await multiline()
            stats.commands += 3
            rounds += 1
            if rounds % 5 == 0:
                group = UPSTREAM_GROUP if rng.random() < 0.1 else LOCAL
                w.write(b"POST\r\n")
                reply = await line()
                if reply.startswith("340"):
                    w.write(hs.article_text(group, "soak %d-%d" % (n, rounds), 10).encode() + b".\r\n")
                    reply = await line()
                    if reply.startswith("240"):
                        stats.posts += 1
                    else:
                        stats.errors.append("reader %d: posting: %s" % (n, reply))
            await asyncio.sleep(rng.uniform(0.05, 0.5))
        w.write(b"QUIT\r\n")
        await line()
    except asyncio.TimeoutError:
        stats.hangs += 1
        stats.errors.append("reader %d: no reply within %ds" % (n, reply_timeout))
    except (OSError, EOFError, RuntimeError, ValueError, IndexError) as e:
        stats.errors.append("reader %d: %r" % (n, e))
    finally:
        w.close()


def fill_local(home, articles):
    gdir = os.path.join(home, "news", LOCAL)
    for n in range(2, articles + 2):
        raw = "news/%s/RAW%010d" % (LOCAL, n)
        hs.write(os.path.join(home, raw),
                 "220 %d <s%d@soak>\r\nFrom: a@b.invalid\r\nNewsgroups: %s\r\nSubject: seed %d\r\n"
                 "Message-ID: <s%d@soak>\r\nLines: 20\r\n\r\n%s.\r\n"
                 % (n, n, LOCAL, n, n, "".join("seed body line %d\r\n" % k for k in range(20))))
        hs.write(os.path.join(gdir, "NEWS%010d" % n), raw + "\r\n")
    ini = os.path.join(home, "news", "newsrc.ini")
    hs.write(ini, hs.read(ini).decode().replace("High=1", "High=%d" % (articles + 1), 1))


def age_some(home, rng, count):
    """Sets a few local index files 40 days back, for the expire run."""
    gdir = os.path.join(home, "news", LOCAL)
    names = [f for f in os.listdir(gdir) if f.startswith("NEWS")]
    aged = time.time() - 40 * 86400
    for f in rng.sample(names, min(count, len(names))):
        try:
            os.utime(os.path.join(gdir, f), (aged, aged))
        except OSError:
            pass


def post_to_inn(port, count):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    f = s.makefile("rb")
    f.readline()
    s.sendall(b"MODE READER\r\n")
    f.readline()
    done = 0
    for i in range(count):
        s.sendall(b"POST\r\n")
        if not f.readline().startswith(b"340"):
            break
        s.sendall(hs.article_text(UPSTREAM_GROUP, "soak seed %d %d" % (os.getpid(), i), 5).encode()
                  + b".\r\n")
        if f.readline().startswith(b"240"):
            done += 1
    s.sendall(b"QUIT\r\n")
    s.close()
    return done


async def admin(server, home, deadline, rng, log, getpost_every, expire_every):
    start = time.monotonic()
    next_get, next_expire = start + 5, start + expire_every / 2
    while time.monotonic() < deadline:
        now = time.monotonic()
        if now >= next_get:
            code, out = await asyncio.to_thread(server.ctl, "getpost")
            log.append("%5.0fs getpost: %s" % (now - start, out.strip()))
            next_get = now + getpost_every
        if now >= next_expire:
            await asyncio.to_thread(age_some, home, rng, 20)
            code, out = await asyncio.to_thread(server.ctl, "expire")
            log.append("%5.0fs expire: %s" % (now - start, out.strip()))
            # Refused while a feed session runs: try again shortly.
            next_expire = now + (expire_every if code == 0 else 2)
        await asyncio.sleep(1)


async def monitor(server, deadline, samples):
    while time.monotonic() < deadline:
        samples.append((time.monotonic(), server.rss_kb()))
        await asyncio.sleep(1)


async def soak(args, server, home, stats, samples, log):
    deadline = time.monotonic() + args.seconds
    rng = random.Random(args.seed)
    tasks = [asyncio.create_task(reader(i, args.port, deadline, stats, args.reply_timeout,
                                        random.Random(rng.random())))
             for i in range(args.readers)]
    tasks.append(asyncio.create_task(admin(server, home, deadline, rng, log,
                                           args.getpost_every, args.expire_every)))
    tasks.append(asyncio.create_task(monitor(server, deadline + 2, samples)))
    await asyncio.gather(*tasks)


def run(args):
    tmp = tempfile.TemporaryDirectory(prefix="qvsoak-")
    home = os.path.join(tmp.name, "home")
    args.port = hs.free_port()
    os.environ["QV_BINARY"] = os.path.abspath(args.binary)
    subs = [UPSTREAM_GROUP] if args.inn_port else []
    hs.make_home(home, args.port, upstream_port=args.inn_port or 119, server_timeout=30,
                 groups=[(LOCAL, True), (UPSTREAM_GROUP, False)], subscriptions=subs)
    fill_local(home, args.seed_articles)
    if args.inn_port and args.inn_posts:
        print("posted %d articles into %s" % (post_to_inn(args.inn_port, args.inn_posts),
                                               UPSTREAM_GROUP))
    server = hs.Server(home, args.port)
    server.start()
    # The start-up probe's place comes free at the controller's 5-second
    # tick; until then only 499 places are open.
    time.sleep(6)
    rss_start = server.rss_kb()
    stats, samples, log = Stats(), [], []
    t0 = time.monotonic()
    asyncio.run(soak(args, server, home, stats, samples, log))
    elapsed = time.monotonic() - t0
    # With every reader gone and the last feed work finished, the memory
    # the server still holds.
    server.wait_feed_done(120)
    time.sleep(8)
    rss_final = server.rss_kb()
    fds_final = server.fd_count()
    code = server.quit(120)
    report = server.sanitizer_report()
    problems = hs.check_store(home)
    peak = max((kb for _, kb in samples), default=0)
    fetched = len([f for f in os.listdir(os.path.join(home, "news", UPSTREAM_GROUP))
                   if f.startswith("NEWS")])
    feed_lines = [l for l in server.log().splitlines()
                  if "Processing" in l or "[EXPIRE] Articles Removed" in l or "Article Sent" in l]

    print("readers %d (connected %d), %.0f s, %d commands, %d postings"
          % (args.readers, stats.connects, elapsed, stats.commands, stats.posts))
    print("slowest reply %.2f s, hangs %d, errors %d" % (stats.slowest, stats.hangs, len(stats.errors)))
    for e in stats.errors[:10]:
        print("  " + e)
    print("articles fetched into %s: %d" % (UPSTREAM_GROUP, fetched))
    print("feed/expire log lines: %d, e.g. %s" % (len(feed_lines), feed_lines[-3:]))
    for l in log:
        print("  " + l)
    print("RSS kB: start %d, peak %d, final %d; descriptors at the end %d"
          % (rss_start, peak, rss_final, fds_final))
    print("exit code %r; sanitizer report: %s" % (code, "none" if not report else "\n" + report))
    print("store problems: %s" % (problems or "none"))
    failed = bool(report or problems or stats.hangs or code != 0 or stats.connects < args.readers
                  or stats.errors)
    if args.keep:
        print("home kept in %s" % home)
        tmp._finalizer.detach()
    print("FAILED" if failed else "OK")
    return 1 if failed else 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--binary", default=hs.binary())
    p.add_argument("--readers", type=int, default=500)
    p.add_argument("--seconds", type=float, default=200)
    p.add_argument("--inn-port", type=int, default=11119, help="0: no upstream")
    p.add_argument("--inn-posts", type=int, default=0)
    p.add_argument("--seed-articles", type=int, default=300)
    p.add_argument("--getpost-every", type=float, default=20)
    p.add_argument("--expire-every", type=float, default=45)
    p.add_argument("--reply-timeout", type=float, default=30)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--keep", action="store_true", help="keep the home directory")
    return run(p.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
