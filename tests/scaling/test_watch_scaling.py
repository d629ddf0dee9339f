"""The Watcher on a client from Sentinel (through a failover) and on a
cluster client (keys of every primary)."""

import redis.sentinel

from kelm_sdk.redis.stashel import Stashel
from kelm_sdk.redis.watch import Watcher

from .scaling_procs import HOST, poll


def test_behind_sentinel_the_watcher_follows_the_promoted_replica(sentinel_groups):
    group = sentinel_groups()
    sentinel = redis.sentinel.Sentinel([(HOST, group.sentinel.port)], socket_timeout=0.5)
    client = sentinel.master_for(group.SERVICE, socket_timeout=0.5, socket_connect_timeout=0.5)
    writer = Stashel(thread=False, host=HOST, port=group.primary.port)
    writer._redis_client = client
    watcher = Watcher(["fo:w"], client=client, initial=False)
    try:
        writer.write_kelm_data({"n": 1}, "fo:w")
        assert watcher.get(timeout=5) == ("fo:w", {"n": 1})
        assert poll(lambda: group.replica.client.get("fo:w"), timeout=5)

        group.primary.kill()
        assert poll(lambda: group.master_address()[1] == group.replica.port, timeout=30)
        # Written on the new primary, perhaps before the Watcher is subscribed there.
        assert poll(lambda: writer.write_kelm_data({"n": 2}, "fo:w"), timeout=10)
        assert poll(lambda: watcher.get(timeout=1) == ("fo:w", {"n": 2}), timeout=20)
        assert watcher.stats()["reconnects"] >= 1
    finally:
        watcher.close()
        client.close()


def test_with_a_cluster_client_keys_of_every_primary_are_delivered(cluster, cluster_client):
    writer = Stashel(thread=False, host=HOST, port=cluster.ports[0])
    writer._redis_client = cluster_client
    named = [f"cam:{i}" for i in range(10)]
    writer.write_kelm_data({"at": "start"}, "cam:0")
    writer.write_kelm_data({"at": "start"}, "cam:25")  # found by SCAN on whichever node holds it
    with Watcher(named, ["cam:2?"], client=cluster_client) as watcher:
        initial = [watcher.get(timeout=5) for _ in range(2)]
        for key in named + ["cam:21", "cam:22"]:
            writer.write_kelm_data({"by": key}, key)
        got = {}
        while len(got) < 12 and (item := watcher.get(timeout=5)) is not None:
            # A key may come twice: found by the initial SCAN, then its notification
            # arrives late across the cluster bus.
            if item[1] != {"at": "start"}:
                got[item[0]] = item[1]
    assert sorted(initial) == [("cam:0", {"at": "start"}), ("cam:25", {"at": "start"})]
    # Notifications of keys on other nodes cross the cluster bus first: not in write order.
    assert got == {key: {"by": key} for key in named + ["cam:21", "cam:22"]}
    owners = {cluster_client.get_node_from_key(key).port for key in named}
    assert owners == set(cluster.ports)
