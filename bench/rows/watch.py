"""Row 5: the Watcher and the AsyncWatcher against a plain redis-py loop of
`get_message` followed by GET of the announced key: notifications delivered
per second from a queued burst, and the time from PUBLISH to the value in the
consumer's hands. The three take turns in one run; the AsyncWatcher's turns
run on an event loop of this thread, one `run_until_complete` per turn."""

import asyncio
import time

import orjson
import redis

from harness import interleave, quantile
from kelm_sdk.redis.watch import AsyncWatcher, Watcher
from shared import SPAWN, client_with, frame, start_helper

SIDES = {"Watcher": "w", "AsyncWatcher": "a", "plain loop": "p"}


def run(bench):
    group = "5 Watcher and AsyncWatcher vs plain get_message + GET loop"
    count = 1000  # short turns keep each pair close in time on a machine whose speed drifts
    value = orjson.dumps(frame(0))
    pipe = bench.admin.pipeline(transaction=False)
    for side in SIDES.values():
        for i in range(count):
            pipe.set(f"bench:watch:{side}:{i}", value)
    pipe.execute()
    # decode=False: the value as GET returns it, the same work as the plain loop.
    watcher = Watcher(patterns=["bench:watch:w:*"], host=bench.host, port=bench.port, decode=False, initial=False)
    loop = asyncio.new_event_loop()
    awatcher = AsyncWatcher(patterns=["bench:watch:a:*"], host=bench.host, port=bench.port, decode=False, initial=False)
    loop.run_until_complete(awatcher.__aenter__())
    client = client_with(bench.host, bench.port)
    plain = client.pubsub()
    plain.psubscribe("bench:watch:p:*_notify")
    while (plain.get_message(timeout=5) or {}).get("type") != "psubscribe":
        pass
    publisher = client_with(bench.host, bench.port)

    def plain_next(timeout):
        while True:
            message = plain.get_message(timeout=timeout)
            if message is None:
                return None
            if message["type"] == "pmessage":
                return message["channel"], client.get(message["channel"][:-7])

    def take_burst(take):
        for _ in range(count):
            if take(5) is None:
                raise RuntimeError("a notification was not delivered")

    async def take_burst_async():
        for _ in range(count):
            if await awatcher.get(5) is None:
                raise RuntimeError("a notification was not delivered")

    takes = {
        "Watcher": lambda: take_burst(watcher.get),
        "AsyncWatcher": lambda: loop.run_until_complete(take_burst_async()),
        "plain loop": lambda: take_burst(plain_next),
    }

    def rate(name):
        def measure():
            pipe = publisher.pipeline(transaction=False)
            for i in range(count):
                pipe.publish(f"bench:watch:{SIDES[name]}:{i}_notify", "1")
            pipe.execute()
            start = time.perf_counter()
            takes[name]()
            return count / (time.perf_counter() - start)

        return measure

    figures = interleave([(name, rate(name)) for name in SIDES], bench.rounds(30))
    for name, goal in (("Watcher", ">= 0.9"), ("AsyncWatcher", None)):
        bench.add(group, "notifications delivered/s (queued burst)", name, "plain loop", figures, "deliv/s", goal=goal)

    # One notification per millisecond from another process; per round the
    # p50 and p99 of the time from PUBLISH to the value in the consumer's hands.
    latencies = {name: {} for name in SIDES}
    sent = 200
    jobs, done, published = SPAWN.Queue(), SPAWN.Event(), SPAWN.Array("q", sent, lock=False)
    helper = start_helper(publish_paced, bench.host, bench.port, jobs, done, published)

    def arrivals(take):
        arrived = []
        while not arrived or arrived[-1][0] != sent - 1:
            item = take(5)
            if item is None:
                raise RuntimeError("the paced notifications stopped arriving")
            arrived.append((int(item[1]), time.monotonic_ns()))
        return arrived

    async def arrivals_async():
        arrived = []
        while not arrived or arrived[-1][0] != sent - 1:
            item = await awatcher.get(5)
            if item is None:
                raise RuntimeError("the paced notifications stopped arriving")
            arrived.append((int(item[1]), time.monotonic_ns()))
        return arrived

    collect = {
        "Watcher": lambda: arrivals(watcher.get),
        "AsyncWatcher": lambda: loop.run_until_complete(arrivals_async()),
        "plain loop": lambda: arrivals(plain_next),
    }
    late = {
        "Watcher": lambda: watcher.get(0.05),
        "AsyncWatcher": lambda: loop.run_until_complete(awatcher.get(0.05)),
        "plain loop": lambda: plain_next(0.05),
    }

    def latency(name):
        def measure():
            done.clear()
            jobs.put((f"bench:watch:{SIDES[name]}:lat", sent))
            arrived = collect[name]()
            done.wait(10)
            while late[name]() is not None:  # a late duplicate stays out of the next round
                pass
            # A value read through an older notification is not timed.
            samples = [(now - published[seq]) / 1000 for seq, now in arrived if now > published[seq] > 0]
            latencies[name].setdefault("p50", []).append(quantile(samples, 0.5))
            latencies[name].setdefault("p99", []).append(quantile(samples, 0.99))
            return 0.0

        return measure

    interleave([(name, latency(name)) for name in SIDES], bench.rounds(8))
    for q in ("p50", "p99"):
        figures = {name: latencies[name][q] for name in latencies}
        for name in ("Watcher", "AsyncWatcher"):
            bench.add(group, f"notify-to-delivery latency {q}", name, "plain loop", figures, "us")
    jobs.put(None)
    helper.join(10)
    watcher.close()
    loop.run_until_complete(awatcher.aclose())
    loop.close()
    plain.close()
    for c in (client, publisher):
        c.close()


def publish_paced(host, port, jobs, done, published):
    """Helper process: for each (key, count) job, SET key i, note the time,
    PUBLISH on <key>_notify, one per millisecond; then sets `done`."""
    client = redis.Redis(host=host, port=port)
    for key, count in iter(jobs.get, None):
        for i in range(count):
            published[i] = 0
        for i in range(count):
            client.set(key, i)
            published[i] = time.monotonic_ns()
            client.publish(key + "_notify", "1")
            time.sleep(0.001)
        done.set()
    client.close()
