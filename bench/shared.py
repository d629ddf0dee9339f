"""What several rows use: the frame they write, clients, waiting for the
background writer, and helper processes."""

import multiprocessing
import threading
import time

import orjson
import redis

from kelm_sdk.redis.stashel import Stashel

PAYLOAD = "x" * 1024
SCAN_KEYS = 10_000
# Helpers that time or load the server run in processes of their own: a thread
# would share the GIL with the contender it measures.
SPAWN = multiprocessing.get_context("spawn")


def frame(seq):
    return {"seq": seq, "t": time.monotonic_ns(), "width": 640, "height": 480, "payload": PAYLOAD}


def seed(client):
    """The keys the call rows read: a text, a frame, and 10,000 keys to scan."""
    pipe = client.pipeline(transaction=False)
    for i in range(SCAN_KEYS):
        pipe.set(f"bench:scan:{i}", b"1")
    pipe.execute()
    client.set("bench:text", "hello")
    client.set("bench:frame", orjson.dumps(frame(0)))


def settle(q, timeout):
    """Waits until the writer has finished every queued frame. Blocks without
    polling: a polling thread would take the GIL from the writer it times."""
    waiter = threading.Thread(target=q.join, daemon=True)
    waiter.start()
    waiter.join(timeout)


def client_with(host, port, parser_class=None):
    kwargs = {"host": host, "port": port, "max_connections": 10, "decode_responses": False}
    if parser_class is not None:
        kwargs["parser_class"] = parser_class
    return redis.StrictRedis(connection_pool=redis.ConnectionPool(**kwargs))


def stored_rate(bench, s, before, start, timeout):
    """Waits for the writer to empty the queue, shuts the instance down and
    returns the SETs the server counted since `before`, per second since `start`."""
    settle(s._queue, timeout)
    elapsed = time.perf_counter() - start
    stored = bench.set_calls() - before
    s._shutdown_executor()
    return stored / elapsed


def drain(bench, count, client=None):
    """Writer throughput alone: a queue big enough for `count` frames is
    filled, then timed while the background writer empties it."""

    def measure():
        s = Stashel(host=bench.host, port=bench.port, workers=count)
        if client is not None:
            s._redis_client = client
        for n in range(count):
            s.write_kelm_data(frame(n), "bench:pipe")
        before, start = bench.set_calls(), time.perf_counter()
        return stored_rate(bench, s, before, start, 60)

    return measure


def start_helper(target, *args):
    """Starts `target(*args)` in a daemon process of its own."""
    helper = SPAWN.Process(target=target, args=args, daemon=True)
    helper.start()
    return helper
