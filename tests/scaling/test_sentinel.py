"""Stashel behind Sentinel: its client taken from `Sentinel.master_for`, the
primary killed while producers keep writing frames, the replica promoted."""

import threading
import time

import orjson
import pytest
import redis
import redis.sentinel
from redis.backoff import ExponentialWithJitterBackoff
from redis.retry import Retry

from kelm_sdk.redis.stashel import Stashel

from .scaling_procs import HOST, Subscriber, poll

PRODUCERS = 2
FRAME_INTERVAL = 0.01  # per producer
MAX_CALLS = 5000  # per thread; the run stops well before this
RECOVERY_LIMIT = 30.0  # seconds from the kill; a failover takes a few

# Clients from master_for retry nothing unless told to. With a retry policy
# a failed SET is repeated inside redis-py: the writer sits in one call
# through the switch while the bounded queue drops pending frames unlogged.
RETRIES = {
    "no-retry": {},
    "with-retry": {"retry": Retry(ExponentialWithJitterBackoff(base=0.01, cap=1), 10)},
}


class Looper(threading.Thread):
    """Calls `write(seq)` every FRAME_INTERVAL until stopped (bounded),
    recording (start, end, seq, result) of each call."""

    def __init__(self, name, write):
        super().__init__(name=name, daemon=True)
        self.write = write
        self.stop_evt = threading.Event()
        self.calls = []

    def run(self):
        seq = 0
        while not self.stop_evt.is_set() and seq < MAX_CALLS:
            seq += 1
            start = time.monotonic()
            result = self.write(seq)
            self.calls.append((start, time.monotonic(), seq, result))
            time.sleep(FRAME_INTERVAL)

    @property
    def last_seq(self):
        return self.calls[-1][2]


def stored_seq(client, key):
    value = client.get(key)
    return None if value is None else orjson.loads(value)["seq"]


def frame_producer(stashel, key):
    return Looper(key, lambda seq: stashel.write_kelm_data({"seq": seq, "by": key}, key))


@pytest.mark.parametrize("retry", list(RETRIES))
def test_frames_keep_being_stored_across_a_failover(sentinel_groups, caplog, retry):
    caplog.set_level("WARNING", logger="kelm_sdk.REDIS")
    group = sentinel_groups()
    old_primary, replica = group.primary, group.replica
    sentinel = redis.sentinel.Sentinel([(HOST, group.sentinel.port)], socket_timeout=0.5)
    client = sentinel.master_for(group.SERVICE, socket_timeout=0.5, socket_connect_timeout=0.5, **RETRIES[retry])

    threaded = Stashel(host=HOST, port=old_primary.port)
    threaded._redis_client = client
    direct = Stashel(thread=False, host=HOST, port=old_primary.port)
    direct._redis_client = client
    keys = [f"fo:{i}" for i in range(PRODUCERS)]
    loopers = [frame_producer(threaded, key) for key in keys]
    prober = frame_producer(direct, "fo:direct")  # direct mode, on its own thread
    loopers.append(prober)
    # The replica's own connection survives its promotion, so it sees the
    # notifications before (replicated) and after (published on it) the switch.
    notified = Subscriber(replica.port, f"{keys[0]}_notify")
    try:
        for looper in loopers:
            looper.start()
        # Steady state: frames reach the primary and are replicated.
        assert poll(lambda: all(stored_seq(replica.client, k) for k in keys + ["fo:direct"]), timeout=10)

        kill_wall, killed = time.time(), time.monotonic()
        old_primary.kill()
        time.sleep(0.05)  # replication already in flight has landed by now
        baseline = {k: stored_seq(replica.client, k) for k in keys}
        if retry == "no-retry":
            with pytest.raises(redis.ConnectionError):
                direct.write_data("fo:plain", "x")

        promoted = recovered = None
        while recovered is None and time.monotonic() - killed < RECOVERY_LIMIT:
            if promoted is None and group.master_address()[1] == replica.port:
                promoted = time.monotonic()
            if any(stored_seq(replica.client, k) != baseline[k] for k in keys):
                recovered = time.monotonic()
            time.sleep(0.01)
        assert recovered is not None, f"no frame stored within {RECOVERY_LIMIT} s of the kill"
        assert poll(lambda: group.master_address()[1] == replica.port, timeout=5)
        promoted = promoted or recovered

        # The writer carries on: frames produced after the switch are stored.
        time.sleep(0.5)
    finally:
        for looper in loopers:
            looper.stop_evt.set()
        for looper in loopers:
            looper.join(timeout=10)
    try:
        assert replica.client.info("replication")["role"] == "master"
        assert threaded._worker.is_alive()
        # Queueing a frame never fails, whatever the server does.
        assert all(result is True for looper in loopers[:PRODUCERS] for *_, result in looper.calls)
        # The last frame of every producer ends up stored on the new primary.
        for looper in loopers[:PRODUCERS]:
            assert poll(lambda: stored_seq(replica.client, looper.name) == looper.last_seq, timeout=5)
        # A direct write that failed late in the switch returned false; the
        # latest one that returned true is what the new primary holds.
        last_stored_direct = max(seq for *_, seq, result in prober.calls if result is True)
        assert stored_seq(replica.client, "fo:direct") == last_stored_direct
        # Notifications flow again, now published on the new primary.
        assert poll(lambda: any(t > recovered for t in notified.arrival_times()), timeout=5)

        writer_errors = [
            r
            for r in caplog.records
            if r.getMessage().startswith(tuple(f"Failed to write data to redis`{k}`" for k in keys))
        ]
        assert all(r.levelname == "ERROR" for r in writer_errors)
        failed_direct = [call for call in prober.calls if call[3] is False]
        if retry == "no-retry":
            # Every failed frame is logged, one error line each, and only
            # during the switch; direct writes return false meanwhile.
            assert writer_errors, "no failed frame was logged during the switch"
            window_end_wall = kill_wall + (recovered - killed) + 0.5
            assert all(kill_wall <= r.created <= window_end_wall for r in writer_errors)
            assert failed_direct
            assert all(killed <= start <= recovered + 0.5 for start, *_ in failed_direct)

        produced_in_window = sum(
            1 for looper in loopers[:PRODUCERS] for start, *_ in looper.calls if killed <= start <= recovered
        )
        longest_direct = max(end - start for start, end, *_ in prober.calls)
        print(
            f"\nfailover ({retry}): replica promoted {promoted - killed:.2f} s after SIGKILL, "
            f"first frame stored on it {recovered - killed:.2f} s after; "
            f"{produced_in_window} frames queued in between, {len(writer_errors)} logged as failed "
            f"by the writer (the others dropped by the bounded queue); direct mode: "
            f"{len(failed_direct)} writes returned false, longest call {longest_direct:.2f} s"
        )
    finally:
        notified.close()
        threaded._shutdown_executor()
