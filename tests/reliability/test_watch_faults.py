"""The Watcher when its server is killed and started again on the same port:
no error reaches the consumer, and what changed while it was away is
delivered although nobody announced it to the Watcher."""

import threading

import pytest
import redis
from redis.backoff import ConstantBackoff
from redis.retry import Retry

from kelm_sdk.redis.watch import Watcher


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
