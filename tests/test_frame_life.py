"""A frame reported queued is stored: many keys on one instance, child
processes, forks at any moment, and deletes that neither hang nor get
overtaken. Process faults run in child interpreters with a timeout."""

import queue
import sys
import textwrap
import threading
import time

import orjson
import pytest

from stashel_testing import DelayedSet, run_child, wait_until


def test_every_key_keeps_its_newest_frame(make_stashel, redisdb):
    instance = make_stashel()  # a queue of 2 for 10 keys
    for tick in range(30):
        for k in range(10):
            assert instance.write_kelm_data({"tick": tick}, f"key{k}") is True
        time.sleep(0.02)
    assert wait_until(lambda: [redisdb.get(f"key{k}") for k in range(10)] == [b'{"tick":29}'] * 10)


CHILD_MODULE = """
    import os, time
    from kelm_sdk.redis.stashel import Stashel
    from stashel_testing import DelayedSet

    store = Stashel(host=os.environ["TEST_REDIS_HOST"], port=int(os.environ["TEST_REDIS_PORT"]))
    store._redis_client = DelayedSet(store._redis_client, 0.05)  # a slow link

    def work(n):
        for seq in range(3):
            store.write_kelm_data({"seq": seq}, f"child-{n}")
        return n
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_frames_queued_in_multiprocessing_children_are_stored(method, server, redisdb, tmp_path, monkeypatch):
    (tmp_path / "child_module.py").write_text(textwrap.dedent(CHILD_MODULE))
    monkeypatch.setenv("TEST_REDIS_HOST", server[0])
    monkeypatch.setenv("TEST_REDIS_PORT", str(server[1]))
    run_child(
        f"""
        import multiprocessing
        import child_module  # fork children inherit its instance; the others make their own

        if __name__ == "__main__":
            context = multiprocessing.get_context({method!r})
            processes = [context.Process(target=child_module.work, args=(n,)) for n in range(3)]
            for p in processes:
                p.start()
            for p in processes:
                p.join(20)
                assert p.exitcode == 0
            pool = context.Pool(2)
            assert pool.map(child_module.work, range(10, 14)) == [10, 11, 12, 13]
            pool.close()
            pool.join()
        """,
        timeout=60,
        path=[tmp_path],
    )
    keys = [f"child-{n}" for n in (0, 1, 2, 10, 11, 12, 13)]
    assert [redisdb.get(key) for key in keys] == [b'{"seq":2}'] * len(keys)


def test_the_writer_imports_nothing_so_a_fork_after_the_first_write_works(server):
    run_child(f"""
        import os, sys, threading, time
        imports = []
        sys.addaudithook(lambda event, args: event == "import" and imports.append(
            (threading.current_thread().name, args[0])))
        import redis
        from kelm_sdk.redis.stashel import Stashel

        s = Stashel(host={server[0]!r}, port={server[1]})
        s.write_kelm_data({{"first": 1}}, "imports")
        time.sleep(0.001)
        pid = os.fork()  # the writer is making its first connection
        if pid == 0:
            s.write_kelm_data({{"child": 1}}, "forked")
            s._queue.join()
            os._exit(0 if redis.Redis(host={server[0]!r}, port={server[1]}).get("forked") == b'{{"child":1}}' else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        s._queue.join()
        assert [name for thread, name in imports if thread == "StashelWorker"] == []
    """)


def test_a_delete_waits_at_most_half_a_second_and_the_write_it_overlapped_is_deleted_again(make_stashel, redisdb):
    instance = make_stashel()
    instance._redis_client = DelayedSet(instance._redis_client, 1.5)
    instance.write_kelm_data({"old": 1}, "k")
    assert wait_until(lambda: instance._queue.qsize() == 0)  # the writer holds it
    start = time.monotonic()
    instance.write_kelm_data(None, "k")
    assert time.monotonic() - start < 1.2  # the whole SET took 1.5 s
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    assert redisdb.exists("k") == 0


def test_deletes_from_signal_handlers_and_finalizers_never_hang(server):
    child = run_child(f"""
        import os, signal, threading, time
        from kelm_sdk.redis.stashel import Stashel
        from stashel_testing import DelayedSet

        s = Stashel(host={server[0]!r}, port={server[1]})
        # A handler that deletes, interrupting this thread's own frame writes.
        inside = []

        def delete(*_):
            if not inside:  # a handler slower than the timer is not entered again
                inside.append(1)
                s.write_kelm_data(None, "k")
                inside.clear()

        signal.signal(signal.SIGALRM, delete)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        end = time.monotonic() + 1
        while time.monotonic() < end:
            s.write_kelm_data({{"v": 1}}, "k")
        signal.setitimer(signal.ITIMER_REAL, 0)

        # Ctrl-C while a delete waits for the writer reaches the caller at once.
        s._redis_client = DelayedSet(s._redis_client, 2)
        s.write_kelm_data({{"v": 2}}, "k")
        time.sleep(0.1)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            s.write_kelm_data(None, "k")
            raise AssertionError("not interrupted")
        except KeyboardInterrupt:
            assert time.monotonic() - start < 0.4

        # A finalizer that deletes at exit (the last garbage collection finds
        # the cycle), while the writer is in the middle of a write.
        class DeletesAtExit:
            def __del__(self):
                self.s.write_kelm_data(None, "k")
                os.write(1, b"deleted at exit")

        s.write_kelm_data({{"v": 3}}, "k")
        cycle = DeletesAtExit()
        cycle.s, cycle.cycle = s, cycle
        del cycle
        time.sleep(0.1)
    """)
    assert child.stdout == "deleted at exit"


def test_two_writer_loops_on_one_instance_do_not_deadlock(make_stashel, redisdb, server):
    instance = make_stashel()
    instance.__init__(host=server[0], port=server[1])  # a second writer; the first one keeps running
    errors = []

    def produce(n):
        try:
            for i in range(300):
                instance.write_kelm_data({"i": i}, f"p{n}:{i % 3}")
                if i % 50 == 0:
                    instance.write_kelm_data(None, f"p{n}:0")
        except Exception as exc:  # noqa: BLE001 - any escape is the finding
            errors.append(exc)

    threads = [threading.Thread(target=produce, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert not any(t.is_alive() for t in threads) and errors == []
    assert wait_until(lambda: redisdb.get("p0:2") == b'{"i":299}')


def test_a_shutdown_reached_from_the_writer_leaves_direct_mode(make_stashel, redisdb):
    instance = make_stashel()

    class StopsTheStore(DelayedSet):
        def set(self, *args, **kwargs):
            instance._shutdown_executor()
            return super().set(*args, **kwargs)

    instance._redis_client = StopsTheStore(instance._redis_client, 0)
    instance.write_kelm_data({"a": 1}, "k")
    assert wait_until(lambda: redisdb.get("k") == b'{"a":1}')
    assert instance._use_thread is False and instance._queue is None
    instance._redis_client = instance._redis_client.client
    assert instance.write_kelm_data({"a": 2}, "k") is True and redisdb.get("k") == b'{"a":2}'


def test_a_child_forked_during_a_shutdown_carries_on_in_direct_mode(server):
    run_child(f"""
        import os, threading, time
        import redis
        from kelm_sdk.redis.stashel import Stashel
        from stashel_testing import DelayedSet

        s = Stashel(host={server[0]!r}, port={server[1]})
        s._redis_client = DelayedSet(s._redis_client, 1.0)
        s.write_kelm_data({{"busy": 1}}, "busy")
        time.sleep(0.1)
        threading.Thread(target=s._shutdown_executor).start()  # waits for the busy writer
        time.sleep(0.1)
        pid = os.fork()
        if pid == 0:
            s._redis_client = s._redis_client.client
            stored = s.write_kelm_data({{"child": 1}}, "child") is True
            os._exit(0 if stored and s._queue is None and s._use_thread is False else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert redis.Redis(host={server[0]!r}, port={server[1]}).get("child") == b'{{"child":1}}'
    """)


def test_a_producer_that_never_releases_the_gil_still_lets_the_writer_store(make_stashel):
    instance = make_stashel()
    sets, go = [], threading.Event()

    class Counting(DelayedSet):
        def set(self, *args, **kwargs):
            sets.append(1)
            go.wait(10)
            return self.client.set(*args, **kwargs)

    instance._redis_client = Counting(instance._redis_client, 0)
    # The writer holds its first frame when the loop starts (an idle writer
    # is given nothing: it would wait for a forced switch to take its first).
    instance.write_kelm_data({"i": -1}, "busy")
    assert wait_until(lambda: sets, interval=0.001)
    # No forced switch comes during the loop: a writer that waits for one
    # stores nothing more until it ends; one handed the GIL stores frames
    # (hundreds on a quiet machine, fewer when the machine lends it less CPU).
    previous = sys.getswitchinterval()
    sys.setswitchinterval(30)
    go.set()
    try:
        for i in range(3000):
            for _ in range(2000):  # pure Python work: the GIL is never released here
                pass
            instance.write_kelm_data({"i": i}, "busy")
        stored_meanwhile = len(sets)
    finally:
        sys.setswitchinterval(previous)
    assert stored_meanwhile >= 3  # the first frame and at least two more


def test_racing_producers_and_deletes_lose_nothing_and_reorder_nothing(make_stashel, redisdb):
    # Real threads switching every 10 us: a decision and its action must not
    # be split by another thread (a drop, a take, a delete of another key).
    instance = make_stashel()
    stored = []

    class Recording(DelayedSet):
        def set(self, key, value, **kwargs):
            stored.append((key, orjson.loads(value)["seq"]))
            return self.client.set(key, value, **kwargs)

    instance._redis_client = Recording(instance._redis_client, 0)
    newest, errors = {}, []

    def guarded(body, *args):
        def run():
            try:
                body(*args)
            except Exception as exc:  # noqa: BLE001 - any escape is the finding
                errors.append(exc)

        return threading.Thread(target=run)

    def produce(keys, frames):
        for seq in range(frames):
            key = keys[seq % len(keys)]
            assert instance.write_kelm_data({"seq": seq}, key) is True
            newest[key] = seq

    def write_then_delete(count):
        for i in range(count):
            instance.write_kelm_data({"seq": 0}, f"gone{i}")
            instance.write_kelm_data(None, f"gone{i}")

    def delete_others(count):
        for i in range(count):
            instance.write_kelm_data(None, f"other{i % 5}")

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [
            guarded(produce, ["solo"], 5000),
            guarded(produce, [f"many{k}" for k in range(10)], 3000),
            guarded(write_then_delete, 3000),
            *(guarded(delete_others, 3000) for _ in range(3)),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    finally:
        sys.setswitchinterval(previous)
    assert errors == [] and wait_until(lambda: instance._queue.unfinished_tasks == 0)
    assert redisdb.keys("gone*") == []  # no frame landed after its key's delete
    assert {key: orjson.loads(redisdb.get(key))["seq"] for key in newest} == newest
    for key in newest:
        seqs = [seq for k, seq in stored if k == key]
        assert seqs == sorted(seqs), key


def test_a_fork_on_the_writers_own_thread_leaves_a_working_child(server):
    # A client (or a logging handler) the writer calls may fork: the child
    # carries on in the parent's writer loop, beside a writer of its own.
    run_child(f"""
        import os, threading, time
        import redis
        from kelm_sdk.redis.stashel import Stashel
        from stashel_testing import DelayedSet

        s = Stashel(host={server[0]!r}, port={server[1]})
        check = redis.Redis(host={server[0]!r}, port={server[1]})
        forked = []

        def child():
            s.write_kelm_data({{"child": 1}}, "child")
            deadline = time.monotonic() + 5
            while check.get("child") != b'{{"child":1}}' and time.monotonic() < deadline:
                time.sleep(0.01)
            os._exit(0 if check.get("child") == b'{{"child":1}}' and check.get("first") else 1)

        class ForksOnce(DelayedSet):
            def set(self, *args, **kwargs):
                if not forked:
                    forked.append(os.fork())
                    if forked[0] == 0:
                        threading.Thread(target=child).start()
                return super().set(*args, **kwargs)

        s._redis_client = ForksOnce(s._redis_client, 0)
        s.write_kelm_data({{"first": 1}}, "first")
        deadline = time.monotonic() + 5
        while not forked and time.monotonic() < deadline:
            time.sleep(0.01)
        assert os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]) == 0
    """)


def test_a_finalizer_that_deletes_stalls_neither_the_writer_nor_other_producers(make_stashel, redisdb):
    instance = make_stashel()
    instance._redis_client = DelayedSet(instance._redis_client, 0.3)
    waited, longest, done = [], [0.0], threading.Event()

    def produce():
        while not done.is_set():
            start = time.monotonic()
            instance.write_kelm_data({"seq": 1}, f"other{int(start * 1000) % 7}")
            longest[0] = max(longest[0], time.monotonic() - start)
            time.sleep(0.001)

    other = threading.Thread(target=produce)

    class DeletesBusy:
        def __del__(self):  # while the frame that supersedes it is being queued
            other.start()
            start = time.monotonic()
            instance.write_kelm_data(None, "busy")
            waited.append(time.monotonic() - start)

    instance.write_kelm_data({"seq": 0}, "busy")
    assert wait_until(lambda: instance._queue.qsize() == 0)  # the writer holds it
    instance.write_kelm_data({"seq": 1, "finalizer": DeletesBusy()}, "a")
    instance.write_kelm_data({"seq": 1}, "b")
    instance.write_kelm_data({"seq": 2}, "a")  # supersedes a's first frame: its finalizer deletes "busy"
    done.set()
    other.join(5)
    # The delete waited for the write of "busy" only (its limit is 0.5 s),
    # and the other producer never waited for it.
    assert len(waited) == 1 and waited[0] < 0.45 and longest[0] < 0.1
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0) and redisdb.exists("busy") == 0


class ListQueue(queue.Queue):
    """A queue.Queue that keeps its frames in storage of its own."""

    def _init(self, maxsize):
        self.items = []

    def _qsize(self):
        return len(self.items)

    def _put(self, item):
        self.items.append(item)

    def _get(self):
        return self.items.pop(0)


def test_a_queue_with_storage_of_its_own_is_written_and_withdrawn(make_stashel, redisdb):
    instance = make_stashel()
    instance._redis_client = DelayedSet(instance._redis_client, 0.1)
    instance._queue = ListQueue(2)
    for seq in range(3):
        assert instance.write_kelm_data({"seq": seq}, "k") is True
    instance.write_kelm_data(None, "k")  # True when a frame was stored before the delete
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0) and redisdb.exists("k") == 0
    assert instance.write_kelm_data({"seq": 3}, "k") is True
    assert wait_until(lambda: redisdb.get("k") == b'{"seq":3}')


def test_past_the_cap_of_parked_keys_a_producer_waits_then_writes_itself(make_stashel, redisdb):
    instance = make_stashel()
    gate = threading.Event()

    class GatedWriter(DelayedSet):
        def set(self, *args, **kwargs):
            if threading.current_thread().name == "StashelWorker":
                gate.wait(10)
            return self.client.set(*args, **kwargs)

    instance._redis_client = GatedWriter(instance._redis_client, 0)
    instance.write_kelm_data({"seq": 0}, "held")
    assert wait_until(lambda: instance._queue.qsize() == 0)  # the writer holds it
    start = time.monotonic()
    for k in range(10_002):  # 2 queued, 10,000 parked, none waiting
        assert instance.write_kelm_data({"seq": 0}, f"key{k}") is True
        assert time.monotonic() - start < 2, k
    assert redisdb.exists("key0") == 0
    start = time.monotonic()
    assert instance.write_kelm_data({"seq": 0}, "one-too-many") is True
    assert 0.45 < time.monotonic() - start < 2 and redisdb.get("one-too-many") == b'{"seq":0}'
    assert instance._queue.unfinished_tasks == 10_003  # memory bounded by the cap
    gate.set()
