#!/usr/bin/env python3
"""What one frame costs the client's CPU with each redis-py the package admits.

Every redis-py version gets its own virtual environment under --cache with
that version (with hiredis), the newest orjson and this package built once
as a wheel. One private redis-server on a free loopback port serves them all.
The versions run as worker processes that take turns (A B ... B A), so drift
in machine load hits them alike. Operations:

  write     direct mode: Stashel(thread=False).write_kelm_data(frame, key, ttl)
  read      read_kelm_data(key): GET + decode
  threaded  threaded mode: write_kelm_data, then wait until the background
            writer has stored it (a producer slower than the writer);
            producer + writer CPU, since process_time covers all threads

Figures: process CPU time per frame (median and quartiles over rounds),
callgrind instructions per frame ((loop of N - loop of M) / (N - M)), and
Python function calls and builtin calls (sys.setprofile "call" and "c_call"
events) per SET, per direct frame write and per read. Results go to
bench/results/redis_versions.{json,md}.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OPS = ("write", "read", "threaded")
TTL = 60
HOST = "127.0.0.1"


def frame():
    return {"seq": 1, "t": 1_700_000_000_000, "width": 640, "height": 480, "payload": "x" * 1024}


# ----------------------------------------------------------- worker side (one venv)


def operations(port, needed=OPS):
    from kelm_sdk.redis.stashel import Stashel

    key, f, ops = f"bench:versions:{os.getpid()}", frame(), {}
    direct = Stashel(thread=False, host=HOST, port=port)
    direct.write_kelm_data(f, key, TTL)
    assert direct.read_kelm_data(key) == f, "frame did not round-trip"
    ops["write"] = lambda: direct.write_kelm_data(f, key, TTL)
    ops["read"] = lambda: direct.read_kelm_data(key)
    if "threaded" in needed:  # its idle writer polls: only where it is measured
        threaded = Stashel(host=HOST, port=port)
        q = threaded._queue

        def stored():
            threaded.write_kelm_data(f, key, TTL)
            q.join()

        ops["threaded"] = stored
        direct.delete_data(key)
        stored()
        assert direct.read_kelm_data(key) == f, "the background writer did not store the frame"
    return direct, key, ops


def calls(fn, n=200):
    """Python function calls and builtin (C) calls per fn(), fn itself not counted."""
    events = {"call": 0, "c_call": 0}

    def profile(_frame, event, _arg):
        if event in events:
            events[event] += 1

    sys.setprofile(profile)
    for _ in range(n):
        fn()
    sys.setprofile(None)
    return events["call"] / n - 1, events["c_call"] / n


def worker(port):
    """Answers one JSON line per command line on stdin: `cpu OP N` or `calls`."""
    import hiredis
    import orjson
    import redis

    direct, key, ops = operations(port)
    client, value = direct._redis_client, orjson.dumps(frame())
    for fn in ops.values():  # warm up: connections made, code paths taken
        for _ in range(50):
            fn()
    print(
        json.dumps(
            {
                "redis": redis.__version__,
                "hiredis": hiredis.__version__,
                "orjson": orjson.__version__,
                "python": sys.version.split()[0],
            }
        ),
        flush=True,
    )
    for line in sys.stdin:
        cmd = line.split()
        if cmd[0] == "cpu":
            fn, n = ops[cmd[1]], int(cmd[2])
            t0 = time.process_time()
            for _ in range(n):
                fn()
            out = (time.process_time() - t0) * 1e6 / n
        else:
            # The writer thread is not profiled: no count for the threaded path.
            out = {
                "SET": calls(lambda: client.set(key, value, ex=TTL)),
                "write": calls(ops["write"]),
                "read": calls(ops["read"]),
            }
        print(json.dumps(out), flush=True)


def loop(port, op, count):
    """The body run under callgrind: a warm-up, then `count` calls."""
    fn = operations(port, (op,))[2][op]
    for _ in range(20 + count):
        fn()


# ----------------------------------------------------------- driver side


def sh(*cmd):
    done = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, check=False)
    if done.returncode:
        sys.exit(f"failed: {' '.join(map(str, cmd))}\n{done.stdout}{done.stderr}")


def prepare(cache, specs, python):
    """One venv per spec ("5.0.0", "8.*": the newest 8.x); returns {spec: python}."""
    cache.mkdir(parents=True, exist_ok=True)
    builder = cache / "builder"
    if not (builder / "bin/python").exists():
        sh(python, "-m", "venv", builder)
        sh(builder / "bin/pip", "install", "-q", "scikit-build-core", "cmake", "ninja")
    wheels = cache / "wheel"
    shutil.rmtree(wheels, ignore_errors=True)
    print("building the wheel ...", flush=True)
    sh(
        builder / "bin/pip",
        "wheel",
        "-q",
        "--no-build-isolation",
        "--no-deps",
        "-w",
        wheels,
        "-C",
        f"build-dir={cache / 'cmake-build'}",
        ROOT,
    )
    wheel = next(wheels.glob("*.whl"))
    pythons = {}
    for spec in specs:
        venv = cache / ("redis-" + spec.replace("*", "x"))
        if not (venv / "bin/python").exists():
            sh(python, "-m", "venv", venv)
        print(f"redis[hiredis]=={spec} in {venv} ...", flush=True)
        sh(venv / "bin/pip", "install", "-q", "-U", f"redis[hiredis]=={spec}", "orjson>=3.9,<4")
        sh(venv / "bin/pip", "install", "-q", "--no-deps", "--force-reinstall", wheel)
        pythons[spec] = venv / "bin/python"
    return pythons


class Server:
    """redis-server on a free loopback port, without persistence."""

    def __enter__(self):
        with socket.socket() as s:
            s.bind((HOST, 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen(
            [
                "redis-server",
                "--port",
                str(self.port),
                "--bind",
                HOST,
                "--save",
                "",
                "--appendonly",
                "no",
                "--daemonize",
                "no",
                "--loglevel",
                "warning",
            ],
            stdout=subprocess.DEVNULL,
            start_new_session=True,
        )
        for _ in range(100):
            try:
                with socket.create_connection((HOST, self.port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("redis-server did not answer")

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)


class Worker:
    """One venv's worker process: a line in, a JSON line out."""

    def __init__(self, python, port):
        self.proc = subprocess.Popen(
            [python, __file__, "--worker", "--port", str(port)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        first = self.proc.stdout.readline()
        if not first:  # it died on its way up; its traceback is above
            sys.exit(f"{python}: the worker failed to start")
        self.versions = json.loads(first)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def instructions(python, port, op, count):
    out = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            python,
            __file__,
            "--loop",
            op,
            "--count",
            str(count),
            "--port",
            str(port),
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
        check=True,
    )
    return int(re.search(r"Collected : (\d+)", out.stderr).group(1))


def markdown(result, specs):
    v, ratio = result["versions"], result["ratio"]
    old, new = v[specs[0]], v[specs[-1]]
    lines = [
        (
            f"Command: `{result['command']}`, {result['date']}, {result['cpus']} cores shared with other jobs, "
            f"load average {result['load']}; Python {old['python']}, hiredis {old['hiredis']}, orjson "
            f"{old['orjson']}, redis-server {result['redis_server']}; {result['rounds']} rounds of "
            f"{result['frames']} frames per operation and version."
        ),
        "",
        (
            "CPU: µs of process CPU time per frame, median [quartiles] over rounds (ratio row: per-round "
            "ratio). Instructions: callgrind, per frame (loop of "
            f"{result['n']} - loop of {result['m']}) / {result['n'] - result['m']}. Python calls "
            "(and builtin calls): sys.setprofile call (c_call) events per `_redis_client.set(key, value, ex=ttl)`, "
            "per direct frame write (SET + PUBLISH) and per read."
        ),
        "",
        "| redis-py | "
        + " | ".join(f"{op} CPU µs" for op in OPS)
        + " | "
        + " | ".join(f"{op} instr." for op in OPS)
        + " | Py calls per SET | per write | per read |",
        "|---" * 10 + "|",
    ]

    def cells(r, fmt, ins_fmt, calls_fmt):
        cpu = [
            f"{fmt.format(r['cpu'][op]['median'])} [{fmt.format(r['cpu'][op]['p25'])}.."
            f"{fmt.format(r['cpu'][op]['p75'])}]"
            for op in OPS
        ]
        ins = [ins_fmt.format(r["instructions"][op]) if op in r["instructions"] else "-" for op in OPS]
        py = [
            calls_fmt.format(r["calls"][k][0]) + " (" + calls_fmt.format(r["calls"][k][1]) + ")"
            for k in ("SET", "write", "read")
        ]
        return " | ".join(cpu + ins + py)

    for spec in specs:
        lines.append(f"| {v[spec]['redis']} | {cells(v[spec], '{:.1f}', '{:,.0f}', '{:.0f}')} |")
    lines.append(f"| **{new['redis']} / {old['redis']}** | {cells(ratio, '{:.2f}', '{:.2f}', '{:.2f}')} |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--versions",
        default="6.0.0,6.*,7.*,8.*",
        help="pip version specs, oldest first, newest last (default %(default)s)",
    )
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--frames", type=int, default=500, help="frames per operation per turn")
    parser.add_argument("-n", type=int, default=300, help="calls in the long callgrind loop (0: skip callgrind)")
    parser.add_argument("-m", type=int, default=100, help="calls in the short callgrind loop")
    parser.add_argument("--cache", default=str(ROOT / "build/bench-venvs"))
    parser.add_argument("--python", default=sys.executable, help="interpreter for the venvs")
    parser.add_argument("--out", default=str(HERE / "results"))
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--loop", choices=OPS, help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker(args.port)
    if args.loop:
        return loop(args.port, args.loop, args.count)

    sys.path.insert(0, str(HERE))
    from harness import paired, quantile

    specs = args.versions.split(",")
    pythons = prepare(Path(args.cache), specs, args.python)
    started, load = time.monotonic(), os.getloadavg()
    with Server() as server:
        workers = {s: Worker(pythons[s], server.port) for s in specs}
        versions = {s: w.versions for s, w in workers.items()}
        print("versions: " + ", ".join(v["redis"] for v in versions.values()), flush=True)
        cpu = {s: {op: [] for op in OPS} for s in specs}
        for r in range(args.rounds):
            for op in OPS:
                for s in specs if r % 2 == 0 else specs[::-1]:
                    cpu[s][op].append(workers[s].ask(f"cpu {op} {args.frames}"))
            print(
                f"round {r + 1}/{args.rounds} (µs per frame, {'/'.join(OPS)}): "
                + "; ".join(
                    versions[s]["redis"] + " " + "/".join(f"{cpu[s][op][-1]:.1f}" for op in OPS) for s in specs
                ),
                flush=True,
            )
        for s in specs:
            versions[s]["calls"] = workers[s].ask("calls")
            workers[s].close()
        if args.n and not shutil.which("valgrind"):
            print("valgrind not found (apt-get install valgrind): no instruction counts", flush=True)
        for s in specs:
            versions[s]["instructions"] = {}
            for op in OPS if args.n and shutil.which("valgrind") else ():
                got = (
                    instructions(pythons[s], server.port, op, args.n)
                    - instructions(pythons[s], server.port, op, args.m)
                ) / (args.n - args.m)
                versions[s]["instructions"][op] = got
                print(f"{versions[s]['redis']} {op}: {got:,.0f} instructions per frame", flush=True)
    for s in specs:
        versions[s]["cpu"] = {
            op: {"median": quantile(v, 0.5), "p25": quantile(v, 0.25), "p75": quantile(v, 0.75), "per_round": v}
            for op, v in cpu[s].items()
        }
    old, new = versions[specs[0]], versions[specs[-1]]
    ratio = {
        "cpu": {op: paired(cpu[specs[-1]][op], cpu[specs[0]][op]) for op in OPS},
        "instructions": {op: new["instructions"][op] / old["instructions"][op] for op in new["instructions"]},
        "calls": {k: [a / b for a, b in zip(new["calls"][k], old["calls"][k], strict=False)] for k in new["calls"]},
    }
    args_text = " ".join(argv if argv is not None else sys.argv[1:])
    server_version = subprocess.run(["redis-server", "--version"], capture_output=True, text=True, check=False).stdout
    result = {
        "command": "make bench-redis" + (f' ARGS="{args_text}"' if args_text else ""),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load": [round(x, 2) for x in load],
        "cpus": os.cpu_count(),
        "redis_server": re.search(r"v=(\S+)", server_version).group(1),
        "rounds": args.rounds,
        "frames": args.frames,
        "n": args.n,
        "m": args.m,
        "seconds": round(time.monotonic() - started),
        "versions": versions,
        "ratio": ratio,
    }
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "redis_versions.json").write_text(json.dumps(result, indent=1) + "\n")
    (out / "redis_versions.md").write_text(markdown(result, specs))
    print("\n" + markdown(result, specs) + f"\nsaved {out}/redis_versions.json, .md ({result['seconds']} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
