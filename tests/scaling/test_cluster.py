"""Stashel with its client swapped for a cluster-aware client, against a real
three-primary Redis Cluster on loopback."""

import time

import orjson
import pytest
import redis

from kelm_sdk.redis.stashel import Stashel

from .scaling_procs import Subscriber, poll

KEYS = [f"cam:{i}" for i in range(30)]


def owner(cluster, cluster_client, key):
    """The node process whose slots hold `key`."""
    port = cluster_client.get_node_from_key(key).port
    return next(node for node in cluster.nodes if node.port == port)


def raw(cluster, cluster_client, key):
    """The stored bytes, read with a plain client on the owning node (a wrong
    node would answer MOVED)."""
    return owner(cluster, cluster_client, key).client.get(key)


def test_keys_used_here_span_every_primary(cluster, cluster_client):
    owners = {owner(cluster, cluster_client, key).port for key in KEYS}
    assert owners == set(cluster.ports)


def test_only_the_client_is_swapped(cluster, cluster_client):
    # The constructor still builds its own single-node client and pool (it
    # sends nothing); once `_redis_client` is replaced that pool stays idle.
    s = Stashel(thread=False, host="127.0.0.1", port=cluster.ports[0])
    built = s._redis_client
    assert type(built) is redis.StrictRedis
    s._redis_client = cluster_client
    for key in KEYS[:6]:
        assert s.write_data(key, "v") is True
        assert s.read_data(key) == b"v"
    assert built.connection_pool._created_connections == 0


def test_without_the_swap_keys_of_other_nodes_are_refused(cluster, cluster_client, logs):
    # A single-node client reaches one node only: keys owned by the others
    # are answered with MOVED, which the write step logs as a failed write
    # and write_data raises.
    first = cluster.nodes[0]
    s = Stashel(thread=False, host="127.0.0.1", port=first.port)
    foreign = next(k for k in KEYS if owner(cluster, cluster_client, k) is not first)
    local = next(k for k in KEYS if owner(cluster, cluster_client, k) is first)
    where = f"{cluster_client.keyslot(foreign)} 127.0.0.1:{owner(cluster, cluster_client, foreign).port}"

    assert s.write_kelm_data({"n": 1}, local) is True
    assert s.write_kelm_data({"n": 1}, foreign) is False
    assert logs() == [("ERROR", f"Failed to write data to redis`{foreign}` - {where}")]
    with pytest.raises(redis.exceptions.MovedError, match=where):
        s.write_data(foreign, "x")


@pytest.mark.parametrize("thread", [False, True], ids=["direct", "threaded"])
def test_frame_writes_land_on_the_owning_node_and_read_back(make_cluster_stashel, cluster, cluster_client, thread):
    # A queue as large as the batch, so the threaded writer drops nothing.
    s = make_cluster_stashel(thread=thread, workers=len(KEYS))
    frames = {key: {"key": key, "n": i, "boxes": [[i, i + 1]]} for i, key in enumerate(KEYS)}
    for key, frame in frames.items():
        assert s.write_kelm_data(frame, key, 60) is True

    assert poll(lambda: all(raw(cluster, cluster_client, k) is not None for k in KEYS), timeout=10)
    for key, frame in frames.items():
        assert raw(cluster, cluster_client, key) == orjson.dumps(frame)
        assert 0 < owner(cluster, cluster_client, key).client.ttl(key) <= 60
        assert s.read_kelm_data(key) == frame


def test_plain_writes_reads_and_deletes(make_cluster_stashel, cluster, cluster_client):
    s = make_cluster_stashel(thread=False)
    text_key = KEYS[0]
    dict_key = next(
        k for k in KEYS if owner(cluster, cluster_client, k) is not owner(cluster, cluster_client, text_key)
    )

    assert s.write_data(text_key, "plain text") is True
    assert s.write_data(dict_key, {"a": [1, 2]}, 30) is True
    assert s.read_data(text_key) == b"plain text"
    assert s.read_kelm_data(dict_key) == {"a": [1, 2]}
    assert owner(cluster, cluster_client, text_key).client.ttl(text_key) == -1
    assert 0 < owner(cluster, cluster_client, dict_key).client.ttl(dict_key) <= 30
    assert s.read_data("cam:missing") is None
    assert s.read_kelm_data("cam:missing") is None

    assert s.delete_data(text_key) is True
    assert s.delete_data(text_key) is False
    assert s.write_kelm_data(None, dict_key) is True
    assert raw(cluster, cluster_client, dict_key) is None


def _del_calls(cluster):
    total = 0
    for node in cluster.nodes:
        stats = node.client.info("commandstats")
        total += stats.get("cmdstat_del", {}).get("calls", 0)
    return total


def test_delete_many_across_slots_counts_right_but_sends_one_del_per_slot(
    make_cluster_stashel, cluster, cluster_client
):
    s = make_cluster_stashel(thread=False)
    present = KEYS[:12]
    for key in present:
        cluster_client.set(key, b"x")
    keys = present + ["cam:missing-1", "cam:missing-2"]
    slots = {cluster_client.keyslot(k) for k in keys}
    assert len({owner(cluster, cluster_client, k).port for k in present}) == 3

    for node in cluster.nodes:
        node.client.config_resetstat()
    assert s.delete_many(keys) == len(present)
    assert all(cluster_client.exists(k) == 0 for k in present)
    # No CROSSSLOT error: the cluster client splits the call into one DEL per
    # slot and adds the replies up. It is therefore not atomic across slots.
    assert _del_calls(cluster) == len(slots)


def test_delete_many_with_a_hash_tag_is_one_del(make_cluster_stashel, cluster, cluster_client):
    s = make_cluster_stashel(thread=False)
    keys = [f"{{cam7}}:frame:{i}" for i in range(5)]
    for key in keys[:4]:
        cluster_client.set(key, b"x")
    for node in cluster.nodes:
        node.client.config_resetstat()
    assert s.delete_many(keys) == 4
    assert _del_calls(cluster) == 1
    assert s.delete_many([]) == 0


def test_scan_keys_walks_every_primary(make_cluster_stashel, cluster, cluster_client):
    s = make_cluster_stashel(thread=False)
    for key in KEYS:
        cluster_client.set(key, b"x")
    cluster_client.set("other:1", b"x")

    found = s.scan_keys("cam:*")
    assert sorted(found) == sorted(KEYS)
    assert all(type(k) is str for k in found)
    # Each primary held part of them, so the walk visited all three.
    assert {owner(cluster, cluster_client, k).port for k in found} == set(cluster.ports)
    assert s.scan_keys("nothing:*") == []


@pytest.fixture
def subscribers_on_every_node(cluster):
    made = []

    def start(channel):
        subs = [Subscriber(node.port, channel) for node in cluster.nodes]
        made.extend(subs)
        return subs

    yield start
    for sub in made:
        sub.close()


@pytest.mark.parametrize("thread", [False, True], ids=["direct", "threaded"])
def test_notifications_reach_subscribers_on_every_node(
    make_cluster_stashel, cluster, cluster_client, subscribers_on_every_node, thread
):
    # Classic PUBLISH is relayed over the cluster bus to every node, so a
    # subscriber connected to any node sees the write, whichever node owns
    # the key and whichever node the client sent the PUBLISH to.
    s = make_cluster_stashel(thread=thread)
    key = KEYS[3]
    subs = subscribers_on_every_node(f"{key}_notify")

    assert s.write_kelm_data({"n": 1}, key) is True
    assert s.write_data(key, "again") is True
    expected = [(f"{key}_notify".encode(), b"1")] * 2
    assert poll(lambda: all(len(sub.received()) >= 2 for sub in subs), timeout=5)
    time.sleep(0.05)  # room for unexpected extra messages
    for sub in subs:
        assert sub.received() == expected
