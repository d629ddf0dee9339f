"""The benchmark program end to end, at its smallest size: it must keep
running against the current module and write its results."""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

RUN = Path(__file__).resolve().parent.parent / "bench" / "run.py"


def test_dispatch_and_watcher_rows_run_and_write_results(tmp_path):
    done = subprocess.run(
        [sys.executable, str(RUN), "--rows", "2,5", "--scale", "0.02", "--out", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "latest.json").read_text())
    names = {row["name"] for row in result["rows"]}
    for method in (
        "write_data (text)",
        "_write_",
        "write_kelm_data (direct)",
        "read_data",
        "read_kelm_data",
        "delete_data",
        "delete_many (3 keys)",
        "scan_keys (3 keys)",
    ):
        assert f"{method}: C++" in names and f"{method}: Python (reference)" in names
    assert {"notifications delivered/s (queued burst)", "notify-to-delivery latency p99"} <= names
    for row in result["rows"]:
        assert row["rounds"] >= 3 and row["a_median"] > 0 and row["b_median"] > 0
    assert set(result["redis_benchmark"]) >= {"SET", "PUBLISH"}
    if importlib.util.find_spec("matplotlib"):  # the chart needs the bench extra
        assert (tmp_path / "latest.png").stat().st_size > 0
    assert "| 2 |" in (tmp_path / "latest.md").read_text()
