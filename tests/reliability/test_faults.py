"""A server that dies, comes back, freezes, drops connections or runs out of
pool connections, against real redis-server processes owned by each test."""

import os
import random
import subprocess
import sys
import threading
import time
from collections import Counter

import orjson
import pytest
import redis

from conftest import wait_until

from .conftest import counted, drained, frame_for


def run_producers(instance, keys, stop, errors, last, pause=0.001, limit=200_000):
    """One thread per key writing frame_for(key, 0), (key, 1), ... until stop."""

    def produce(key):
        try:
            for i in range(limit):
                if stop.is_set():
                    return
                instance.write_kelm_data(frame_for(key, i), key)
                last[key] = i
                time.sleep(pause)
        except BaseException as exc:  # noqa: BLE001 - any escape is the finding
            errors.append(exc)

    threads = [threading.Thread(target=produce, args=(k,), daemon=True) for k in keys]
    for t in threads:
        t.start()
    return threads


def test_server_killed_and_restarted_under_threaded_producers(own_server, own_stashel, logs):
    writer = own_stashel(workers=2)
    proxy = counted(writer)
    direct = own_stashel(thread=False)
    keys = ["restart:0", "restart:1", "restart:2"]
    stop, errors, last = threading.Event(), [], {}
    threads = run_producers(writer, keys, stop, errors, last)
    try:
        assert wait_until(lambda: proxy.set_ok >= 30, timeout=10)

        own_server.kill()
        assert wait_until(lambda: len(proxy.set_errors) >= 30, timeout=10)

        # Everything but the queued frame path reports the outage.
        with pytest.raises(redis.ConnectionError) as down:
            direct.write_data("direct", "v")
        assert "Connection refused" in str(down.value)
        before = len(logs())
        assert direct.read_kelm_data("direct") is None
        warning = [line for line in logs()[before:] if line[0] != "ERROR"]  # the writer logs meanwhile
        assert len(warning) == 1 and warning[0][0] == "WARNING"
        assert warning[0][1].startswith("Failed to get redis frame from direct - ")
        assert "Connection refused" in warning[0][1]
        for call in (
            lambda: direct.scan_keys("*"),
            lambda: direct.delete_data("direct"),
            lambda: direct.delete_many(["direct"]),
            lambda: direct.read_data("direct"),
        ):
            with pytest.raises(redis.ConnectionError):
                call()
        assert direct.write_kelm_data({"a": 1}, "direct") is False
        # Accepted while the server is down: queued, or parked behind a queue
        # full of other keys' frames, never written on the caller's thread.
        assert writer.write_kelm_data({"a": 1}, "queued") is True

        stored_before = proxy.set_ok
        failed_while_down = len(proxy.set_errors)
        at_restart = dict(last)
        own_server.start()
        back = time.monotonic()
        assert wait_until(lambda: proxy.set_ok >= stored_before + 1, timeout=10)
        first_after = time.monotonic() - back
        assert wait_until(lambda: proxy.set_ok >= stored_before + 30, timeout=10)
        assert direct.write_data("direct", "v") is True
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=10)
    assert drained(writer)
    assert errors == []
    assert writer._worker.is_alive()

    # Exactly one error line for each SET that failed on the writer, with its text.
    lines = Counter(m for level, m in logs() if level == "ERROR")
    writer_lines = Counter(f"Failed to write data to redis`{k}` - {e}" for k, e in proxy.set_errors)
    assert writer_lines - lines == Counter()
    direct_lines = lines - writer_lines  # the direct write_kelm_data while down
    assert sum(direct_lines.values()) == 1
    assert next(iter(direct_lines)).startswith("Failed to write data to redis`direct` - ")

    # Frames written after the restart are stored again.
    admin = own_server.admin()
    for key in keys:
        stored = orjson.loads(admin.get(key))
        assert stored == frame_for(key, stored["i"])
        assert stored["i"] > at_restart[key]
    print(
        f"\nrestart: {stored_before} frames stored before the kill, {failed_while_down} failed while down "
        f"({len(proxy.set_errors)} error lines in all), first frame stored {first_after * 1000:.0f} ms "
        f"after the server was back, {proxy.set_ok - stored_before} stored after"
    )


def stall_server(server, how, pause_ms=2500):
    if how == "sigstop":
        server.freeze()
    else:
        server.admin().execute_command("CLIENT", "PAUSE", str(pause_ms), "WRITE")


def writer_inside_set(instance, proxy, stall, server):
    """Stores one frame, stalls the server, then hands the writer a second
    frame and waits until it is stuck in that frame's SET."""
    instance.write_kelm_data(frame_for("stall", 0), "stall")
    assert drained(instance) and proxy.set_ok == 1  # the writer has a live connection
    stall_server(server, stall)
    instance.write_kelm_data(frame_for("stall", 1), "stall")
    assert wait_until(lambda: proxy.set_calls == 2)


@pytest.mark.parametrize("stall", ["sigstop", "client-pause"])
def test_stalled_server_blocks_no_producer_and_no_shutdown(own_server, own_stashel, stall):
    instance = own_stashel()
    proxy = counted(instance)
    writer_inside_set(instance, proxy, stall, own_server)
    stalled_at = time.monotonic()

    latencies = []
    for i in range(2000):
        t0 = time.perf_counter()
        assert instance.write_kelm_data(frame_for("stall:p", i), "stall:p") is True
        latencies.append(time.perf_counter() - t0)
    produced_in = time.monotonic() - stalled_at
    # All 2000 frames went in while one SET was still waiting for the server.
    assert proxy.set_calls == 2 and proxy.set_ok == 1
    assert produced_in < 2.0
    assert max(latencies) < 0.25

    t0 = time.monotonic()
    instance._shutdown_executor()
    took = time.monotonic() - t0
    assert took < 0.5 + 0.3
    assert instance._worker.is_alive()  # still inside the stalled SET
    assert instance._queue is None and instance._use_thread is False

    own_server.thaw()
    instance._worker.join(timeout=10)
    assert not instance._worker.is_alive()
    # The writer finished the SET it held and stored nothing after the shutdown.
    assert proxy.set_calls == 2
    assert own_server.admin().get("stall") is not None
    latencies.sort()
    print(
        f"\nstall ({stall}): 2000 frames in {produced_in:.2f} s while one SET hung; "
        f"per call median {latencies[1000] * 1e6:.0f} us, max {latencies[-1] * 1e3:.1f} ms; "
        f"shutdown returned in {took:.3f} s"
    )


def test_stalled_server_several_producers_never_wait(own_server, own_stashel):
    """With several producers (keys) on one instance, frames that find the
    queue full wait behind it, one per key: no producer waits for the
    stalled server, or writes a frame itself."""
    instance = own_stashel()
    proxy = counted(instance)
    writer_inside_set(instance, proxy, "client-pause", own_server)
    calls, errors = [], []

    def produce(p):
        try:
            for i in range(500):
                before = getattr(proxy.local, "sets", 0)
                t0 = time.perf_counter()
                result = instance.write_kelm_data(frame_for(f"stall:{p}", i), f"stall:{p}")
                calls.append((time.perf_counter() - t0, getattr(proxy.local, "sets", 0) - before, result))
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)

    producers = [threading.Thread(target=produce, args=(p,)) for p in range(4)]
    for t in producers:
        t.start()
    for t in producers:
        t.join(timeout=30)
    assert errors == [] and len(calls) == 2000
    fallbacks = [c for c in calls if c[1]]
    longest = max(c[0] for c in calls)
    assert fallbacks == [] and all(result is True for _, _, result in calls)
    assert longest < 0.25  # the stall lasts 2.5 s
    print(f"\nstall with 4 producers: no call wrote a frame itself, longest {longest * 1e3:.1f} ms")


# A child process that leaves its writers (and sometimes producers and a
# direct call) stuck on a frozen server and then exits.
EXIT_CHILD = r"""
import random, sys, threading, time
from kelm_sdk.redis.stashel import Stashel

host, port, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed)
mode = sys.argv[4]
instances = [Stashel(host=host, port=port, workers=rnd.choice([1, 2, 4])) for _ in range(rnd.randint(1, 3))]
for n, s in enumerate(instances):
    s.write_kelm_data({"seed": seed, "n": n}, "exit:%d" % seed)

def produce(s):
    for i in range(10 ** 6):
        s.write_kelm_data({"i": i, "pad": "x" * rnd.randint(0, 64)}, "exit:%d:%d" % (seed, i % 3))
        if i % 50 == 0:
            time.sleep(0.0005)

if mode in ("producers", "everything"):
    for s in instances:
        threading.Thread(target=produce, args=(s,), daemon=True).start()
if mode in ("direct", "everything"):
    d = Stashel(thread=False, host=host, port=port)
    threading.Thread(target=d.read_kelm_data, args=("exit:%d" % seed,), daemon=True).start()
    threading.Thread(target=d.write_data, args=("exit:%d" % seed, "v"), daemon=True).start()
if mode == "shutdown":
    instances[0]._shutdown_executor()
if mode == "live":
    # The server answers: threads are inside socket calls and the module's
    # frames, and want the interpreter back, when it goes away under them.
    d = Stashel(thread=False, host=host, port=port)

    def loop(n):
        for i in range(10 ** 6):
            d.write_data("exit:%d:%d" % (seed, n), "v%d" % i)
            d.read_kelm_data("exit:%d" % seed)
            d.scan_keys("exit:%d:*" % seed)

    for n in range(3):
        threading.Thread(target=loop, args=(n,), daemon=True).start()
    for s in instances:
        threading.Thread(target=produce, args=(s,), daemon=True).start()
time.sleep(rnd.uniform(0.0, 0.3))
if rnd.random() < 0.5:
    sys.exit(0)
"""

FROZEN_MODES = ["idle", "producers", "direct", "shutdown", "everything"]
BAD_STDERR = ("terminate called", "FATAL", "Fatal Python error", "Segmentation fault", "AddressSanitizer")


def exit_runs(server, runs, seed0, frozen=True):
    if frozen:
        server.freeze()
    results = []
    try:
        for run in range(runs):
            seed = seed0 + run
            mode = FROZEN_MODES[run % len(FROZEN_MODES)] if frozen else "live"
            t0 = time.monotonic()
            proc = subprocess.run(
                [sys.executable, "-c", EXIT_CHILD, server.host, str(server.port), str(seed), mode],
                capture_output=True,
                text=True,
                timeout=60,
                check=False,
            )
            results.append((seed, mode, proc.returncode, proc.stderr, time.monotonic() - t0))
    finally:
        server.thaw()
    return results


def check_exit_runs(results):
    # Under the sanitizer build any report (for instance on the forced unwind
    # that ends the writer at exit) lands on stderr and fails the run.
    for seed, mode, rc, stderr, _ in results:
        assert rc == 0, (seed, mode, stderr)
        for bad in BAD_STDERR:
            assert bad not in stderr, (seed, mode, stderr)
        assert stderr.strip() == "", (seed, mode, stderr)


def test_clean_exit_with_writer_stuck_few(own_server):
    check_exit_runs(exit_runs(own_server, runs=len(FROZEN_MODES), seed0=1000))
    check_exit_runs(exit_runs(own_server, runs=2, seed0=2000, frozen=False))


@pytest.mark.stress
def test_clean_exit_with_writer_stuck_many(own_server):
    seed0 = int(os.environ.get("STASHEL_EXIT_SEED", random.randrange(10**6)))
    results = exit_runs(own_server, runs=60, seed0=seed0)
    results += exit_runs(own_server, runs=20, seed0=seed0 + 60, frozen=False)
    check_exit_runs(results)
    took = sorted(r[4] for r in results)
    print(
        f"\nexit with stuck or busy writer: {len(results)} runs from seed {seed0}, "
        f"{took[0]:.2f}-{took[-1]:.2f} s each, median {took[len(took) // 2]:.2f} s"
    )


def test_connections_dropped_by_server_are_replaced(own_server, own_stashel, logs):
    direct = own_stashel(thread=False)
    threaded = own_stashel()
    admin = own_server.admin()

    def drop():
        killed = admin.client_kill_filter(_type="normal", skipme=True)
        assert killed >= 1
        return killed

    direct.write_data("k", "v")
    steps = [
        lambda: direct.write_data("k", "v") is True,
        lambda: direct.read_data("k") == b"v",
        lambda: direct.write_kelm_data({"a": 1}, "f") is True,
        lambda: direct.read_kelm_data("f") == {"a": 1},
        lambda: direct.scan_keys("f") == ["f"],
        lambda: direct.delete_data("f") is True,
        lambda: direct.delete_many(["k", "f"]) == 1,
    ]
    for step in steps:
        drop()
        assert step()

    for i in range(5):
        threaded.write_kelm_data(frame_for("t", i), "t")
        assert drained(threaded)
        drop()
    threaded.write_kelm_data(frame_for("t", 5), "t")
    assert drained(threaded)
    assert direct.read_kelm_data("t") == frame_for("t", 5)
    assert logs() == []


def test_pool_exhaustion_reaches_callers_as_redis_py_raises_it(own_server, own_stashel, logs):
    direct = own_stashel(thread=False)
    threaded = own_stashel()
    for instance in (direct, threaded):
        pool = instance._redis_client.connection_pool
        assert pool.max_connections == 10 and type(pool) is redis.ConnectionPool

    pool = direct._redis_client.connection_pool
    held = [pool.get_connection() for _ in range(10)]
    with pytest.raises(redis.ConnectionError) as plain:
        redis.StrictRedis(connection_pool=pool).get("k")
    assert str(plain.value) == "Too many connections"
    for call in (
        lambda: direct.write_data("k", "v"),
        lambda: direct.read_data("k"),
        lambda: direct.delete_data("k"),
        lambda: direct.delete_many(["k"]),
        lambda: direct.scan_keys("*"),
    ):
        with pytest.raises(type(plain.value), match=r"^Too many connections$"):
            call()
    assert direct.read_kelm_data("k") is None
    assert direct.write_kelm_data({"a": 1}, "k") is False
    assert logs() == [
        ("WARNING", "Failed to get redis frame from k - Too many connections"),
        ("ERROR", "Failed to write data to redis`k` - Too many connections"),
    ]
    for c in held:
        pool.release(c)
    assert direct.write_data("k", "v") is True and direct.read_data("k") == b"v"
    assert len(pool._in_use_connections) == 0

    # The writer meets the same error, logs it and goes on.
    tpool = threaded._redis_client.connection_pool
    held = [tpool.get_connection() for _ in range(10)]
    assert threaded.write_kelm_data({"a": 1}, "t") is True
    assert drained(threaded)
    assert logs()[-1] == ("ERROR", "Failed to write data to redis`t` - Too many connections")
    for c in held:
        tpool.release(c)
    threaded.write_kelm_data({"a": 2}, "t")
    assert drained(threaded) and direct.read_kelm_data("t") == {"a": 2}
    assert threaded._worker.is_alive()


def _concurrent_failures(call, admin, threads=16):
    barrier = threading.Barrier(threads)
    outcomes = []

    def run():
        barrier.wait()
        try:
            call()
            outcomes.append("ok")
        except redis.ConnectionError as exc:
            outcomes.append(str(exc))

    admin.execute_command("CLIENT", "PAUSE", "1000", "ALL")
    workers = [threading.Thread(target=run) for _ in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(timeout=10)
    return Counter(outcomes)


def test_pool_exhaustion_under_concurrency_matches_plain_redis_py(own_server, own_stashel):
    """16 concurrent commands against a 10-connection pool while the server
    holds every reply: the module fails exactly the calls that redis-py
    itself fails, with the same error, and the pool recovers."""
    admin = own_server.admin()
    direct = own_stashel(thread=False)
    through_module = _concurrent_failures(lambda: direct.read_data("k"), admin)
    plain = redis.StrictRedis(
        connection_pool=redis.ConnectionPool(
            host=own_server.host, port=own_server.port, max_connections=10, decode_responses=False
        )
    )
    through_redis_py = _concurrent_failures(lambda: plain.get("k"), admin)
    assert through_module == through_redis_py == Counter({"ok": 10, "Too many connections": 6})
    assert direct.write_data("k", "v") is True
    assert len(direct._redis_client.connection_pool._in_use_connections) == 0


def test_blocking_pool_swapped_in_waits_instead_of_failing(own_server, own_stashel):
    """Callers who prefer waiting for a connection can give the instance a
    client on redis-py's BlockingConnectionPool."""
    direct = own_stashel(thread=False)
    pool = redis.BlockingConnectionPool(host=own_server.host, port=own_server.port, max_connections=2, timeout=5)
    direct._redis_client = redis.StrictRedis(connection_pool=pool)
    held = [pool.get_connection() for _ in range(2)]
    threading.Timer(0.2, pool.release, args=(held[0],)).start()
    t0 = time.monotonic()
    assert direct.write_data("k", "v") is True
    assert time.monotonic() - t0 >= 0.15
    pool.release(held[1])
