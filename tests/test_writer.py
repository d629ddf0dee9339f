"""The background writer and the shutdown routine, including clean interpreter
exits whatever the writer is doing."""

import socket
import textwrap
import threading
import time

import pytest

from kelm_sdk.redis.stashel import Stashel
from stashel_testing import DelayedSet, FakeClient, run_child, wait_until


class SlowClient(FakeClient):
    """A SET that takes `delay` seconds, like a stalled server."""

    def __init__(self, delay):
        super().__init__()
        self.delay = delay
        self.started = threading.Event()

    def set(self, *args, **kwargs):
        self.started.set()
        time.sleep(self.delay)
        return super().set(*args, **kwargs)


def test_queued_frame_is_written_announced_and_marked_done(threaded, redisdb, listen):
    listener = listen("cam_notify")
    assert threaded.write_kelm_data({"seq": 1}, "cam", 60) is True
    assert listener.wait_for(1) == [(b"cam_notify", b"1")]
    assert redisdb.get("cam") == b'{"seq":1}' and 0 < redisdb.ttl("cam") <= 60
    assert threaded.read_kelm_data("cam") == {"seq": 1}
    assert wait_until(lambda: threaded._queue.unfinished_tasks == 0)


def test_writer_survives_failed_writes(make_stashel, logs):
    instance = make_stashel()
    client = instance._redis_client = FakeClient()
    client.raises["set"] = ConnectionError("server unreachable")
    for i in range(3):
        instance.write_kelm_data({"i": i}, f"k{i}")
        assert wait_until(lambda: len(logs()) == i + 1)
    assert logs() == [("ERROR", f"Failed to write data to redis`k{i}` - server unreachable") for i in range(3)]
    del client.raises["set"]
    instance.write_kelm_data({"i": 3}, "k3")
    assert wait_until(lambda: client.names()[-2:] == ["set", "publish"])
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    assert instance._worker.is_alive()


def test_frame_the_encoder_refuses_does_not_end_the_writer(threaded, redisdb, logs):
    assert threaded.write_kelm_data({1: "non-text key"}, "bad") is True  # accepted: encoded later
    assert wait_until(lambda: logs() != [])
    [(level, message)] = logs()
    assert level == "ERROR" and message.startswith("Failed to write data to redis`bad` - ")
    threaded.write_kelm_data({"ok": True}, "good")
    assert wait_until(lambda: redisdb.get("good") == b'{"ok":true}')
    assert wait_until(lambda: threaded._queue.unfinished_tasks == 0)
    assert threaded._worker.is_alive()


def test_the_queued_dict_is_encoded_when_the_writer_reaches_it(make_stashel):
    instance = make_stashel()
    client = instance._redis_client = SlowClient(0.3)
    instance.write_kelm_data({"first": 1}, "a")
    assert client.started.wait(2)
    frame = {"v": 1}
    instance.write_kelm_data(frame, "b")
    frame["v"] = 2  # changed after the call returned, before the writer got to it
    assert wait_until(lambda: len(client.calls) >= 3)
    assert client.calls[2] == ("set", ("b", b'{"v":2}'), {"ex": None})


def test_shutdown_of_an_idle_writer(threaded):
    start = time.monotonic()
    assert threaded._shutdown_executor() is None
    assert time.monotonic() - start < 0.45
    assert not threaded._worker.is_alive()
    assert threaded._use_thread is False and threaded._queue is None and threaded._executor is None
    assert threaded._stop_evt.is_set()
    before = dict(vars(threaded))
    assert threaded._shutdown_executor() is None  # repeatable
    assert vars(threaded) == before


def test_shutdown_does_not_wait_for_a_slow_write_and_drops_pending_frames(make_stashel, logs):
    instance = make_stashel()
    client = instance._redis_client = SlowClient(1.5)
    instance.write_kelm_data({"n": 1}, "busy")
    assert client.started.wait(2)
    instance.write_kelm_data({"n": 2}, "pending")
    start = time.monotonic()
    instance._shutdown_executor()
    assert 0.45 <= time.monotonic() - start < 0.9
    worker = instance._worker
    worker.join(3)
    assert not worker.is_alive()
    # The write in progress completed; the pending frame was discarded silently.
    assert [args[0] for name, args, _ in client.calls if name == "set"] == ["busy"]
    assert logs() == []


def test_after_shutdown_frames_are_written_on_the_callers_thread(threaded, redisdb):
    threaded._shutdown_executor()
    assert threaded.write_kelm_data({"direct": 1}, "k") is True
    assert redisdb.get("k") == b'{"direct":1}'  # stored before the call returned
    threaded._redis_client = FakeClient(set=False)
    assert threaded.write_kelm_data({"direct": 2}, "k") is False


def test_shutdown_joins_a_worker_it_cannot_ask_for_its_thread(threaded):
    class Joinable:  # join, and nothing else a thread has
        def __init__(self):
            self.timeouts = []

        def join(self, timeout=None):
            self.timeouts.append(timeout)

    writer, threaded._worker = threaded._worker, Joinable()
    threaded._shutdown_executor()
    assert threaded._worker.timeouts == [0.5]
    assert threaded._use_thread is False and threaded._queue is None
    writer.join(1)
    assert not writer.is_alive()


def test_shutdown_in_direct_mode_and_on_broken_state(direct):
    assert direct._shutdown_executor() is None
    assert direct._stop_evt.is_set() and direct._use_thread is False
    broken = Stashel(thread=False, host="127.0.0.1", port=1)
    broken._stop_evt = None  # first step fails: the error is swallowed, later steps skipped
    assert broken._shutdown_executor() is None
    assert broken._use_thread is False and broken._stop_evt is None


def test_a_broken_queue_is_reported_without_a_busy_loop(make_stashel, logs):
    instance = make_stashel()
    instance._queue = "not a queue"
    time.sleep(0.7)
    lines = logs()
    assert 1 <= len(lines) <= 5
    assert lines[0][0] == "ERROR" and lines[0][1].startswith("Background writer failed to take a frame - ")
    instance._stop_evt.set()
    instance._worker.join(1)
    assert not instance._worker.is_alive()


# ---------------------------------------------------------------- interpreter exit


def test_exit_with_an_idle_writer():
    for _ in range(3):
        run_child("""
            from kelm_sdk.redis.stashel import Stashel
            instances = [Stashel(host="127.0.0.1", port=1) for _ in range(3)]
        """)


@pytest.mark.parametrize("round", range(6))
def test_exit_while_the_writer_is_busy(round, server):
    # The writer is taking frames and re-acquiring the GIL as fast as it can
    # when the interpreter ends it.
    run_child(f"""
        import threading, time
        from kelm_sdk.redis.stashel import Stashel
        s = Stashel(host={server[0]!r}, port={server[1]})
        def produce():
            i = 0
            while True:
                s.write_kelm_data({{"i": i, "pad": "x" * 256}}, "exit-test-%d" % (i % 4))
                i += 1
        threading.Thread(target=produce, daemon=True).start()
        time.sleep({0.05 + 0.07 * round})
    """)


@pytest.mark.parametrize("delay", [0.2, 0.45, 0.55, 0.7])
def test_exit_while_a_write_is_stuck_on_the_server(delay):
    # A server that accepts and then says nothing: the write is stuck past the
    # shutdown's join, and its socket wakes up (closed) around finalization.
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    accepted = []

    def serve():
        listener.settimeout(10)
        try:
            while True:
                conn, _ = listener.accept()
                accepted.append(conn)
                threading.Timer(delay, conn.close).start()
        except OSError:
            pass

    server_thread = threading.Thread(target=serve, daemon=True)
    server_thread.start()
    try:
        run_child(f"""
            import time
            from kelm_sdk.redis.stashel import Stashel
            s = Stashel(host="127.0.0.1", port={port})
            s.write_kelm_data({{"stuck": True}}, "k")
            time.sleep(0.1)
        """)
    finally:
        listener.close()
        for conn in accepted:
            conn.close()


# Ways for the interpreter to finalize while the writer sleeps in a slow SET,
# so that the writer is ended on waking, after its thread state is gone.
LATE_WAKE_UPS = {
    "a subinterpreter has existed and a finalizer runs long": (
        """
        import slow_finalizer  # imported first: its object is finalized late
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interpreters.destroy(interpreters.create())
    """,
        None,
    ),
    "an exit function runs long after finalization": (
        """
        import ctypes
        ctypes.pythonapi.Py_AtExit(ctypes.cast(ctypes.CDLL(None).getchar, ctypes.c_void_p))  # waits for stdin
    """,
        1.5,
    ),
}


@pytest.mark.parametrize("round", range(3))
@pytest.mark.parametrize("wake_up", LATE_WAKE_UPS)
def test_exit_when_the_writer_wakes_after_finalization(wake_up, round, tmp_path):
    (tmp_path / "slow_finalizer.py").write_text(
        textwrap.dedent("""
        import time

        class SlowFinalizer:
            def __del__(self, sleep=time.sleep):
                sleep(0.6)

        keep = SlowFinalizer()
    """)
    )
    setup, stdin_after = LATE_WAKE_UPS[wake_up]
    run_child(
        textwrap.dedent(setup)
        + textwrap.dedent("""
        import time
        from kelm_sdk.redis.stashel import Stashel

        class SlowClient:
            def set(self, *args, **kwargs):
                time.sleep(0.8)
                return True

        s = Stashel(host="127.0.0.1", port=1)
        s._redis_client = SlowClient()
        s.write_kelm_data({"a": 1}, "k")
        time.sleep(0.05)
    """),
        path=[tmp_path],
        stdin_after=stdin_after,
    )


def test_only_the_stop_event_ends_the_writer(make_stashel, redisdb, logs, monkeypatch):
    from kelm_sdk.redis import stashel

    class NoText:
        def __str__(self):
            raise ValueError("no text")

        __repr__ = __str__

    class FailingLogger:
        def error(self, message):
            raise RuntimeError("log sink down")

        warning = error

    instance = make_stashel()
    instance._queue.put((None, NoText(), None))  # a caller's item that is no frame, with no text form
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    assert logs() == [
        (
            "ERROR",
            (
                "Failed to write data to redis`<NoText object>` - Argument 'data' has incorrect "
                "type (expected dict, got NoneType)"
            ),
        )
    ]

    real_client, real_logger = instance._redis_client, stashel.logger
    instance._redis_client = FakeClient()
    instance._redis_client.raises["set"] = ConnectionError("down")
    monkeypatch.setattr(stashel, "logger", FailingLogger())
    instance.write_kelm_data({"lost": 1}, "k")
    assert wait_until(lambda: instance._redis_client.names() == ["set"] and instance._queue.unfinished_tasks == 0)

    instance._redis_client = real_client
    monkeypatch.setattr(stashel, "logger", real_logger)
    assert instance.write_kelm_data({"stored": 1}, "k") is True
    assert wait_until(lambda: redisdb.get("k") == b'{"stored":1}')
    assert instance._worker.is_alive()


# ---------------------------------------------------------------- a frame's whole life


def test_writers_run_again_after_fork(server):
    # The parent's writer is kept busy, so the fork may catch its queue's lock held.
    run_child(f"""
        import multiprocessing, os, threading, time
        import redis
        from kelm_sdk.redis.stashel import Stashel

        s = Stashel(host={server[0]!r}, port={server[1]})
        closed = Stashel(host={server[0]!r}, port={server[1]})
        closed._shutdown_executor()
        check = redis.Redis(host={server[0]!r}, port={server[1]})

        def stored(key, frame):
            s.write_kelm_data(frame, key)
            deadline = time.monotonic() + 5
            while check.get(key) != str(frame).replace(" ", "").replace("'", '"').encode():
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.01)
            return True

        def child(round):
            os._exit(0 if stored("child", {{"round": round}}) and not closed._use_thread else 1)

        def produce():
            i = 0
            while not done.is_set():
                s.write_kelm_data({{"i": i}}, "busy")
                i += 1

        # A fork while another thread is still importing a module leaves its
        # import lock held in the child: the first frame makes redis-py's
        # lazy imports happen before any fork.
        assert stored("warm", {{"round": -1}})
        done = threading.Event()
        producer = threading.Thread(target=produce)
        producer.start()
        for round in range(5):
            pid = os.fork()
            if pid == 0:
                child(round)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, round
        process = multiprocessing.get_context("fork").Process(target=child, args=(5,))
        process.start()
        process.join(10)
        assert process.exitcode == 0
        done.set()
        producer.join()
        assert stored("parent", {{"round": 6}})
    """)


def test_the_newest_frames_are_stored_at_exit(server, redisdb):
    for round in range(5):
        run_child(f"""
            from kelm_sdk.redis.stashel import Stashel
            s = Stashel(host={server[0]!r}, port={server[1]})
            for seq in (1, 2, 3):
                s.write_kelm_data({{"seq": seq, "round": {round}}}, "latest")
        """)
        assert redisdb.get("latest") == b'{"seq":3,"round":%d}' % round


def test_idle_writers_stop_at_once(make_stashel):
    instances = []
    for _ in range(20):  # their 0.2 s waits for a frame run out at different moments
        instances.append(make_stashel())
        time.sleep(0.01)
    start = time.monotonic()
    for instance in reversed(instances):  # as the exit hooks run
        instance._shutdown_executor()
    assert time.monotonic() - start < 1.0  # waiting out each writer's wait took about 3.8 s
    assert not any(instance._worker.is_alive() for instance in instances)


def test_a_delete_is_not_overtaken_by_earlier_frames(make_stashel, redisdb):
    instance = make_stashel()
    instance._redis_client = DelayedSet(instance._redis_client, 0.01)
    for round in range(20):
        instance.write_kelm_data({"round": round}, "k")  # taken by the writer, or pending
        instance.write_kelm_data({"round": round, "second": True}, "k")  # pending
        instance.write_kelm_data(None, "k")
        time.sleep(0.03)
        assert redisdb.exists("k") == 0, round
    assert instance._queue.unfinished_tasks == 0
    instance.write_kelm_data({"after": True}, "k")
    assert wait_until(lambda: redisdb.get("k") == b'{"after":true}')


def test_a_ttl_the_server_refuses_is_not_queued(threaded, direct, logs):
    # The server keeps an expiry as milliseconds since the epoch in a signed 64-bit integer.
    longest = (2**63 - 1 - int(time.time() * 1000)) // 1000 - 60  # a minute's margin for the clocks
    for ttl in (0, -5, 10**16, 2**64):
        with pytest.raises(ValueError, match=f"got {ttl}$"):
            threaded.write_kelm_data({"a": 1}, "k", ttl)
    assert threaded._queue.unfinished_tasks == 0 and logs() == []
    assert direct.write_kelm_data({"a": 1}, "k", 10**16) is False  # the server's refusal, as before
    [(level, message)] = logs()
    assert level == "ERROR" and message.startswith("Failed to write data to redis`k` - ")
    assert threaded.write_kelm_data({"a": 1}, "k", longest) is True
    assert wait_until(lambda: direct.read_kelm_data("k") == {"a": 1})
