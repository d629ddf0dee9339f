"""Row 6: one threaded instance (defaults: a queue of 2 pending frames) and a
producer writing 10 keys per tick at 50 Hz, against the same frames written
inline with redis-py (SET + PUBLISH per frame on the producer's thread).

Figures: the share of key-ticks whose newest frame is stored within 50 ms of
the tick, and the producer's time per tick (the 10 calls). A checker in a
process of its own (it must not take the GIL from the producer or the writer)
reads the 10 keys with one MGET 50 ms after each tick began: the key-tick
counts when the key then holds that tick's frame or a newer one. Ticks are
numbered across turns, so a value left by an earlier turn never counts."""

import itertools
import time

import orjson
import redis

from harness import interleave, quantile
from kelm_sdk.redis.stashel import Stashel
from shared import SPAWN, client_with, frame, settle, start_helper

GROUP = "6 many keys, 10 per tick at 50 Hz"
KEYS = 10
PERIOD_NS = 20_000_000
WINDOW_NS = 50_000_000


def run(bench):
    ticks = max(10, int(50 * bench.scale))
    jobs, results, ticked = SPAWN.Queue(), SPAWN.Queue(), SPAWN.Array("q", ticks, lock=False)
    helper = start_helper(check_ticks, bench.host, bench.port, jobs, results, ticked)
    results.get(timeout=30)  # the checker is connected
    s = Stashel(host=bench.host, port=bench.port)
    client = client_with(bench.host, bench.port)

    def inline(f, key):
        if client.set(key, orjson.dumps(f), ex=None):
            client.publish(key + "_notify", "1")

    turns = itertools.count()
    seen = {}  # contender: {"p50": [per round], "p99": [...], "ticks": [us], "fresh": [per key], "late": [us]}

    def contender(name, write, after):
        keys = [f"bench:many:{name[0]}:{k}" for k in range(KEYS)]
        mine = seen.setdefault(name, {"p50": [], "p99": [], "ticks": [], "fresh": [0] * KEYS, "late": []})

        def measure():
            first = next(turns) * ticks
            for i in range(ticks):
                ticked[i] = 0
            jobs.put((keys, first, ticks))
            spent = []
            start = time.monotonic_ns() + PERIOD_NS
            for i in range(ticks):
                frames = [frame(first + i) for _ in keys]
                pause = start + i * PERIOD_NS - time.monotonic_ns()
                if pause > 0:
                    time.sleep(pause / 1e9)
                ticked[i] = t0 = time.monotonic_ns()
                for f, key in zip(frames, keys, strict=True):
                    write(f, key)
                spent.append((time.monotonic_ns() - t0) / 1000)
            fresh, late = results.get(timeout=30)
            after()
            mine["p50"].append(quantile(spent, 0.5))
            mine["p99"].append(quantile(spent, 0.99))
            mine["ticks"] += spent
            mine["late"] += late
            mine["fresh"] = [a + b for a, b in zip(mine["fresh"], fresh, strict=True)]
            return sum(fresh) / (ticks * KEYS)

        return measure

    for write in (s.write_kelm_data, inline):  # connections made before the first turn
        write(frame(-1), "bench:many:warm-up")
    settle(s._queue, 5)
    figures = interleave(
        [
            ("Stashel", contender("Stashel", s.write_kelm_data, lambda: settle(s._queue, 5))),
            ("inline redis-py", contender("inline redis-py", inline, lambda: None)),
        ],
        bench.rounds(8),
    )
    s._shutdown_executor()
    jobs.put(None)
    helper.join(10)
    client.close()
    bench.add(
        GROUP,
        "newest frame stored within 50 ms",
        "Stashel",
        "inline redis-py",
        figures,
        "share",
        goal=">= 0.99",
        note="A, B: share of key-ticks",
    )
    for q, goal in (("p50", "<= 0.15"), ("p99", "<= 0.3")):
        bench.add(
            GROUP,
            f"producer time per tick {q}",
            "Stashel",
            "inline redis-py",
            {n: v[q] for n, v in seen.items()},
            "us/tick",
            goal=goal,
        )
    summary = {
        name: {
            "share_per_key": [round(x / (ticks * len(figures[name])), 3) for x in v["fresh"]],
            "tick_p50_us": quantile(v["ticks"], 0.5),
            "tick_p99_us": quantile(v["ticks"], 0.99),
            "checker_late_p99_us": quantile(v["late"], 0.99),
        }
        for name, v in seen.items()
    }
    text = "; ".join(
        f"{name}: per key {' '.join(f'{x:.2f}' for x in v['share_per_key'])}, per tick p50 {v['tick_p50_us']:.0f} us,"
        f" p99 {v['tick_p99_us']:.0f} us (checker late p99 {v['checker_late_p99_us']:.0f} us)"
        for name, v in summary.items()
    )
    print("    many keys: " + text, flush=True)
    bench.summary("many_keys", summary, "Many keys, share of ticks stored within 50 ms: " + text)


def check_ticks(host, port, jobs, results, ticked):
    """Helper process: for each (keys, first, count) job, reads the keys 50 ms
    after each tick began (`ticked[i]`, set by the producer) and counts per key
    the ticks whose frame, or a newer one, was stored by then. Puts the counts
    and how late each read came back (us) on `results`, after a first True
    once connected."""
    client = redis.Redis(host=host, port=port)
    results.put(client.ping())
    for keys, first, count in iter(jobs.get, None):
        fresh, late = [0] * len(keys), []
        for i in range(count):
            while ticked[i] == 0:
                time.sleep(0.001)
            deadline = ticked[i] + WINDOW_NS
            pause = deadline - time.monotonic_ns()
            if pause > 0:
                time.sleep(pause / 1e9)
            values = client.mget(keys)
            late.append((time.monotonic_ns() - deadline) / 1000)
            for k, value in enumerate(values):
                if value is not None and orjson.loads(value)["seq"] >= first + i:
                    fresh[k] += 1
        results.put((fresh, late))
    client.close()
