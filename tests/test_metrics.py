"""The writer's outcome counted (writer_stats), exported through OpenTelemetry,
and scraped by a real Prometheus."""

import gc
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import threading
import urllib.parse
import urllib.request

import pytest
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader

from kelm_sdk.redis import metrics
from kelm_sdk.redis.stashel import Stashel
from kelm_sdk.redis.watch import Watcher
from stashel_testing import LOOPBACK, DelayedSet, FakeClient, wait_until


def adds_up(stats):
    return stats["accepted"] == sum(stats[outcome] for outcome in metrics.OUTCOMES) + stats["pending"]


def set_calls(redisdb):
    return redisdb.info("commandstats").get("cmdstat_set", {}).get("calls", 0)


def test_counts_add_up_at_every_moment_and_match_the_servers_sets(make_stashel, redisdb):
    instance = make_stashel()
    instance._redis_client = DelayedSet(instance._redis_client, 0.01)
    before, samples, done = set_calls(redisdb), [], threading.Event()

    def sample():
        while not done.is_set():
            samples.append(adds_up(metrics.writer_stats(instance)))

    sampler = threading.Thread(target=sample)
    sampler.start()
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for i in range(2000):
            assert instance.write_kelm_data({"i": i}, f"k{i % 20}") is True
            if i % 7 == 0:
                instance.write_kelm_data(None, f"k{(i + 3) % 20}")
        parked = metrics.writer_stats(instance)["pending"]
        instance._redis_client.delay = 0.05  # the shutdown's 0.5 s cannot store them all
        instance._shutdown_executor()
    finally:
        sys.setswitchinterval(previous)
    done.set()
    sampler.join(10)
    instance._worker.join(5)  # the write the shutdown stopped waiting for
    stats = metrics.writer_stats(instance)
    assert len(samples) > 10 and all(samples) and adds_up(stats)
    assert stats["accepted"] == 2000 and stats["pending"] == 0 and parked > 2
    assert stats["stored"] == set_calls(redisdb) - before
    assert min(stats[o] for o in ("stored", "superseded", "withdrawn", "discarded")) > 0
    assert 0 < stats["wait_p50_s"] <= stats["wait_p99_s"]


def test_refused_failed_and_unannounced_writes_are_counted_on_every_path(make_stashel):
    instance = make_stashel()
    client = instance._redis_client = FakeClient(set=False)
    instance.write_kelm_data({"a": 1}, "refused")
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    client.replies["set"] = True
    client.raises["publish"] = ConnectionError("down")
    instance.write_kelm_data({"a": 1}, "unannounced")
    instance.write_kelm_data({1: "not text"}, "unencodable")
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    client.raises["set"] = ConnectionError("down")
    instance.write_kelm_data({"a": 1}, "failed")
    assert wait_until(lambda: instance._queue.unfinished_tasks == 0)
    stats = metrics.writer_stats(instance)
    assert {k: stats[k] for k in ("accepted", "stored", "refused", "failed", "pending", "publish_failed")} == {
        "accepted": 4,
        "stored": 1,
        "refused": 1,
        "failed": 2,
        "pending": 0,
        "publish_failed": 1,
    }
    direct = make_stashel(thread=False)
    direct._redis_client = FakeClient()
    direct._redis_client.raises["publish"] = ConnectionError("down")
    assert direct.write_kelm_data({"a": 1}, "k") is True and direct.write_data("k", "v") is True
    assert metrics.writer_stats(direct) == dict.fromkeys(metrics.writer_stats(direct), 0) | {"publish_failed": 2}
    with pytest.raises(TypeError, match="takes a Stashel, not object"):
        metrics.writer_stats(object())


def read(reader):
    found = {}
    for resource in reader.get_metrics_data().resource_metrics:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                for point in metric.data.data_points:
                    key = (metric.name, point.attributes.get("outcome"))
                    assert key not in found  # one series each, however often instrument() ran
                    found[key] = point.value
    return found


def test_instruments_read_the_process_totals_and_never_go_down(server, redisdb):
    reader = InMemoryMetricReader()
    provider = MeterProvider(metric_readers=[reader])
    metrics.instrument(provider)
    metrics.instrument(provider)  # does nothing
    store = Stashel(host=server[0], port=server[1])
    with Watcher(keys=["watched"], host=server[0], port=server[1], initial=False) as watcher:
        store.write_kelm_data({"seq": 1}, "watched")
        assert watcher.get(timeout=5) == ("watched", {"seq": 1})
        first = read(reader)
    store._shutdown_executor()
    assert first[("kelm.stashel.frames", "stored")] >= 1 and first[("kelm.watch.deliveries", None)] >= 1
    assert {name for name, _ in first} == {
        "kelm.stashel.frames",
        "kelm.stashel.pending",
        "kelm.stashel.publish_failures",
        "kelm.watch.notifications",
        "kelm.watch.deliveries",
        "kelm.watch.reconnects",
        "kelm.watch.resyncs",
        "kelm.watch.pending",
    }
    del store, watcher
    gc.collect()
    Stashel(host=server[0], port=server[1], thread=False).write_kelm_data(None, "x")
    Stashel(host=server[0], port=server[1])._shutdown_executor()  # a new record drops the gone ones
    later = read(reader)
    assert all(later[key] >= value for key, value in first.items() if not key[0].endswith("pending"))


def test_instrument_names_the_extra_it_needs(monkeypatch):
    monkeypatch.setitem(sys.modules, "opentelemetry", None)
    with pytest.raises(ImportError, match=r"kelm-sdk-stashel\[otel\]"):
        metrics.instrument()


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return sock.getsockname()[1]


APP = """
    import sys, time
    from opentelemetry.exporter.prometheus import PrometheusMetricReader
    from opentelemetry.sdk.metrics import MeterProvider
    from prometheus_client import start_http_server
    from kelm_sdk.redis import metrics
    from kelm_sdk.redis.stashel import Stashel

    start_http_server({port}, addr="127.0.0.1")
    metrics.instrument(MeterProvider(metric_readers=[PrometheusMetricReader()]))
    store = Stashel(host={host!r}, port={redis_port})
    for seq in range(5):
        store.write_kelm_data({{"seq": seq}}, "scraped-%d" % seq)
    store._queue.join()
    print("ready", flush=True)
    sys.stdin.read()
"""


def test_a_real_prometheus_scrapes_the_stored_count(server, tmp_path):
    app_port, prometheus_port = free_port(), free_port()
    (tmp_path / "prometheus.yml").write_text(
        textwrap.dedent(f"""
        global: {{scrape_interval: 1s}}
        scrape_configs:
          - job_name: app
            static_configs: [{{targets: ["127.0.0.1:{app_port}"]}}]
        """)
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    code = textwrap.dedent(APP.format(port=app_port, host=server[0], redis_port=server[1]))
    app = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
    )
    prometheus = subprocess.Popen(
        [
            shutil.which("prometheus") or "prometheus",
            f"--config.file={tmp_path / 'prometheus.yml'}",
            f"--storage.tsdb.path={tmp_path / 'data'}",
            f"--web.listen-address=127.0.0.1:{prometheus_port}",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},  # a sanitizer run's runtime is ours
    )
    query = urllib.parse.urlencode({"query": 'kelm_stashel_frames_total{outcome="stored"}'})

    def stored():
        try:
            url = f"http://{LOOPBACK}:{prometheus_port}/api/v1/query?{query}"
            with urllib.request.urlopen(url, timeout=2) as reply:
                result = json.load(reply)["data"]["result"]
            return [float(series["value"][1]) for series in result]
        except OSError:
            return []

    try:
        assert app.stdout.readline() == "ready\n"
        assert wait_until(lambda: stored() == [5.0], timeout=30, interval=0.5), stored()
    finally:
        prometheus.terminate()
        app.communicate("", timeout=10)
        prometheus.wait(10)
