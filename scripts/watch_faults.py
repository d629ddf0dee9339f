#!/usr/bin/env python3
"""The Watcher's faults measured against a private redis-server, with this
tree's Watcher, its AsyncWatcher, or the Watcher of an earlier commit:

    .venv/bin/python scripts/watch_faults.py [--face sync|async] [--rev REV] FAULT [N]

FAULT is one of
  drop    a relay on 127.0.0.1 stops forwarding (no FIN, no RST), then a
          change: when it is delivered (45 s at most); N: ping_interval
  frozen  the server frozen (SIGSTOP) with a change pending: three
          get(timeout=1.0), then close() from another thread during a get()
  gone    N notifications (default 30,000) of keys gone at delivery: the
          first get(timeout=0.1)
  flood   N distinct keys (default 400,000) stored and notified through a
          pipeline, every 7th stored again: the first get(timeout=0.1), then
          every delivery until a get(timeout=2) finds none (add `first` to
          stop after the first get): time, pending keys, memory
  decode  a client with decode_responses=True, a channel name that is not
          UTF-8, then a change

--rev loads src/kelm_sdk/redis/watch.py from that commit (git show), e.g.
--rev 8c07574 for the Watcher before the network and flood work.
"""

import argparse
import importlib.util
import resource
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import redis  # noqa: E402
import redis.asyncio  # noqa: E402

from reliability.conftest import Relay, ServerProcess  # noqa: E402


def watcher_class(face, rev):
    if rev:
        source = subprocess.run(
            ["git", "-C", str(ROOT), "show", f"{rev}:src/kelm_sdk/redis/watch.py"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        path = Path(tempfile.mkdtemp()) / "watch_at_rev.py"
        path.write_text(source)
        spec = importlib.util.spec_from_file_location("watch_at_rev", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module.Watcher
    if face == "sync":
        from kelm_sdk.redis.watch import Watcher

        return Watcher
    from stashel_testing import BlockingAsyncWatcher

    def make(*args, client=None, **kwargs):
        if client is not None:  # the same settings on redis.asyncio
            settings = client.connection_pool.connection_kwargs
            client = redis.asyncio.Redis(
                host=settings["host"], port=settings["port"], decode_responses=settings["decode_responses"]
            )
        return BlockingAsyncWatcher(*args, client=client, **kwargs)

    return make


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) / 1024
    return 0.0


def announce(admin, pairs, chunk=10_000):
    pipe = admin.pipeline(transaction=False)
    for i, (key, value) in enumerate(pairs, 1):
        if value is not None:
            pipe.set(key, value)
        pipe.publish(f"{key}_notify", "1")
        if i % chunk == 0:
            pipe.execute()
    pipe.execute()


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def drop(Watcher, server, admin, n):
    relay = Relay(server.port)
    kwargs = {"ping_interval": float(n)} if n else {}
    watcher = Watcher(["d:k"], host="127.0.0.1", port=relay.port, initial=False, **kwargs)
    announce(admin, [("d:k", b"1")])
    print("before the drop:", watcher.get(timeout=5))
    relay.drop()
    start = time.monotonic()
    announce(admin, [("d:k", b"2")])
    item = None
    while item is None and time.monotonic() - start < 45:
        item = watcher.get(timeout=1.0)
    print(f"after the drop: {item} after {time.monotonic() - start:.1f} s; stats {watcher.stats()}")
    watcher.close()
    relay.close()


def frozen(Watcher, server, admin, n):
    watcher = Watcher(["f:k"], host=server.host, port=server.port, initial=False)
    announce(admin, [("f:k", b"1")])
    time.sleep(0.3)
    server.freeze()
    for i in range(3):
        item, took = timed(lambda: watcher.get(timeout=1.0))
        print(f"get(timeout=1.0) #{i + 1}: {item} in {took:.2f} s")
    ended = []
    consumer = threading.Thread(target=lambda: ended.append((watcher.get(), time.monotonic())))
    consumer.start()
    time.sleep(1.5)
    closed_at = time.monotonic()
    watcher.close()
    consumer.join(30)
    print(f"close() woke the blocked get() after {ended[0][1] - closed_at:.2f} s")
    server.thaw()


def gone(Watcher, server, admin, n):
    n = n or 30_000
    watcher = Watcher(patterns=["g:*"], host=server.host, port=server.port, initial=False)
    announce(admin, ((f"g:{i}", None) for i in range(n)))
    item, took = timed(lambda: watcher.get(timeout=0.1))
    print(f"{n} keys gone at delivery: get(timeout=0.1) -> {item} in {took:.2f} s; stats {watcher.stats()}")
    watcher.close()


def flood(Watcher, server, admin, n, first_only):
    n = n or 400_000
    watcher = Watcher(patterns=["fl:*"], host=server.host, port=server.port, initial=False, decode=False)
    base = rss_mib()
    announce(admin, ((f"fl:{i}", b"%d" % i) for i in range(n)))
    for start in range(0, n, 70_000):  # newer values, unannounced
        admin.mset({f"fl:{i}": b"new%d" % i for i in range(start, min(n, start + 70_000), 7)})
    time.sleep(1)
    item, took = timed(lambda: watcher.get(timeout=0.1))
    print(
        f"{n} distinct keys: first get(timeout=0.1) -> {item} in {took:.2f} s; "
        f"{watcher.stats()['pending']} pending, RSS +{rss_mib() - base:.0f} MiB",
        flush=True,
    )
    if first_only:
        return
    newest = bytearray(n)  # 1: key i was delivered with its newest value

    def check(item):
        i = int(item[0][3:])
        newest[i] = item[1] == (b"new%d" % i if i % 7 == 0 else b"%d" % i)

    if item:
        check(item)
    start, slowest, peak, count = time.monotonic(), 0.0, 0, 1 if item else 0
    while True:
        item, took = timed(lambda: watcher.get(timeout=2))
        if item is None:
            break
        slowest, count = max(slowest, took), count + 1
        check(item)
        peak = max(peak, watcher.stats()["pending"])
    print(
        f"then {count} deliveries in {time.monotonic() - start:.1f} s, {n - sum(newest)} keys without their "
        f"newest value; slowest get {slowest:.2f} s; most pending {peak}; RSS +{rss_mib() - base:.0f} MiB "
        f"(peak {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB); stats {watcher.stats()}"
    )
    watcher.close()


def decode(Watcher, server, admin, n):
    client = redis.Redis(host=server.host, port=server.port, decode_responses=True)
    watcher = Watcher(patterns=["u:*"], client=client, initial=False)
    admin.publish(b"u:\xff_notify", "1")
    announce(admin, [("u:ok", b'{"ok":1}')])
    try:
        print("decode_responses=True:", watcher.get(timeout=2), watcher.get(timeout=0.5), watcher.stats())
    except Exception as exc:  # noqa: BLE001 - the fault being shown
        print(f"decode_responses=True: get() raised {type(exc).__name__}: {exc}")
    watcher.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--face", choices=("sync", "async"), default="sync")
    parser.add_argument("--rev", help="the Watcher of this commit (sync only)")
    parser.add_argument("fault", choices=("drop", "frozen", "gone", "flood", "decode"))
    parser.add_argument("n", nargs="?", type=int, default=0)
    parser.add_argument("first", nargs="?", choices=("first",))
    args = parser.parse_args()
    Watcher = watcher_class(args.face, args.rev)
    server = ServerProcess(tempfile.mkdtemp()).start()
    try:
        admin = server.admin()
        if args.fault == "flood":
            flood(Watcher, server, admin, args.n, args.first)
        else:
            globals()[args.fault](Watcher, server, admin, args.n)
    finally:
        server.kill()


if __name__ == "__main__":
    main()
