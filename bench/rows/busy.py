"""Row 7: a producer that computes in Python between frame writes, holding the
GIL throughout (one instance, one key): no work, about 80 us and about 1 ms of
work per frame, calibrated once per run. For each, side by side with direct
mode and with the same work alone (frames built, none written): the frames
the producer makes per second, the frames stored per second, and the
producer's speed over the speed of the work alone.

Frames stored are counted by the server's SET statistics: during a turn the
instance (its writer, or in direct mode the producer) is the only client that
sends SET, and no frame is set twice. The count is taken once the writer has
finished, so it includes the frames still queued when the producer stops."""

import time
import timeit

from harness import interleave, paired, quantile
from kelm_sdk.redis.stashel import Stashel
from shared import frame, settle

GROUP = "7 busy producer (Python work per frame, GIL held)"
KEY = "bench:busy"
# (label, us of work per frame, goal for stored / produced, goal for the producer's speed)
WORK = (
    ("tight loop", 0, None, None),
    ("80 us of work", 80, ">= 0.3", None),
    ("1 ms of work", 1000, ">= 0.4", ">= 0.85"),
)


def spin(n):
    """Pure-Python work: the interpreter keeps the GIL until the switch interval asks for it."""
    x = 0
    for i in range(n):
        x += i
    return x


def spins_per_us():
    n = 200_000
    return n / (min(timeit.repeat(lambda: spin(n), number=1, repeat=5)) * 1e6)


def contender(bench, s, n, seconds, stored):
    """A measure: `n` spins and a frame, written by `s` (None: not written), for
    `seconds`; gives frames made per second and appends the frames the server
    stored per second to `stored`."""

    def measure():
        write = None if s is None else s.write_kelm_data
        before = bench.set_calls()
        count, start = 0, time.perf_counter()
        end = start + seconds
        while time.perf_counter() < end:
            spin(n)
            f = frame(count)
            if write is not None:
                write(f, KEY)
            count += 1
        elapsed = time.perf_counter() - start
        if s is not None and s._queue is not None:
            settle(s._queue, 5)
        stored.append((bench.set_calls() - before) / elapsed)
        return count / elapsed

    return measure


def run(bench):
    seconds = max(0.05, 0.15 * bench.scale)
    per_us = spins_per_us()
    instances = {
        "threaded": Stashel(host=bench.host, port=bench.port),
        "direct": Stashel(thread=False, host=bench.host, port=bench.port),
        "work alone": None,
    }
    for s in instances.values():  # connections made before the first turn
        if s is not None:
            s.write_kelm_data(frame(-1), KEY)
    settle(instances["threaded"]._queue, 5)
    summary = {}
    for label, us, stored_goal, speed_goal in WORK:
        n = round(us * per_us)
        stored = {who: [] for who in instances}
        figures = interleave(
            [(who, contender(bench, s, n, seconds, stored[who])) for who, s in instances.items()], bench.rounds(7)
        )
        figures["threaded, stored"], figures["threaded, produced"] = stored["threaded"], figures["threaded"]
        bench.add(
            GROUP,
            f"{label}: frames stored / produced",
            "threaded, stored",
            "threaded, produced",
            figures,
            "frames/s",
            goal=stored_goal,
        )
        for mode, goal in (("threaded", speed_goal), ("direct", None)):
            bench.add(GROUP, f"{label}: producer speed, {mode}", mode, "work alone", figures, "frames/s", goal=goal)
        summary[label] = {
            "spins per frame": n,
            **{f"{who} frames/s": quantile(figures[who], 0.5) for who in instances},
            "threaded stored/s": quantile(stored["threaded"], 0.5),
            "direct stored / produced": paired(stored["direct"], figures["direct"])["median"],
        }
    instances["threaded"]._shutdown_executor()
    text = "; ".join(
        f"{label}: threaded {v['threaded stored/s']:,.0f} of {v['threaded frames/s']:,.0f} frames/s stored,"
        f" direct {v['direct frames/s']:,.0f} frames/s ({v['direct stored / produced']:.3f} of them stored),"
        f" work alone {v['work alone frames/s']:,.0f} frames/s"
        for label, v in summary.items()
    )
    print("    busy producer: " + text, flush=True)
    bench.summary("busy_producer", summary, f"Busy producer ({per_us:.1f} spins per us): " + text)
