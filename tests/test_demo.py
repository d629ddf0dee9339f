"""The frame-pipeline demo, run as users run it: a subprocess with real
producer and consumer processes against the test server."""

import json
import os
import socket
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

from stashel_testing import LOOPBACK, wait_until

DEMO = Path(__file__).resolve().parent.parent / "demo" / "pipeline.py"


def run_demo(*args, timeout=90):
    env = dict(os.environ)
    env.pop("REDIS_HOST", None)
    return subprocess.run(
        [sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=timeout, env=env, check=False
    )


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize("mode", [[], ["--direct"]], ids=["threaded", "direct"])
def test_demo_against_configured_server_accounts_for_every_frame(server, redisdb, mode):
    host, port = server
    redisdb.set("not-the-demos", "kept")
    done = run_demo("--host", host, "--port", str(port), "--duration", "2", "--rate", "50", "--json", *mode)
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    assert summary["server"] == {"host": host, "port": port, "embedded": False, "shown": f"{host}:{port}"}
    assert summary["produced"] > 0 and summary["frames_read"] > 0
    assert summary["write_failures"] == summary["read_failures"] == summary["publish_failures"] == 0
    # Every frame is stored or superseded (the demo deletes nothing, and its
    # shutdown waits); each stored frame is announced once.
    assert summary["stored"] + summary["superseded"] == summary["produced"]
    assert summary["withdrawn"] == summary["discarded_at_shutdown"] == 0
    assert summary["notifications"] == summary["stored"]
    # The Watcher delivers each notification or folds it into a pending one.
    assert summary["deliveries"] + summary["coalesced"] == summary["notifications"]
    assert summary["reconnects"] == 0
    assert summary["frames_read"] <= summary["stored"]
    if mode:
        assert summary["superseded"] == 0
    else:
        assert all(p["wait_ms"]["p50"] > 0 for p in summary["per_producer"])
    assert summary["latency_ms"]["p50"] > 0
    # Only the demo's own keys are removed.
    assert redisdb.keys("stashel-demo:*") == []
    assert redisdb.get("not-the-demos") == b"kept"


def test_demo_runs_against_a_secured_server_from_the_environment(make_secured):
    from secured_servers import SECRET, child_env

    server = make_secured("acl_user")
    done = subprocess.run(
        [sys.executable, str(DEMO), "--duration", "1", "--rate", "50", "--producers", "1", "--json"],
        capture_output=True,
        text=True,
        timeout=90,
        env=child_env(server.env),
        check=False,
    )
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    assert summary["server"]["shown"] == server.env["REDIS_URL"] and summary["frames_read"] > 0
    assert summary["write_failures"] == 0 and summary["stored"] + summary["superseded"] == summary["produced"]
    assert server.admin.keys("stashel-demo:*") == []
    assert SECRET not in done.stdout + done.stderr


def test_demo_serves_each_processs_metrics_while_it_runs(server):
    port = closed_port()
    env = {k: v for k, v in os.environ.items() if k != "REDIS_HOST"}
    args = ["--host", server[0], "--port", str(server[1]), "--duration", "4", "--producers", "1"]
    demo = subprocess.Popen(
        [sys.executable, str(DEMO), *args, "--metrics-port", str(port)],
        env=env,
        text=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )

    def scraped(p):
        try:
            with urllib.request.urlopen(f"http://{LOOPBACK}:{p}/metrics", timeout=1) as reply:
                return reply.read().decode()
        except OSError:
            return ""

    try:
        assert wait_until(lambda: "kelm_stashel_frames_total{" in scraped(port), timeout=30, interval=0.2)
        assert wait_until(lambda: "kelm_watch_deliveries_total{" in scraped(port + 1), timeout=30, interval=0.2)
    finally:
        assert demo.wait(60) == 0, demo.stderr.read()


def test_demo_without_a_server_starts_and_stops_a_private_one():
    done = run_demo("--embedded", "--duration", "1", "--json")
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    assert summary["server"]["embedded"] is True and summary["frames_read"] > 0
    with socket.socket() as sock:  # the private server is gone
        assert sock.connect_ex(("127.0.0.1", summary["server"]["port"])) != 0


def test_unreachable_configured_server_is_a_clear_error():
    done = run_demo("--host", "127.0.0.1", "--port", str(closed_port()), "--duration", "1", timeout=30)
    assert done.returncode == 2
    assert "no Redis server answers at 127.0.0.1:" in done.stderr
    assert "Traceback" not in done.stderr
