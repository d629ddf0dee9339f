"""Every public method, run many times on its success and its failure paths:
neither Python objects nor process memory may grow, and the caller's
objects get back the reference counts they had."""

import gc
import os
import sys
import tracemalloc

import pytest
import redis

from kelm_sdk.redis import stashel
from kelm_sdk.redis.stashel import Stashel

from .conftest import drained

FAST_CALLS = 2_000
STRESS_CALLS = 100_000
# Allowed growth over a whole run, whatever its length. One object kept per
# call would be at least 16 bytes x calls: 32 KB in the fast runs, 1.6 MB in
# the long ones.
TRACED_BOUND = 12 * 1024
RSS_BOUND = 1024 * 1024


class QuietClient:
    """A fake client that records nothing, so that it cannot grow itself."""

    def __init__(
        self,
        fail=None,
        publish_fail=False,
        get_reply=b'{"a":[1,2.5,"x"]}',
        delete_reply=1,
        scan=(b"p:1", b"p:2", "p:3"),
    ):
        self.fail = fail
        self.publish_fail = publish_fail
        self.get_reply = get_reply
        self.delete_reply = delete_reply
        self.scan = scan

    def _maybe_fail(self):
        if self.fail:
            raise self.fail("server went away")

    def set(self, key, value, ex=None):
        self._maybe_fail()
        return True

    def publish(self, channel, message):
        if self.publish_fail:
            raise redis.ConnectionError("publish failed")
        return 1

    def get(self, key):
        self._maybe_fail()
        return self.get_reply

    def delete(self, *keys):
        self._maybe_fail()
        return self.delete_reply

    def scan_iter(self, match=None):
        self._maybe_fail()
        yield from self.scan


class CountingLogger:
    def __init__(self):
        self.lines = 0

    def warning(self, message):
        self.lines += 1

    def error(self, message):
        self.lines += 1


def raises(exc_type, call):
    def run():
        try:
            call()
        except exc_type:
            return
        raise AssertionError(f"{call} did not raise {exc_type}")

    return run


class Caller:
    """The caller's own objects, made at run time so that nothing else shares them."""

    def __init__(self):
        self.frame = {"frame": list(range(5)), "meta": {"n": 1.5, "s": "t" * 40}}
        self.bad_frame = {1: "not a str key"}
        self.key = "".join(["leak", ":", "key"])
        self.keys = ["".join(["leak", str(i)]) for i in range(3)]
        self.empty = []

    def refcounts(self):
        return [sys.getrefcount(o) for o in (self.frame, self.bad_frame, self.key, self.keys, self.empty)]


def direct_with(**client):
    instance = Stashel(thread=False, host="127.0.0.1", port=1)
    instance._redis_client = QuietClient(**client)
    return instance


def paths(c):
    ok = direct_with()
    down = direct_with(fail=redis.ConnectionError)
    no_publish = direct_with(publish_fail=True)
    bad_json = direct_with(get_reply=b"{not json")
    bad_reply = direct_with(delete_reply=True)
    bad_name = direct_with(scan=(b"ok", b"\xff\xfe"))
    stopped = direct_with()
    stopped._stop_evt.set()
    TE = TypeError
    return {
        # success paths
        "init": lambda: Stashel(thread=False, host="127.0.0.1", port=1, workers=3),
        "shutdown": ok._shutdown_executor,
        "worker_loop_stopped": stopped._worker_loop,
        "_write_": lambda: ok._write_(c.frame, c.key, 5),
        "write_kelm_data": lambda: ok.write_kelm_data(c.frame, c.key),
        "write_kelm_data_delete": lambda: ok.write_kelm_data(None, c.key),
        "write_data_text": lambda: ok.write_data(c.key, "text value"),
        "write_data_dict": lambda: ok.write_data(c.key, c.frame, 60),
        "read_data": lambda: ok.read_data(c.key),
        "read_kelm_data": lambda: ok.read_kelm_data(c.key),
        "delete_data": lambda: ok.delete_data(c.key),
        "delete_many": lambda: ok.delete_many(c.keys),
        "delete_many_empty": lambda: ok.delete_many(c.empty),
        "scan_keys": lambda: ok.scan_keys(c.key),
        # failure paths
        "_write_set_raises": lambda: down._write_(c.frame, c.key),
        "_write_publish_raises": lambda: no_publish._write_(c.frame, c.key),
        "_write_encoder_refuses": raises(TE, lambda: ok._write_(c.bad_frame, c.key)),
        "write_kelm_data_set_raises": lambda: down.write_kelm_data(c.frame, c.key),
        "write_kelm_data_delete_raises": raises(redis.ConnectionError, lambda: down.write_kelm_data(None, c.key)),
        "write_data_set_raises": raises(redis.ConnectionError, lambda: down.write_data(c.key, c.frame)),
        "write_data_publish_raises": lambda: no_publish.write_data(c.key, "v"),
        "write_data_encoder_refuses": raises(TE, lambda: ok.write_data(c.key, c.bad_frame)),
        "read_data_raises": raises(redis.ConnectionError, lambda: down.read_data(c.key)),
        "read_kelm_data_raises": lambda: down.read_kelm_data(c.key),
        "read_kelm_data_bad_json": lambda: bad_json.read_kelm_data(c.key),
        "delete_data_raises": raises(redis.ConnectionError, lambda: down.delete_data(c.key)),
        "delete_many_raises": raises(redis.ConnectionError, lambda: down.delete_many(c.keys)),
        "delete_many_bad_reply": raises(TE, lambda: bad_reply.delete_many(c.keys)),
        "scan_keys_raises": raises(redis.ConnectionError, lambda: down.scan_keys(c.key)),
        "scan_keys_bad_name": raises(UnicodeDecodeError, lambda: bad_name.scan_keys(c.key)),
        # call-rule breaches
        "init_bad_type": raises(TE, lambda: Stashel(False, c.key, "6379")),
        "init_too_many": raises(TE, lambda: Stashel(False, c.key, 1, 2, 3)),
        "_write_bad_type": raises(TE, lambda: ok._write_(c.keys, c.key)),
        "write_kelm_data_bad_ttl": raises(TE, lambda: ok.write_kelm_data(c.frame, c.key, True)),
        "write_data_missing": raises(TE, lambda: ok.write_data(c.key)),
        "write_data_unknown_keyword": raises(TE, lambda: ok.write_data(c.key, c.frame, ttl=1, extra=c.frame)),
        "read_data_twice": raises(TE, lambda: ok.read_data(c.key, redis_key=c.key)),
        "read_kelm_data_bad_type": raises(TE, lambda: ok.read_kelm_data(c.keys)),
        "delete_data_missing_keyword": raises(TE, lambda: ok.delete_data(key=c.key)),
        "delete_many_tuple": raises(TE, lambda: ok.delete_many(tuple(c.keys))),
        "scan_keys_bytes": raises(TE, lambda: ok.scan_keys(b"p*")),
        "shutdown_extra": raises(TE, lambda: ok._shutdown_executor(c.key)),
        "worker_loop_extra": raises(TE, lambda: ok._worker_loop(c.key)),
    }


THREADED = {
    "write_kelm_data_queued": lambda inst, c: inst.write_kelm_data(c.frame, c.key),
    "write_kelm_data_queued_encoder_refuses": lambda inst, c: inst.write_kelm_data(c.bad_frame, c.key),
}


def rss():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(call, calls, settle=lambda: None):
    """(traced bytes, RSS bytes) grown over `calls` calls, after as many
    calls again to warm up: the allocator's first high-water mark (about
    1 MB while redis-py builds its first 100,000 pools) is not a leak."""
    for _ in range(calls):
        call()
    settle()
    gc.collect()
    rss0 = rss()
    for _ in range(calls):
        call()
    settle()
    gc.collect()
    rss_growth = rss() - rss0
    tracemalloc.start()
    try:
        gc.collect()
        traced0 = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        settle()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced0
    finally:
        tracemalloc.stop()
    return traced_growth, rss_growth


@pytest.fixture
def quiet_logger(monkeypatch):
    logger = CountingLogger()
    monkeypatch.setattr(stashel, "logger", logger)
    return logger


def check_path(name, calls, quiet_logger):
    c = Caller()
    call = paths(c)[name]
    before = c.refcounts()
    traced, grown = measure(call, calls)
    assert c.refcounts() == before
    return traced, grown


def check_threaded_path(name, calls, quiet_logger):
    c = Caller()
    instance = Stashel(host="127.0.0.1", port=1)
    instance._redis_client = QuietClient()
    before = c.refcounts()
    try:
        traced, grown = measure(lambda: THREADED[name](instance, c), calls, settle=lambda: drained(instance))
    finally:
        instance._shutdown_executor()
    instance._worker.join(timeout=5)
    assert c.refcounts() == before
    return traced, grown


ALL_PATHS = sorted(paths(Caller())) + sorted(THREADED)


def run(name, calls, quiet_logger):
    if name in THREADED:
        return check_threaded_path(name, calls, quiet_logger)
    return check_path(name, calls, quiet_logger)


@pytest.mark.parametrize("name", ALL_PATHS)
def test_no_growth_small(name, quiet_logger):
    traced, _ = run(name, FAST_CALLS, quiet_logger)
    assert traced <= TRACED_BOUND, f"{name}: {traced} bytes kept over {FAST_CALLS} calls"


@pytest.mark.stress
@pytest.mark.parametrize("name", ALL_PATHS)
def test_no_growth_100k(name, quiet_logger):
    traced, grown = run(name, STRESS_CALLS, quiet_logger)
    print(f"\n{name}: {STRESS_CALLS} calls, traced {traced:+d} B, RSS {grown:+d} B")
    assert traced <= TRACED_BOUND, f"{name}: {traced} bytes kept over {STRESS_CALLS} calls"
    assert grown <= RSS_BOUND, f"{name}: RSS grew {grown} bytes over {STRESS_CALLS} calls"
