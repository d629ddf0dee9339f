"""Many producers, readers and deletes on one instance against a real
server; shutdown in the middle of it; many instances in one process."""

import gc
import random
import threading
import time
import weakref

import orjson
import pytest
import redis

from conftest import Listener, wait_until
from kelm_sdk.redis.metrics import writer_stats
from kelm_sdk.redis.stashel import Stashel

from .conftest import counted, drained, frame_for, writer_threads


@pytest.fixture
def thread_errors():
    """Errors that escape any thread, the background writers included."""
    caught = []
    previous = threading.excepthook
    threading.excepthook = lambda args: caught.append((args.thread.name if args.thread else None, args.exc_value))
    yield caught
    threading.excepthook = previous


def check_frame(key, value):
    """A stored or read value must be one of the frames written to that key."""
    if value is None:
        return
    if isinstance(value, bytes):
        value = orjson.loads(value)
    assert value == frame_for(key, value["i"], pad=len(value.get("pad", ""))), (key, value)


def load_run(instance, admin, producers, frames, keys_per_producer=4, seconds=120.0):
    proxy = counted(instance, keep_values=True)
    keys = [[f"load:{p}:{k}" for k in range(keys_per_producer)] for p in range(producers)]
    all_keys = [k for ks in keys for k in ks]
    listener = Listener(admin, *(k + "_notify" for k in all_keys))
    done = threading.Event()
    deadline = time.monotonic() + seconds
    errors, reads, deletes = [], [0], [0]
    # More threads than pool connections: calls that find the pool empty get
    # redis-py's MaxConnectionsError (or its documented stand-in: False with
    # an error line, None with a warning line). Counted, not hidden.
    exhausted = {"write_kelm_data": 0, "read": 0, "delete": 0}

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as exc:  # noqa: BLE001 - any escape is the finding
                errors.append(exc)

        return threading.Thread(target=run, daemon=True)

    def produce(p):
        mine = keys[p]
        for i in range(frames):
            key = mine[i % len(mine)]
            if instance.write_kelm_data(frame_for(key, i, pad=i % 97), key) is not True:
                exhausted["write_kelm_data"] += 1
            if time.monotonic() > deadline:
                return

    def read(seed):
        rnd = random.Random(seed)
        while not done.is_set():
            key = rnd.choice(all_keys)
            try:
                check_frame(key, instance.read_kelm_data(key))
                check_frame(key, instance.read_data(key))
                for found in instance.scan_keys("load:*") if rnd.random() < 0.05 else ():
                    assert found in all_keys
            except redis.exceptions.MaxConnectionsError:
                exhausted["read"] += 1
            reads[0] += 1

    def delete(seed):
        rnd = random.Random(seed)
        while not done.is_set():
            choice = rnd.random()
            try:
                key = rnd.choice(all_keys)
                if choice < 0.4:
                    instance.delete_data(key)
                elif choice < 0.7:
                    assert 0 <= instance.delete_many(rnd.sample(all_keys, 5)) <= 5
                else:
                    instance.write_kelm_data(None, key)

            except redis.exceptions.MaxConnectionsError:
                exhausted["delete"] += 1
            deletes[0] += 1
            time.sleep(0.001)

    producer_threads = [guarded(lambda p=p: produce(p)) for p in range(producers)]
    others = [guarded(lambda s=s: read(s)) for s in range(2)] + [guarded(lambda: delete(7))]
    t0 = time.monotonic()
    try:
        for t in producer_threads + others:
            t.start()
        for t in producer_threads:
            t.join(timeout=seconds + 30)
        produced_in = time.monotonic() - t0
        assert not any(t.is_alive() for t in producer_threads), "producers deadlocked"
        assert drained(instance, timeout=30), "writer did not drain"
        done.set()
        for t in others:
            t.join(timeout=30)
        assert not any(t.is_alive() for t in others), "readers or deletes deadlocked"
        messages = listener.wait_for(proxy.set_ok, timeout=30)
    finally:
        done.set()
        listener.close()

    assert errors == []
    assert instance._worker.is_alive()
    assert instance._queue.unfinished_tasks == 0
    # Every accepted frame was stored, or replaced by a newer frame of its own
    # key, or taken back by a delete of its key: none dropped for another key's.
    stats = writer_stats(instance)
    settled = stats["stored"] + stats["superseded"] + stats["withdrawn"] + stats["failed"]
    assert stats["accepted"] == settled and stats["pending"] == stats["refused"] == stats["discarded"] == 0, stats
    assert {e for _, e in proxy.set_errors} <= {"Too many connections"}
    assert len(proxy.set_errors) >= exhausted["write_kelm_data"]
    assert proxy.publish_errors == []
    assert proxy.set_ok == proxy.publish_ok
    assert len(messages) == proxy.set_ok
    assert {m for m, _ in messages} <= {(k + "_notify").encode() for k in all_keys}
    # A delete withdraws its key's pending frames, so a run whose writer
    # was starved may store nothing at all: every message there was is "1".
    assert all(d == b"1" for _, d in messages)
    for _, key, value in proxy.stored:
        check_frame(key, value)
    for key in all_keys:
        check_frame(key, admin.get(key))
    total = producers * frames
    by_writer = sum(1 for name, _, _ in proxy.stored if name == "StashelWorker")
    assert by_writer == stats["stored"]
    return {
        "frames": total,
        "produced_in": produced_in,
        "stored": proxy.set_ok,
        "stored_by_writer": by_writer,
        "stored_on_caller_fallback": proxy.set_ok - by_writer,
        "superseded": stats["superseded"],
        "withdrawn": stats["withdrawn"],
        "reads": reads[0],
        "deletes": deletes[0],
        "keys": all_keys,
        "exhausted": dict(exhausted, writer_or_fallback_set=len(proxy.set_errors)),
    }


def stale_after_bursts(instance, admin, keys, rounds):
    """Each round every key gets one last frame at once, from its own
    producer thread; counts keys whose last frame was not what got stored."""
    stale = 0
    for r in range(rounds):
        barrier = threading.Barrier(len(keys))

        def last(key, r=r):
            barrier.wait()
            instance.write_kelm_data(frame_for(key, 10**6 + r), key)

        threads = [threading.Thread(target=last, args=(k,)) for k in keys]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=10)
        assert drained(instance)
        stale += sum(1 for k in keys if orjson.loads(admin.get(k) or b"{}").get("i") != 10**6 + r)
    return stale


def report(figures, stale, rounds):
    keys = len(figures["keys"])
    print(
        f"\nload: {figures['frames']} frames queued in {figures['produced_in']:.1f} s; "
        f"stored {figures['stored']} ({figures['stored_by_writer']} by the writer, "
        f"{figures['stored_on_caller_fallback']} on the caller fallback); "
        f"superseded by a newer frame of their key {figures['superseded']}, withdrawn by a delete "
        f"{figures['withdrawn']}, none dropped for another key's; "
        f"{figures['reads']} read rounds and {figures['deletes']} deletes alongside; "
        f"stale after simultaneous last frames: {stale} of {keys * rounds} keys ({stale / (keys * rounds):.0%}); "
        f"calls that found the pool exhausted: {figures['exhausted']}"
    )


def only_exhaustion_lines(lines):
    """Under load the only log lines allowed are those of calls that found
    every pool connection busy."""
    for level, message in lines:
        assert message.endswith(" - Too many connections"), (level, message)
        assert message.startswith(("Failed to write data to redis`", "Failed to get redis frame from "))


def test_load_small(own_server, own_stashel, thread_errors, logs):
    instance = own_stashel()
    admin = own_server.admin()
    figures = load_run(instance, admin, producers=4, frames=1500)
    stale = stale_after_bursts(instance, admin, figures["keys"], rounds=3)
    report(figures, stale, 3)
    assert stale == 0  # each key's last frame, written at once with every other key's, is stored
    assert thread_errors == []
    only_exhaustion_lines(logs())


@pytest.mark.stress
def test_load_8_producers_20000_frames(own_server, own_stashel, thread_errors, logs):
    instance = own_stashel()
    admin = own_server.admin()
    figures = load_run(instance, admin, producers=8, frames=20_000, seconds=300)
    stale = stale_after_bursts(instance, admin, figures["keys"], rounds=20)
    report(figures, stale, 20)
    assert stale == 0
    assert thread_errors == []
    only_exhaustion_lines(logs())


def test_one_producer_per_instance_keeps_the_last_frame(own_server, own_stashel):
    admin = own_server.admin()
    instances = [own_stashel() for _ in range(4)]
    proxies = [counted(s) for s in instances]

    def produce(n):
        for i in range(3000):
            instances[n].write_kelm_data(frame_for(f"own:{n}", i), f"own:{n}")

    threads = [threading.Thread(target=produce, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    for n, s in enumerate(instances):
        assert drained(s)
        assert orjson.loads(admin.get(f"own:{n}")) == frame_for(f"own:{n}", 2999)
        assert proxies[n].set_ok <= 3000


def shutdown_mid_run(make, admin, producers=4, before=0.05, after=0.05):
    instance = make()
    errors, results = [], []
    stop = threading.Event()

    def produce(p):
        key = f"mid:{p}"
        i = 0
        try:
            while not stop.is_set():
                results.append(instance.write_kelm_data(frame_for(key, i), key))
                i += 1
                if i % 20 == 0:
                    time.sleep(0.0005)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    for t in threads:
        t.start()
    time.sleep(before)
    closer = threading.Thread(target=instance._shutdown_executor)
    closer.start()
    closer.join(timeout=5)
    time.sleep(after)
    stop.set()
    for t in threads:
        t.join(timeout=10)
    instance._worker.join(timeout=5)
    assert errors == []
    assert not closer.is_alive() and not instance._worker.is_alive()
    assert instance._queue is None and instance._use_thread is False
    assert results and all(r is True for r in results)
    # Direct writes after the shutdown.
    assert instance.write_kelm_data(frame_for("mid:0", -1), "mid:0") is True
    assert orjson.loads(admin.get("mid:0")) == frame_for("mid:0", -1)
    assert instance.write_data("mid:plain", "v") is True and admin.get("mid:plain") == b"v"
    return len(results)


def test_shutdown_from_another_thread_mid_run(own_server, own_stashel, thread_errors):
    admin = own_server.admin()
    rnd = random.Random(5)
    for _ in range(8):
        shutdown_mid_run(own_stashel, admin, before=rnd.uniform(0, 0.05), after=rnd.uniform(0, 0.05))
    assert thread_errors == []


@pytest.mark.stress
def test_shutdown_from_another_thread_mid_run_many(own_server, own_stashel, thread_errors):
    admin = own_server.admin()
    rnd = random.Random()
    writes = [
        shutdown_mid_run(
            own_stashel, admin, producers=rnd.randint(1, 8), before=rnd.uniform(0, 0.1), after=rnd.uniform(0, 0.1)
        )
        for _ in range(200)
    ]
    print(f"\nshutdown mid-run: 200 rounds, {sum(writes)} frame writes, no caller error")
    assert thread_errors == []


def connected_clients(admin):
    return admin.info("clients")["connected_clients"]


def many_instances(server, count):
    admin = server.admin()
    baseline = connected_clients(admin)
    workers_before = set(writer_threads())
    instances = [Stashel(host=server.host, port=server.port) for _ in range(count)]
    assert len(set(writer_threads()) - workers_before) == count
    for n, s in enumerate(instances):
        s.write_kelm_data({"n": n}, f"many:{n}")
    assert all(drained(s) for s in instances)
    t0 = time.monotonic()
    closers = [threading.Thread(target=s._shutdown_executor) for s in instances]
    for t in closers:
        t.start()
    for t in closers:
        t.join(timeout=30)
    took = time.monotonic() - t0
    assert not any(s._worker.is_alive() for s in instances)
    assert set(writer_threads()) <= workers_before

    # Until their callers let go, each holds its client and pool (with the
    # connection it opened), the ended thread and the set event.
    held = connected_clients(admin) - baseline
    assert held == count
    for s in instances:
        assert s._queue is None and s._executor is None and s._use_thread is False
        assert s._stop_evt.is_set() and s._redis_client.connection_pool is not None
    refs = [weakref.ref(s) for s in instances]
    # Nothing else keeps a shut-down instance (its exit hook is gone), and the
    # connections close with their pools.
    del instances, s, closers, t
    gc.collect()
    assert sum(r() is not None for r in refs) == 0
    assert wait_until(lambda: connected_clients(admin) == baseline)
    return took, held


def test_many_instances_created_and_shut_down(own_server):
    took, held = many_instances(own_server, 200)
    print(f"\n200 instances: shut down in parallel in {took:.2f} s; {held} connections held until dropped")
