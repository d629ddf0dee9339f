"""Shared fixtures: a real redis-server on a free loopback port, Stashel
instances bound to it, a recording fake client for replies a real server
cannot produce, and a pub/sub listener."""

import logging
import os

# A developer's own server settings must not reach the tests' instances.
for _name in ("REDIS_URL", "REDIS_USERNAME", "REDIS_PASSWORD"):
    os.environ.pop(_name, None)

import pytest  # noqa: E402
from pytest_redis import factories  # noqa: E402

from kelm_sdk.redis import stashel  # noqa: E402
from kelm_sdk.redis.stashel import Stashel  # noqa: E402
from secured_servers import make_secured  # noqa: E402, F401 - a fixture
from stashel_testing import FakeClient, Listener, wait_until  # noqa: E402, F401 - re-exported for tests

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


@pytest.fixture
def fake():
    """A direct-mode instance whose client is a FakeClient (no server needed)."""
    instance = Stashel(thread=False, host="127.0.0.1", port=1)
    instance._redis_client = FakeClient()
    return instance


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
