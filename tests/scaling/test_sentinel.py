"""Stashel behind Sentinel: its client taken from `Sentinel.master_for`, the
primary killed while producers keep writing frames, the replica promoted."""

import threading
import time

import orjson
import redis
import redis.sentinel

from kelm_sdk.redis.stashel import Stashel
from .scaling_procs import HOST, Subscriber, poll

PRODUCERS = 2
FRAME_INTERVAL = 0.01  # per producer
MAX_FRAMES = 5000  # per producer; the run stops well before this
RECOVERY_LIMIT = 30.0  # seconds from the kill; a failover takes a few


class Producer(threading.Thread):
    """Writes numbered frames to one key until told to stop (bounded)."""

    def __init__(self, stashel, key):
        super().__init__(name=f"producer-{key}", daemon=True)
        self.stashel, self.key = stashel, key
        self.stop_evt = threading.Event()
        self.sent = 0
        self.sent_at = []  # (monotonic time, seq)
        self.refused = []  # results other than true: queueing never fails

    def run(self):
        while not self.stop_evt.is_set() and self.sent < MAX_FRAMES:
            seq = self.sent + 1
            result = self.stashel.write_kelm_data({"seq": seq, "by": self.key}, self.key)
            if result is not True:
                self.refused.append((seq, result))
            self.sent = seq
            self.sent_at.append((time.monotonic(), seq))
            time.sleep(FRAME_INTERVAL)


def stored_seq(client, key):
    value = client.get(key)
    return None if value is None else orjson.loads(value)["seq"]


def test_frames_keep_being_stored_across_a_failover(sentinel_groups, caplog):
    caplog.set_level("WARNING", logger="kelm_sdk.REDIS")
    group = sentinel_groups()
    old_primary, replica = group.primary, group.replica
    sentinel = redis.sentinel.Sentinel([(HOST, group.sentinel.port)], socket_timeout=0.5)
    client = sentinel.master_for(group.SERVICE, socket_timeout=0.5, socket_connect_timeout=0.5)

    threaded = Stashel(host=HOST, port=old_primary.port)
    threaded._redis_client = client
    direct = Stashel(thread=False, host=HOST, port=old_primary.port)
    direct._redis_client = client
    keys = [f"fo:{i}" for i in range(PRODUCERS)]
    # The replica's own connection survives its promotion, so it sees the
    # notifications before (replicated) and after (published on it) the switch.
    notified = Subscriber(replica.port, f"{keys[0]}_notify")
    producers = [Producer(threaded, key) for key in keys]
    try:
        for p in producers:
            p.start()
        # Steady state: frames reach the primary and are replicated.
        assert poll(lambda: all(stored_seq(replica.client, k) for k in keys), timeout=10)
        assert direct.write_kelm_data({"seq": 0}, "fo:direct") is True

        kill_wall = time.time()
        killed = time.monotonic()
        old_primary.kill()
        time.sleep(0.05)  # replication already in flight has landed by now
        baseline = {k: stored_seq(replica.client, k) for k in keys}

        # While there is no primary, direct writes fail on the caller's thread.
        direct_results = []
        promoted = recovered = None
        while time.monotonic() - killed < RECOVERY_LIMIT:
            direct_results.append((time.monotonic(), direct.write_kelm_data({"seq": 1}, "fo:direct")))
            if promoted is None and group.master_address()[1] == replica.port:
                promoted = time.monotonic()
            if any(stored_seq(replica.client, k) != baseline[k] for k in keys):
                recovered = time.monotonic()
                break
            time.sleep(0.01)
        assert recovered is not None, f"no frame stored within {RECOVERY_LIMIT} s of the kill"
        assert poll(lambda: group.master_address()[1] == replica.port, timeout=5)
        promoted = promoted or time.monotonic()

        # The writer carries on: frames produced after the switch are stored.
        time.sleep(0.5)
    finally:
        for p in producers:
            p.stop_evt.set()
        for p in producers:
            p.join(timeout=5)
    try:
        assert [p.refused for p in producers] == [[]] * PRODUCERS
        assert threaded._worker.is_alive()
        for p in producers:
            assert poll(lambda: stored_seq(replica.client, p.key) == p.sent, timeout=5)
        assert direct.write_kelm_data({"seq": 2}, "fo:direct") is True
        assert replica.client.info("replication")["role"] == "master"

        # Failed frames were logged, one error line each, only during the switch.
        writer_errors = [
            r for r in caplog.records
            if r.name == "kelm_sdk.REDIS" and r.getMessage().startswith(("Failed to write data to redis`fo:0`", "Failed to write data to redis`fo:1`"))
        ]
        assert writer_errors, "no failed frame was logged during the switch"
        assert all(r.levelname == "ERROR" for r in writer_errors)
        window_end_wall = kill_wall + (recovered - killed) + 0.5
        assert all(kill_wall <= r.created <= window_end_wall for r in writer_errors)
        failed_direct = [t for t, ok in direct_results if ok is False]
        assert failed_direct and all(t < recovered + 0.5 for t in failed_direct)

        # Notifications flow again from the new primary.
        assert poll(lambda: any(t > recovered for t in notified.arrival_times()), timeout=5)

        produced_in_window = sum(
            1 for p in producers for t, _ in p.sent_at if killed <= t <= recovered
        )
        print(
            f"\nfailover: replica promoted {promoted - killed:.2f} s after SIGKILL; "
            f"first frame stored on it {recovered - killed:.2f} s after; "
            f"{produced_in_window} frames produced in that window, "
            f"{len(writer_errors)} logged as failed by the writer "
            f"(the rest dropped by the bounded queue); "
            f"{len(failed_direct)} direct writes returned false"
        )
    finally:
        notified.close()
        threaded._shutdown_executor()
