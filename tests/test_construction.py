"""Construction: the pool and client each instance owns, direct and threaded
mode, and that collaborators are looked up in the module namespace when used."""

import queue
import threading
import types

import pytest

from kelm_sdk.redis import stashel
from kelm_sdk.redis.stashel import Stashel


class Recorder:
    """Stands in for a module: records constructor calls, returns markers."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return types.SimpleNamespace(made_by=name, kwargs=kwargs)

        return record


@pytest.fixture
def recorded(monkeypatch):
    """Replaces stashel.redis and stashel.atexit with recorders."""
    fake_redis, fake_atexit = Recorder(), Recorder()
    monkeypatch.setattr(stashel, "redis", fake_redis)
    monkeypatch.setattr(stashel, "atexit", fake_atexit)
    made = []
    yield fake_redis, fake_atexit, made
    for instance in made:
        instance._shutdown_executor()


@pytest.mark.parametrize(
    "workers, queue_bound, pool_max",
    [(0, 1, 10), (1, 1, 10), (2, 2, 10), (3, 3, 15), (-4, 1, 10), (10**20, 10**20, 5 * 10**20)],
)
def test_pool_and_queue_sizes(recorded, workers, queue_bound, pool_max):
    fake_redis, fake_atexit, made = recorded
    instance = Stashel(host="h", port=1, workers=workers)
    made.append(instance)
    pool_call, client_call = fake_redis.calls
    assert pool_call == (
        "ConnectionPool",
        (),
        {"host": "h", "port": 1, "max_connections": pool_max, "decode_responses": False},
    )
    assert client_call[0] == "StrictRedis" and client_call[1] == ()
    assert client_call[2]["connection_pool"].made_by == "ConnectionPool"
    assert instance._redis_client.made_by == "StrictRedis"
    assert instance._queue.maxsize == queue_bound
    assert fake_atexit.calls == [("register", (instance._shutdown_executor,), {})]


def test_threaded_instance(recorded):
    _, fake_atexit, made = recorded
    before = threading.active_count()
    instance = Stashel()
    made.append(instance)
    assert list(vars(instance)) == ["_use_thread", "_redis_client", "_executor", "_queue", "_worker", "_stop_evt"]
    assert instance._use_thread is True and instance._executor is None
    assert isinstance(instance._queue, queue.Queue) and instance._queue.maxsize == 2
    worker = instance._worker
    assert isinstance(worker, threading.Thread) and worker.name == "StashelWorker"
    assert worker.daemon and worker.is_alive() and threading.active_count() == before + 1
    assert isinstance(instance._stop_evt, threading.Event) and not instance._stop_evt.is_set()
    assert len(fake_atexit.calls) == 1


@pytest.mark.parametrize("thread", [False, None, 0, ""])
def test_direct_mode_owns_no_queue_thread_or_hook(recorded, thread):
    fake_redis, fake_atexit, _ = recorded
    before = {t.ident for t in threading.enumerate()}
    instance = Stashel(thread=thread)
    assert instance._use_thread is thread  # stored exactly as passed
    assert instance._queue is None and instance._worker is None and instance._executor is None
    assert not instance._stop_evt.is_set()
    assert fake_atexit.calls == [] and {t.ident for t in threading.enumerate()} == before
    assert [name for name, _, _ in fake_redis.calls] == ["ConnectionPool", "StrictRedis"]


def test_any_true_value_selects_threaded_mode(recorded):
    made = recorded[2]
    instance = Stashel(thread="yes")
    made.append(instance)
    assert instance._use_thread == "yes" and instance._worker.is_alive()


def test_construction_sends_nothing_and_pools_are_not_shared():
    first = Stashel(thread=False, host="127.0.0.1", port=1)  # nothing listens on port 1
    second = Stashel(thread=False, host="127.0.0.1", port=1)
    assert first._redis_client.connection_pool is not second._redis_client.connection_pool
    assert first._redis_client.connection_pool._created_connections == 0


def test_construction_errors_reach_the_caller_and_register_nothing(monkeypatch):
    fake_atexit = Recorder()
    monkeypatch.setattr(stashel, "atexit", fake_atexit)

    class BrokenThread(threading.Thread):
        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(stashel, "threading", types.SimpleNamespace(Thread=BrokenThread, Event=threading.Event))
    with pytest.raises(RuntimeError, match="can't start new thread"):
        Stashel()
    assert fake_atexit.calls == []


def test_writer_is_started_after_its_attributes_are_set(monkeypatch):
    seen = {}

    class Inspecting(threading.Thread):
        def start(self):
            owner = self._target.__self__
            seen.update(vars(owner))
            super().start()

    monkeypatch.setattr(stashel, "threading", types.SimpleNamespace(Thread=Inspecting, Event=threading.Event))
    instance = Stashel(host="127.0.0.1", port=1)
    try:
        assert seen["_worker"] is instance._worker and seen["_queue"] is instance._queue
        assert seen["_stop_evt"] is instance._stop_evt
    finally:
        instance._shutdown_executor()
