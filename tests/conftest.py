"""Shared fixtures: a real redis-server on a free loopback port, Stashel
instances bound to it, a recording fake client for replies a real server
cannot produce, and a pub/sub listener."""

import logging
import threading
import time

import pytest
from pytest_redis import factories

from kelm_sdk.redis import stashel
from kelm_sdk.redis.stashel import Stashel

redis_proc = factories.redis_proc(host="127.0.0.1", port=None)
redisdb = factories.redisdb("redis_proc")

LOGGER_NAME = stashel.logger.name


@pytest.fixture
def server(redis_proc, redisdb):
    """(host, port) of a running server whose keys are flushed after the test."""
    return redis_proc.host, redis_proc.port


@pytest.fixture
def make_stashel(server):
    """Builds Stashel instances against the test server; threaded ones are
    shut down at teardown so their writers do not outlive the test."""
    made = []

    def make(**kwargs):
        kwargs.setdefault("host", server[0])
        kwargs.setdefault("port", server[1])
        instance = Stashel(**kwargs)
        made.append(instance)
        return instance

    yield make
    for instance in made:
        instance._shutdown_executor()


@pytest.fixture
def direct(make_stashel):
    return make_stashel(thread=False)


@pytest.fixture
def threaded(make_stashel):
    return make_stashel()


@pytest.fixture
def logs(caplog):
    """Log lines of the module's logger, as (level name, message)."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER_NAME]

    return lines


class FakeClient:
    """Records every call; replies and failures are set per method.

    `replies[name]` is returned by that method (default: a true SET, a DEL
    count of 1, None for GET, 1 for PUBLISH); `raises[name]` is raised
    instead; `scan` is what scan_iter yields."""

    def __init__(self, **replies):
        self.calls = []
        self.replies = {"set": True, "delete": 1, "get": None, "publish": 1}
        self.replies.update(replies)
        self.raises = {}
        self.scan = []

    def _call(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.raises:
            raise self.raises[name]
        return self.replies[name]

    def set(self, *args, **kwargs):
        return self._call("set", *args, **kwargs)

    def get(self, *args, **kwargs):
        return self._call("get", *args, **kwargs)

    def delete(self, *args, **kwargs):
        return self._call("delete", *args, **kwargs)

    def publish(self, *args, **kwargs):
        return self._call("publish", *args, **kwargs)

    def scan_iter(self, *args, **kwargs):
        self.calls.append(("scan_iter", args, kwargs))
        if "scan_iter" in self.raises:
            raise self.raises["scan_iter"]
        yield from self.scan

    def names(self):
        return [name for name, _, _ in self.calls]


@pytest.fixture
def fake():
    """A direct-mode instance whose client is a FakeClient (no server needed)."""
    instance = Stashel(thread=False, host="127.0.0.1", port=1)
    instance._redis_client = FakeClient()
    return instance


class Listener:
    """A real pub/sub subscriber collecting messages in a background thread."""

    def __init__(self, client, *channels):
        self.messages = []
        self._lock = threading.Lock()
        self.pubsub = client.pubsub(ignore_subscribe_messages=True)
        self.pubsub.subscribe(**{channel: self._on_message for channel in channels})
        self._thread = self.pubsub.run_in_thread(sleep_time=0.01, daemon=True)
        # Publishes from other connections count only once the server has the subscription.
        assert wait_until(lambda: all(n >= 1 for _, n in client.pubsub_numsub(*channels)))

    def _on_message(self, message):
        with self._lock:
            self.messages.append((message["channel"], message["data"]))

    def wait_for(self, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.01)
        time.sleep(0.05)  # room for unexpected extra messages to show up
        with self._lock:
            return list(self.messages)

    def close(self):
        self._thread.stop()
        self._thread.join(timeout=2)
        self.pubsub.close()


@pytest.fixture
def listen(redisdb):
    """listen(*channels) -> Listener subscribed on the test server."""
    made = []

    def start(*channels):
        listener = Listener(redisdb, *channels)
        made.append(listener)
        return listener

    yield start
    for listener in made:
        listener.close()


def wait_until(predicate, timeout=5.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
