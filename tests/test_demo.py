"""The frame-pipeline demo, run as users run it: a subprocess with real
producer and consumer processes against the test server."""

import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

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
    assert summary["server"] == {"host": host, "port": port, "embedded": False}
    assert summary["produced"] > 0 and summary["frames_read"] > 0
    assert summary["write_failures"] == summary["read_failures"] == 0
    # Every frame is either stored or dropped; each stored frame is announced once.
    assert summary["stored"] + summary["dropped_by_queue"] + summary["discarded_at_shutdown"] == summary["produced"]
    assert summary["notifications"] == summary["stored"]
    # The Watcher delivers each notification or folds it into a pending one.
    assert summary["deliveries"] + summary["coalesced"] == summary["notifications"]
    assert summary["reconnects"] == 0
    assert summary["frames_read"] <= summary["stored"]
    if mode:
        assert summary["dropped_by_queue"] == 0
    lat = summary["latency_ms"]
    assert 0 < lat["p50"] <= lat["p95"] <= lat["p99"]
    # Only the demo's own keys are removed.
    assert redisdb.keys("stashel-demo:*") == []
    assert redisdb.get("not-the-demos") == b"kept"


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
