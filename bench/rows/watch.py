"""Row 5: the Watcher against a plain redis-py loop of `get_message` followed
by GET of the announced key: notifications delivered per second from a queued
burst, and the time from PUBLISH to the value in the consumer's hands."""

import time

import orjson
import redis

from harness import interleave, quantile
from kelm_sdk.redis.watch import Watcher
from shared import SPAWN, client_with, frame, start_helper


def run(bench):
    group = "5 Watcher vs plain get_message + GET loop"
    count = 1000  # short turns keep each pair close in time on a machine whose speed drifts
    value = orjson.dumps(frame(0))
    pipe = bench.admin.pipeline(transaction=False)
    for side in ("w", "p"):
        for i in range(count):
            pipe.set(f"bench:watch:{side}:{i}", value)
    pipe.execute()
    # decode=False: the value as GET returns it, the same work as the plain loop.
    watcher = Watcher(patterns=["bench:watch:w:*"], host=bench.host, port=bench.port, decode=False, initial=False)
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

    def rate(side, take):
        def measure():
            pipe = publisher.pipeline(transaction=False)
            for i in range(count):
                pipe.publish(f"bench:watch:{side}:{i}_notify", "1")
            pipe.execute()
            start = time.perf_counter()
            for _ in range(count):
                if take(5) is None:
                    raise RuntimeError("a notification was not delivered")
            return count / (time.perf_counter() - start)

        return measure

    figures = interleave([("Watcher", rate("w", watcher.get)), ("plain loop", rate("p", plain_next))], bench.rounds(30))
    bench.add(
        group,
        "notifications delivered/s (queued burst)",
        "Watcher",
        "plain loop",
        figures,
        "deliv/s",
        goal=">= 0.9",
    )

    # One notification per millisecond from another process; per round the
    # p50 and p99 of the time from PUBLISH to the value in the consumer's hands.
    latencies = {"Watcher": {}, "plain loop": {}}
    sent = 200
    jobs, done, published = SPAWN.Queue(), SPAWN.Event(), SPAWN.Array("q", sent, lock=False)
    helper = start_helper(publish_paced, bench.host, bench.port, jobs, done, published)

    def latency(name, side, take):
        def measure():
            done.clear()
            jobs.put((f"bench:watch:{side}:lat", sent))
            arrived = []
            while True:
                item = take(5)
                if item is None:
                    raise RuntimeError("the paced notifications stopped arriving")
                arrived.append((int(item[1]), time.monotonic_ns()))
                if arrived[-1][0] == sent - 1:
                    break
            done.wait(10)
            while take(0.05) is not None:  # a late duplicate stays out of the next round
                pass
            # A value read through an older notification is not timed.
            samples = [(now - published[seq]) / 1000 for seq, now in arrived if now > published[seq] > 0]
            latencies[name].setdefault("p50", []).append(quantile(samples, 0.5))
            latencies[name].setdefault("p99", []).append(quantile(samples, 0.99))
            return 0.0

        return measure

    interleave(
        [("Watcher", latency("Watcher", "w", watcher.get)), ("plain loop", latency("plain loop", "p", plain_next))],
        bench.rounds(8),
    )
    for q in ("p50", "p99"):
        figures = {name: latencies[name][q] for name in latencies}
        bench.add(group, f"notify-to-delivery latency {q}", "Watcher", "plain loop", figures, "us")
    jobs.put(None)
    helper.join(10)
    watcher.close()
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
