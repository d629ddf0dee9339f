#!/usr/bin/env python3
"""Benchmark of the Stashel client against a private local redis-server.

Every row is a comparison measured side by side in this one run: the
contenders take turns (A B, B A, ...) and each round yields one ratio; the
table shows the median ratio (row 2: difference) with its quartiles over
the rounds. Each row is a module of bench/rows/, chosen by number or name:

  1 overhead  against the same commands written inline with redis-py + orjson
  2 dispatch  cost with a do-nothing client in `_redis_client` (no network),
              and the cost of the Python function in front of each compiled method
  3 pipeline  frames stored per second by the background writer against a
              plain SET + PUBLISH loop, and the producer's cost per call
  4 parsers   pure-Python RESP parser against hiredis
  5 watch     Watcher and AsyncWatcher: notifications delivered per second and
              notify-to-delivery latency against a plain get_message + GET loop
              on the same server
  6 multikey  one instance writing 10 keys per tick at 50 Hz against inline
              redis-py: share of key-ticks stored within 50 ms, time per tick
  7 busy      a producer computing in Python between frames: stored / produced
              and the producer's speed, against direct mode and the work alone
  8 overload  row 6's producer over a 1.5 s SIGSTOP of its server (longest
              tick, catch-up), and a burst of 100,000 keys (all stored, the
              frames pending, memory), against inline redis-py
  plus redis-benchmark -c 1 -P 1 SET and PUBLISH as the machine's limit.

Results go to bench/results/ (JSON, PNG chart, Markdown table).
"""

import argparse
import datetime
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "demo"))

# The private server listens on a Unix socket too, and a Stashel made without
# host or port reaches it there, as a deployment's REDIS_URL would say (read
# when the class is made, so before the rows import it). Rows that name the
# host and port reach it over loopback TCP.
for _name in ("REDIS_USERNAME", "REDIS_PASSWORD"):
    os.environ.pop(_name, None)
SOCKET_DIR = tempfile.TemporaryDirectory(prefix="stashel-bench-")
UNIX_SOCKET = os.path.join(SOCKET_DIR.name, "redis.sock")
os.environ["REDIS_URL"] = f"unix://{UNIX_SOCKET}"

import orjson  # noqa: E402
import redis  # noqa: E402

import rows  # noqa: E402
from harness import Bench  # noqa: E402
from redis_server import PrivateRedis  # noqa: E402
from report import markdown, save  # noqa: E402


def machine_limit(bench):
    limits = {}
    for label, extra in (("SET", ["-t", "set"]), ("PUBLISH", ["PUBLISH", "bench_notify", "1"])):
        cmd = [
            "redis-benchmark",
            "-h",
            bench.host,
            "-p",
            str(bench.port),
            "-c",
            "1",
            "-P",
            "1",
            "-n",
            str(int(20000 * max(bench.scale, 0.25))),
            "--csv",
            *extra,
        ]
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=120, check=False).stdout
            line = [x for x in out.splitlines() if x and not x.startswith('"test"')][-1]
            limits[label] = float(line.split(",")[1].strip('"'))
        except (OSError, subprocess.SubprocessError, IndexError, ValueError) as exc:
            limits[label] = None
            print(f"redis-benchmark {label}: {exc}", flush=True)
    if limits.get("SET") and limits.get("PUBLISH"):
        limits["SET+PUBLISH pair"] = 1 / (1 / limits["SET"] + 1 / limits["PUBLISH"])
    print("redis-benchmark -c 1 -P 1: " + ", ".join(f"{k} {v:,.0f}/s" for k, v in limits.items() if v), flush=True)
    return limits


def measured_commit():
    """The commit whose code is measured; "+changes" when the checkout differs from it."""

    def git(*args):
        return subprocess.run(["git", *args], check=False, cwd=HERE, capture_output=True, text=True).stdout.strip()

    commit = git("rev-parse", "--short", "HEAD") or "unknown"
    changed = git("status", "--porcelain", "--untracked-files=no", "--", "src", "CMakeLists.txt", "bench")
    return commit + ("+changes" if changed else "")


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--rows", default=",".join(rows.NAMES), help="comma-separated row numbers or names to run (default all)"
    )
    parser.add_argument("--scale", type=float, default=1.0, help="multiplier for the number of rounds")
    parser.add_argument("--out", default=str(HERE / "results"), help="directory for the results")
    args = parser.parse_args(argv)
    try:
        selected = rows.select(args.rows)
    except ValueError as exc:
        parser.error(str(exc))

    started = time.monotonic()
    args_text = " ".join(argv if argv is not None else sys.argv[1:])
    make_args = ' ARGS="' + args_text + '"' if args_text else ""
    run_args = " " + args_text if args_text else ""
    result = {
        "command": f"make bench{make_args} (.venv/bin/python bench/run.py{run_args})",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": measured_commit(),
        "machine": {
            "cpus": os.cpu_count(),
            "load": [round(x, 2) for x in os.getloadavg()],
            "python": platform.python_version(),
            "redis-py": redis.__version__,
            "orjson": orjson.__version__,
        },
    }
    try:
        import hiredis

        result["machine"]["hiredis"] = hiredis.__version__
    except ImportError:
        result["machine"]["hiredis"] = None
    with PrivateRedis(unix_socket=UNIX_SOCKET) as server:
        result["machine"]["redis-server"] = redis.Redis(host=server.host, port=server.port).info()["redis_version"]
        bench = Bench(server.host, server.port, args.scale)
        print(
            f"private redis-server {result['machine']['redis-server']} at {server.host}:{server.port}; "
            f"load average {result['machine']['load']}",
            flush=True,
        )
        for row in selected:
            row.run(bench)
        result["redis_benchmark"] = machine_limit(bench)
    result["rows"] = bench.rows
    result["producer_cost"] = None
    result.update(bench.extras)
    result["summaries"] = bench.summaries
    result["seconds"] = round(time.monotonic() - started, 1)

    out = Path(args.out)
    saved = save(result, out)
    print(f"\n{markdown(result)}\nsaved {saved} ({result['seconds']} s)")
    missed = [r["name"] for r in bench.rows if r.get("met") is False]
    if missed:
        print("goals missed: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
