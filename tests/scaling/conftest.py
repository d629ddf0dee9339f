"""Local Redis Cluster and Sentinel groups for the scale-out tests.

Every process is Debian's redis-server, bound to 127.0.0.1 on a free port,
with its files in a temp dir; all of them are stopped at teardown."""

import os
import shutil
import subprocess

import pytest
import redis
import redis.cluster
import redis.sentinel

from kelm_sdk.redis.stashel import Stashel

from .scaling_procs import HOST, ServerProcess, free_port, poll

# Sentinel timings: short enough for a failover within a few seconds.
DOWN_AFTER_MS = 1000
FAILOVER_TIMEOUT_MS = 4000


def _need_redis_server():
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        pytest.skip("redis-server and redis-cli are needed (make setup installs them)")


# --------------------------------------------------------------------------
# Cluster


class Cluster:
    def __init__(self, workdir):
        self.nodes = []
        try:
            for i in range(3):
                port = free_port(with_bus=True)
                self.nodes.append(
                    ServerProcess(
                        workdir,
                        f"cluster-{i}",
                        port,
                        [
                            "--cluster-enabled",
                            "yes",
                            "--cluster-config-file",
                            os.path.join(workdir, f"cluster-{i}", "nodes.conf"),
                            "--cluster-node-timeout",
                            "5000",
                        ],
                    )
                )
            create = subprocess.run(
                ["redis-cli", "--cluster", "create"]
                + [f"{HOST}:{node.port}" for node in self.nodes]
                + ["--cluster-replicas", "0", "--cluster-yes"],
                capture_output=True,
                text=True,
                timeout=60,
                check=False,
            )
            if create.returncode != 0:
                raise RuntimeError(f"cluster create failed: {create.stdout}{create.stderr}")
            if not poll(self._ready, timeout=30):
                raise RuntimeError("cluster did not reach cluster_state:ok on every node")
        except BaseException:
            self.stop()
            raise

    def _ready(self):
        for node in self.nodes:
            if node.client.cluster("info").get("cluster_state") != "ok":
                return False
            if len(node.client.cluster("slots")) != 3:
                return False
        return True

    @property
    def ports(self):
        return [node.port for node in self.nodes]

    def stop(self):
        for node in self.nodes:
            node.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    """Three primaries, no replicas, every slot covered; stopped at session end."""
    _need_redis_server()
    cluster = Cluster(str(tmp_path_factory.mktemp("cluster")))
    yield cluster
    cluster.stop()


@pytest.fixture(scope="session")
def cluster_client(redis_cluster):
    """A cluster-aware client that starts from the first node only."""
    client = redis.cluster.RedisCluster(host=HOST, port=redis_cluster.ports[0])
    yield client
    client.close()


@pytest.fixture
def cluster(redis_cluster, cluster_client):
    """The cluster, with every primary flushed after the test."""
    yield redis_cluster
    for node in redis_cluster.nodes:
        node.client.flushall()


@pytest.fixture
def make_cluster_stashel(cluster, cluster_client):
    """Stashel instances whose client is swapped for the cluster client.
    The constructor still builds its own single-node pool (it sends nothing);
    only `_redis_client` changes."""
    made = []

    def make(**kwargs):
        kwargs.setdefault("host", HOST)
        kwargs.setdefault("port", cluster.ports[0])
        instance = Stashel(**kwargs)
        instance._redis_client = cluster_client
        made.append(instance)
        return instance

    yield make
    for instance in made:
        instance._shutdown_executor()


# --------------------------------------------------------------------------
# Sentinel


class SentinelGroup:
    """A primary, one replica of it, and one Sentinel watching them (quorum 1)."""

    SERVICE = "mymaster"

    def __init__(self, workdir):
        self.primary = self.replica = self.sentinel = None
        try:
            # No wait before the first full sync (the server waits 5 s by default).
            no_delay = ["--repl-diskless-sync-delay", "0"]
            self.primary = ServerProcess(workdir, "primary", free_port(), no_delay)
            self.replica = ServerProcess(
                workdir, "replica", free_port(), no_delay + ["--replicaof", HOST, str(self.primary.port)]
            )
            if not poll(lambda: self.replica.client.info("replication")["master_link_status"] == "up", 15):
                raise RuntimeError("replica did not link to the primary")
            self.sentinel = ServerProcess(
                workdir,
                "sentinel",
                free_port(),
                [
                    f"sentinel monitor {self.SERVICE} {HOST} {self.primary.port} 1",
                    f"sentinel down-after-milliseconds {self.SERVICE} {DOWN_AFTER_MS}",
                    f"sentinel failover-timeout {self.SERVICE} {FAILOVER_TIMEOUT_MS}",
                    f"sentinel parallel-syncs {self.SERVICE} 1",
                ],
                sentinel=True,
            )
            if not poll(self._replica_known, timeout=20):
                raise RuntimeError("sentinel did not discover the replica: " + self.sentinel.log_tail())
        except BaseException:
            self.stop()
            raise

    def _replica_known(self):
        replicas = self.sentinel.client.sentinel_slaves(self.SERVICE)
        return any(
            r["port"] == self.replica.port and r["is_slave"] and not r["is_disconnected"] and not r["is_sdown"]
            for r in replicas
        )

    def master_address(self):
        return self.sentinel.client.sentinel_get_master_addr_by_name(self.SERVICE)

    def stop(self):
        for proc in (self.sentinel, self.replica, self.primary):
            if proc is not None:
                proc.stop()


@pytest.fixture(scope="session")
def sentinel_groups(tmp_path_factory):
    """sentinel_groups() -> a fresh SentinelGroup; a failover uses up its
    group, so each failover run asks for its own. All stop at session end."""
    _need_redis_server()
    made = []

    def start():
        group = SentinelGroup(str(tmp_path_factory.mktemp("sentinel")))
        made.append(group)
        return group

    yield start
    for group in made:
        group.stop()
