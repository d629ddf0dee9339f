"""The Watcher when its server is killed and started again on the same port:
no error reaches the consumer, and what changed while it was away is
delivered although nobody announced it to the Watcher. Then, for Watcher and
AsyncWatcher alike: a connection dropped silently by a relay, a frozen
server, and floods of notifications sent through a pipeline."""

import threading
import time

import pytest
import redis
from redis.backoff import ConstantBackoff
from redis.retry import Retry

from kelm_sdk.redis.watch import Watcher
from stashel_testing import BlockingAsyncWatcher

# What a loaded machine may add to a promised bound before the call is back.
SCHEDULING = 0.15


# Its own client retries nothing; a user's client with retries lets redis-py
# reconnect and resubscribe by itself, which the Watcher must notice too.
@pytest.mark.parametrize("retries", [None, 3], ids=["own-client", "client-that-reconnects"])
def test_server_killed_and_restarted_mid_stream(own_server, own_stashel, logs, retries):
    client = None
    if retries:
        client = redis.Redis(host=own_server.host, port=own_server.port, retry=Retry(ConstantBackoff(0.05), retries))
    watcher = Watcher(["k:a", "k:b"], ["k:p:*"], host=own_server.host, port=own_server.port, client=client)
    writer = own_stashel(thread=False)
    try:
        for i in range(20):
            writer.write_kelm_data({"i": i}, "k:a")
            assert watcher.get(timeout=5) == ("k:a", {"i": i})

        own_server.restart()  # SIGKILL, then the same port again, empty
        # Made while the Watcher is away: a stored frame whose announcement
        # nobody hears, and a plain SET that is never announced at all.
        writer.write_kelm_data({"i": 20}, "k:a")
        own_server.admin().set("k:p:gap", b'{"gap":true}')

        after = sorted(watcher.get(timeout=5) for _ in range(2))
        assert after == [("k:a", {"i": 20}), ("k:p:gap", {"gap": True})]
        writer.write_kelm_data({"i": 21}, "k:b")
        assert watcher.get(timeout=5) == ("k:b", {"i": 21})
        assert watcher.stats()["reconnects"] == 1
        warnings = [m.split(" - ")[0] for level, m in logs() if level == "WARNING"]
        assert warnings == ["Watcher lost its connection to the server, reconnecting"]
    finally:
        watcher.close()
        if client is not None:
            client.close()


def test_close_during_the_outage_ends_a_consumer_waiting_to_reconnect(own_server):
    watcher = Watcher(["o:k"], host=own_server.host, port=own_server.port, initial=False)
    own_server.kill()
    consumer = threading.Thread(target=lambda: list(watcher))
    consumer.start()
    consumer.join(1.0)  # a few failed attempts with backoff in between
    assert consumer.is_alive()
    watcher.close()
    consumer.join(0.5)
    assert not consumer.is_alive()


# -- real networks: silent drops, a frozen server, floods (both classes) ---------


@pytest.fixture(params=["Watcher", "AsyncWatcher"])
def face(request, own_server):
    made = []

    def make(*args, **kwargs):
        kwargs.setdefault("host", own_server.host)
        kwargs.setdefault("port", own_server.port)
        made.append((Watcher if request.param == "Watcher" else BlockingAsyncWatcher)(*args, **kwargs))
        return made[-1]

    yield make
    own_server.thaw()
    for watcher in made:
        watcher.close()


def announce(server, *pairs):
    pipe = server.admin().pipeline(transaction=False)
    for key, value in pairs:
        if value is not None:
            pipe.set(key, value)
        pipe.publish(f"{key}_notify", "1")
    pipe.execute()


def test_a_silently_dropped_connection_is_noticed_by_ping(own_server, relay, face, logs):
    watcher = face(["sd:k"], port=relay.port, initial=False, ping_interval=0.5)
    announce(own_server, ("sd:k", b"1"))
    assert watcher.get(timeout=5) == ("sd:k", 1)
    relay.drop()  # no FIN, no RST: every get() used to return None from here on
    announce(own_server, ("sd:k", b"2"))
    deadline = time.monotonic() + 10
    while (item := watcher.get(timeout=0.5)) is None and time.monotonic() < deadline:
        pass
    assert item == ("sd:k", 2) and watcher.stats()["reconnects"] == 1
    warnings = [m for level, m in logs() if level == "WARNING"]
    assert warnings == ["Watcher lost its connection to the server, reconnecting - no reply to PING within 0.5 s"]


def test_a_consumer_slow_to_come_back_after_a_ping_is_no_loss(face):
    watcher = face(["sl:k"], initial=False, ping_interval=0.3)
    inner = getattr(watcher, "watcher", None)  # an AsyncWatcher: driven on its own loop

    def away(get):
        yield get(timeout=0)  # idle past the interval: a PING goes out
        time.sleep(1.0)  # away; an event loop reads nothing meanwhile
        yield get(timeout=0)  # the pong waits in the socket

    async def on_the_loop():
        return [await call for call in away(inner.get)]

    for _ in range(3):
        time.sleep(0.35)
        assert (watcher._call(on_the_loop()) if inner else list(away(watcher.get))) == [None, None]
    assert watcher.stats()["reconnects"] == 0


def test_a_frozen_server_holds_get_and_close_to_their_bounds(own_server, face):
    watcher = face(["fz:k"], initial=False)
    announce(own_server, ("fz:k", b"1"))
    time.sleep(0.3)  # the notification waits in the Watcher's socket
    own_server.freeze()
    for _ in range(2):  # 1.5 s promised: these took 10 s, then 5 s
        start = time.monotonic()
        assert watcher.get(timeout=1.0) is None
        assert time.monotonic() - start < 1.5 + SCHEDULING
    ended = []
    consumer = threading.Thread(target=lambda: ended.append((watcher.get(), time.monotonic())))
    consumer.start()
    time.sleep(1.0)
    closed_at = time.monotonic()
    watcher.close()
    consumer.join(10)
    assert ended[0][0] is None and ended[0][1] - closed_at < 0.5 + SCHEDULING  # it took 4.7 s


def test_get_keeps_its_deadline_through_skipped_keys(own_server, face):
    watcher = face(patterns=["gk:*"], initial=False)
    announce(own_server, *((f"gk:{i}", None) for i in range(30000)))  # every key gone at delivery
    start = time.monotonic()
    assert watcher.get(timeout=0.1) is None
    assert time.monotonic() - start < 0.6 + SCHEDULING  # 2 to 5 s when the skip loop ignored the deadline


def test_a_flood_keeps_pending_bounded_and_every_newest_value_is_delivered(own_server, face, logs):
    n, cap = 12000, 500
    watcher = face(patterns=["fl:*"], initial=False, decode=False, max_pending=cap)
    announce(own_server, *((f"fl:{i}", b"%d" % i) for i in range(n)))
    announce(own_server, *((f"fl:{i}", b"new") for i in range(0, n, 3)))
    seen, peak = {}, 0
    while (item := watcher.get(timeout=2)) is not None:
        seen[item[0]] = item[1]
        peak = max(peak, watcher.stats()["pending"])
    assert seen == {f"fl:{i}": b"new" if i % 3 == 0 else b"%d" % i for i in range(n)}
    assert peak <= cap and watcher.stats()["resyncs"] >= 1
    assert {m for level, m in logs() if level == "WARNING"} == {
        f"Watcher fell behind (more than {cap} keys pending), delivering every watched key again"
    }
