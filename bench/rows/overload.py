"""Row 8: more than the writer can store at once. The producer of row 6 (10
keys per tick at 50 Hz) while its server is stopped (SIGSTOP) for 1.5 s, and
a burst of 100,000 distinct keys written back to back; each against the same
frames written inline with redis-py.

Freeze: the server is one of this row's own, so that the others' is never
stopped. A helper process stops it half a second into a turn, lets it run
again 1.5 s later, and then reads the 10 keys (MGET, every 2 ms) until each
holds a frame of the tick the producer was due at when the server ran again.
Figures: the producer's longest tick, and that catch-up time.

Burst: figures are the seconds until the server holds every key's frame,
the share of keys stored, the most frames pending at once (the queue's
unfinished_tasks, sampled every 1,000 keys) and the process's resident
memory growth."""

import os
import signal
import time

import orjson

from harness import interleave, quantile
from kelm_sdk.redis.stashel import Stashel
from redis_server import PrivateRedis
from shared import SPAWN, client_with, frame, settle, start_helper

GROUP = "8 overload: a frozen server, a burst of keys"
KEYS = 10
PERIOD_NS = 20_000_000
FREEZE_AT_NS = 500_000_000
FREEZE_NS = 1_500_000_000
AFTER_NS = 1_500_000_000


def run(bench):
    with PrivateRedis() as server:
        freeze(bench, server)
    burst(bench)


def inline_writer(client):
    def write(f, key):
        if client.set(key, orjson.dumps(f), ex=None):
            client.publish(key + "_notify", "1")

    return write


def freeze(bench, server):
    jobs, results = SPAWN.Queue(), SPAWN.Queue()
    helper = start_helper(stop_and_watch, server.host, server.port, server.proc.pid, jobs, results)
    results.get(timeout=30)  # connected
    s = Stashel(host=server.host, port=server.port)
    writers = {"Stashel": s.write_kelm_data, "inline redis-py": inline_writer(client_with(server.host, server.port))}
    ticks = (FREEZE_AT_NS + FREEZE_NS + AFTER_NS) // PERIOD_NS
    longest, caught_up = {name: [] for name in writers}, {name: [] for name in writers}
    turns = iter(range(1_000_000))

    def contender(name):
        keys = [f"bench:frozen:{name[0]}:{k}" for k in range(KEYS)]
        write = writers[name]

        def measure():
            first = next(turns) * ticks
            start = time.monotonic_ns() + PERIOD_NS
            jobs.put((keys, first, start))
            spent = []
            for i in range(ticks):
                frames = [frame(first + i) for _ in keys]
                pause = start + i * PERIOD_NS - time.monotonic_ns()
                if pause > 0:
                    time.sleep(pause / 1e9)
                t0 = time.monotonic_ns()
                for f, key in zip(frames, keys, strict=True):
                    write(f, key)
                spent.append((time.monotonic_ns() - t0) / 1e6)
            caught_up[name].append(results.get(timeout=30))
            if name == "Stashel":
                settle(s._queue, 5)
            longest[name].append(max(spent))
            return max(spent)

        return measure

    for write in writers.values():  # connections made before the first turn
        write(frame(-1), "bench:frozen:warm-up")
    settle(s._queue, 5)
    interleave([(name, contender(name)) for name in writers], bench.rounds(3))
    s._shutdown_executor()
    jobs.put(None)
    helper.join(10)
    bench.add(
        GROUP,
        "longest tick over a 1.5 s freeze",
        "Stashel",
        "inline redis-py",
        longest,
        "ms",
        goal="<= 50",
        goal_on="a worst",
    )
    bench.add(
        GROUP,
        "every key at its newest frame, after the freeze",
        "Stashel",
        "inline redis-py",
        caught_up,
        "ms",
        goal="<= 1000",
        goal_on="a worst",
    )


def stop_and_watch(host, port, pid, jobs, results):
    """Helper process: for each (keys, first tick, start), stops the server
    half a second into the turn, lets it run again 1.5 s later, and puts on
    `results` the ms until every key holds the tick due at that moment."""
    import redis

    client = redis.Redis(host=host, port=port)
    results.put(client.ping())
    for keys, first, start in iter(jobs.get, None):
        time.sleep(max(0, start + FREEZE_AT_NS - time.monotonic_ns()) / 1e9)
        os.kill(pid, signal.SIGSTOP)
        time.sleep(FREEZE_NS / 1e9)
        os.kill(pid, signal.SIGCONT)
        resumed = time.monotonic_ns()
        due = first + (resumed - start) // PERIOD_NS
        while True:
            values = client.mget(keys)
            if all(v is not None and orjson.loads(v)["seq"] >= due for v in values):
                break
            if time.monotonic_ns() - resumed > 10e9:
                break
            time.sleep(0.002)
        results.put((time.monotonic_ns() - resumed) / 1e6)
    client.close()


def resident_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def burst(bench):
    count = max(1000, int(100_000 * bench.scale))
    s = Stashel(host=bench.host, port=bench.port)
    client = client_with(bench.host, bench.port)
    figures = {name: [] for name in ("Stashel", "inline redis-py")}
    seen = {}
    for name, write in (("Stashel", s.write_kelm_data), ("inline redis-py", inline_writer(client))):
        keys = [f"bench:burst:{name[0]}:{k}" for k in range(count)]
        client.delete(*keys)
        before, peak, pending = resident_mib(), 0.0, 0
        start = time.perf_counter()
        for k, key in enumerate(keys):
            write(frame(k), key)
            if k % 1000 == 0:
                peak = max(peak, resident_mib() - before)
                pending = max(pending, s._queue.unfinished_tasks if name == "Stashel" else 0)
        if name == "Stashel":
            settle(s._queue, 600)
        elapsed = time.perf_counter() - start
        stored = 0
        for i in range(0, count, 1000):
            values = client.mget(keys[i : i + 1000])
            stored += sum(v is not None and orjson.loads(v)["seq"] == i + j for j, v in enumerate(values))
        figures[name].append(elapsed)
        seen[name] = {"stored": stored / count, "most pending": pending, "memory growth MiB": round(peak, 1)}
        client.delete(*keys)
    s._shutdown_executor()
    client.close()
    bench.add(GROUP, f"burst of {count:,} keys: all stored", "Stashel", "inline redis-py", figures, "s")
    shares = {name: [v["stored"]] for name, v in seen.items()}
    bench.add(
        GROUP,
        "burst: share of keys stored",
        "Stashel",
        "inline redis-py",
        shares,
        "share",
        goal=">= 1",
        goal_on="a worst",
    )
    text = "; ".join(
        f"{name}: {v['stored']:.3f} stored, at most {v['most pending']:,} frames pending,"
        f" resident memory +{v['memory growth MiB']} MiB"
        for name, v in seen.items()
    )
    print(f"    burst of {count:,} keys: " + text, flush=True)
    bench.summary(
        "burst",
        {"keys": count, "cap": 10_000, **seen, "seconds": {n: quantile(v, 0.5) for n, v in figures.items()}},
        f"Burst of {count:,} distinct keys (at most 10,000 parked): " + text,
    )
