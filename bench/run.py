#!/usr/bin/env python3
"""Benchmark of the Stashel client against a private local redis-server.

Every row is a comparison measured side by side in this one run: the
contenders take turns (A B, B A, ...) and each round yields one ratio; the
table shows the median ratio (row 2: difference) with its quartiles over
the rounds.

  1  overhead against the same commands written inline with redis-py + orjson
  2  dispatch cost with a do-nothing client in `_redis_client` (no network),
     and the cost of the Python function in front of each compiled method
  3  threaded pipeline: frames stored per second by the background writer
     against a plain SET + PUBLISH loop, and the producer's cost per call
  4  parser: pure-Python RESP parser against hiredis
  5  Watcher: notifications delivered per second and notify-to-delivery
     latency against a plain get_message + GET loop on the same server
  plus redis-benchmark -c 1 -P 1 SET and PUBLISH as the machine's limit.

Results go to bench/results/ (JSON, PNG chart, Markdown table).
"""

import argparse
import datetime
import json
import multiprocessing
import os
import platform
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "demo"))

import orjson  # noqa: E402
import redis  # noqa: E402

from harness import interleave, ns_per_call, paired, quantile  # noqa: E402
from kelm_sdk.redis.stashel import Stashel  # noqa: E402
from pystashel import NullClient, PyStashel  # noqa: E402
from redis_server import PrivateRedis  # noqa: E402

PAYLOAD = "x" * 1024
SCAN_KEYS = 10_000


def frame(seq):
    return {"seq": seq, "t": time.monotonic_ns(), "width": 640, "height": 480, "payload": PAYLOAD}


def settle(q, timeout):
    """Waits until the writer has finished every queued frame. Blocks without
    polling: a polling thread would take the GIL from the writer it times."""
    waiter = threading.Thread(target=q.join, daemon=True)
    waiter.start()
    waiter.join(timeout)


def client_with(host, port, parser_class=None):
    kwargs = {"host": host, "port": port, "max_connections": 10, "decode_responses": False}
    if parser_class is not None:
        kwargs["parser_class"] = parser_class
    return redis.StrictRedis(connection_pool=redis.ConnectionPool(**kwargs))


class Bench:
    def __init__(self, host, port, scale):
        self.host, self.port, self.scale = host, port, scale
        self.rows = []
        self.admin = redis.Redis(host=host, port=port)

    def rounds(self, n):
        return max(3, int(n * self.scale))

    def add(self, group, name, a, b, figures, unit, how="ratio", goal=None, note=""):
        """One table row: contender a against b (lower is better for ns,
        higher for rates)."""
        stats = paired(figures[a], figures[b], how)
        row = {
            "group": group,
            "name": name,
            "a": a,
            "b": b,
            "unit": unit,
            "a_median": quantile(figures[a], 0.5),
            "b_median": quantile(figures[b], 0.5),
            "how": how,
            **{k: stats[k] for k in ("median", "p25", "p75", "rounds")},
            "goal": goal,
            "note": note,
        }
        if goal:
            op, bound = goal.split()
            row["met"] = stats["median"] <= float(bound) if op == "<=" else stats["median"] >= float(bound)
        self.rows.append(row)
        print(format_row(row), flush=True)
        return row

    def set_calls(self):
        return self.admin.info("commandstats").get("cmdstat_set", {}).get("calls", 0)

    # 1 -----------------------------------------------------------------
    def overhead(self):
        s = Stashel(thread=False, host=self.host, port=self.port)
        c = s._redis_client
        pipe = c.pipeline(transaction=False)
        for i in range(SCAN_KEYS):
            pipe.set(f"bench:scan:{i}", b"1")
        pipe.execute()
        c.set("bench:text", "hello")
        c.set("bench:frame", orjson.dumps(frame(0)))
        ns = {
            "s": s,
            "c": c,
            "dumps": orjson.dumps,
            "loads": orjson.loads,
            "d": frame(0),
            "k": "bench:w",
            "ch": "bench:w_notify",
            "v": "hello",
            "many": [f"bench:gone:{i}" for i in range(100)],
        }
        inline_write = "if c.set(k, {v}, ex=None):\n    c.publish(k + '_notify', '1')"
        cases = [
            ("write_data (text)", "s.write_data(k, v)", inline_write.format(v="v"), 40),
            ("write_data (dict)", "s.write_data(k, d)", inline_write.format(v="dumps(d)"), 40),
            (
                "write_kelm_data (direct)",
                "s.write_kelm_data(d, k)",
                "try:\n    "
                + inline_write.format(v="dumps(d)").replace("\n", "\n    ")
                + "\nexcept Exception:\n    pass",
                40,
            ),
            ("read_data", "s.read_data('bench:text')", "c.get('bench:text')", 80),
            ("read_kelm_data", "s.read_kelm_data('bench:frame')", "loads(c.get('bench:frame'))", 80),
            ("delete_data", "s.delete_data('bench:gone')", "bool(c.delete('bench:gone'))", 80),
            ("delete_many (100 keys)", "s.delete_many(many)", "c.delete(*many)", 40),
            (
                "scan_keys (10,000 keys)",
                "s.scan_keys('bench:scan:*')",
                "[x.decode() for x in c.scan_iter(match='bench:scan:*')]",
                1,
            ),
        ]
        for name, method, inline, number in cases:
            rounds = self.rounds(16 if number == 1 else 200)
            figures = interleave(
                [("Stashel", ns_per_call(method, ns, number)), ("inline redis-py", ns_per_call(inline, ns, number))],
                rounds,
            )
            figures = {k: [x / 1000 for x in v] for k, v in figures.items()}
            self.add(
                "1 overhead vs inline redis-py", name, "Stashel", "inline redis-py", figures, "us/call", goal="<= 1.03"
            )

    # 2 -----------------------------------------------------------------
    def dispatch(self):
        null = NullClient()
        s = Stashel(thread=False, host=self.host, port=self.port)
        s._redis_client = null
        ns = {
            "s": s,
            "p": PyStashel(null),
            "c": null,
            "dumps": orjson.dumps,
            "loads": orjson.loads,
            "d": {"frame": None},
            "k": "bench:k",
            "v": "hello",
            "keys": ["a", "b", "c"],
        }
        publish = "\n    c.publish(k + '_notify', '1')"
        cases = [
            ("write_data (text)", "write_data(k, v)", "if c.set(k, v, ex=None):" + publish),
            ("write_data (dict)", "write_data(k, d)", "if c.set(k, dumps(d), ex=None):" + publish),
            ("_write_", "_write_(d, k)", "if c.set(k, dumps(d), ex=None):" + publish),
            ("write_kelm_data (direct)", "write_kelm_data(d, k)", "if c.set(k, dumps(d), ex=None):" + publish),
            ("read_data", "read_data(k)", "c.get(k)"),
            ("read_kelm_data", "read_kelm_data(k)", "loads(c.get(k))"),
            ("delete_data", "delete_data(k)", "bool(c.delete(k))"),
            ("delete_many (3 keys)", "delete_many(keys)", "c.delete(*keys)"),
            ("scan_keys (3 keys)", "scan_keys('bench:*')", "[x.decode() for x in c.scan_iter(match='bench:*')]"),
        ]
        for name, call, inline in cases:
            number = 2_000  # short turns keep each pair close in time on a machine whose speed drifts
            figures = interleave(
                [
                    ("C++ method", ns_per_call("s." + call, ns, number)),
                    ("inline calls", ns_per_call(inline, ns, number)),
                    ("Python method", ns_per_call("p." + call, ns, number)),
                ],
                self.rounds(150),
            )
            self.add(
                "2 dispatch, do-nothing client (ns added per call)",
                name + ": C++",
                "C++ method",
                "inline calls",
                figures,
                "ns/call",
                how="diff",
                goal="<= 100",
            )
            self.add(
                "2 dispatch, do-nothing client (ns added per call)",
                name + ": Python (reference)",
                "Python method",
                "inline calls",
                figures,
                "ns/call",
                how="diff",
            )
        # Each method is a Python function whose one line hands its arguments
        # to the compiled method: the cost of that frame, by position and by keyword.
        ns["m"] = vars(Stashel)["read_data"].__closure__[0].cell_contents
        for name, call, direct in [
            ("read_data, by position", "s.read_data(k)", "m(s, k)"),
            ("read_data, by keyword", "s.read_data(redis_key=k)", "m(s, redis_key=k)"),
        ]:
            figures = interleave(
                [("method", ns_per_call(call, ns, 2_000)), ("compiled method", ns_per_call(direct, ns, 2_000))],
                self.rounds(150),
            )
            self.add(
                "2 dispatch, do-nothing client (ns added per call)",
                name + ": the function's frame",
                "method",
                "compiled method",
                figures,
                "ns/call",
                how="diff",
            )

    # 3 -----------------------------------------------------------------
    def plain_loop(self, client, count):
        def measure():
            frames = [frame(n) for n in range(count)]
            start = time.perf_counter()
            for f in frames:
                if client.set("bench:pipe", orjson.dumps(f), ex=None):
                    client.publish("bench:pipe_notify", "1")
            return count / (time.perf_counter() - start)

        return measure

    def drain(self, count, client=None):
        """Writer throughput alone: a queue big enough for `count` frames is
        filled, then timed while the background writer empties it."""

        def measure():
            s = Stashel(host=self.host, port=self.port, workers=count)
            if client is not None:
                s._redis_client = client
            for n in range(count):
                s.write_kelm_data(frame(n), "bench:pipe")
            before, start = self.set_calls(), time.perf_counter()
            return self.stored_rate(s, before, start, 60)

        return measure

    def stored_rate(self, s, before, start, timeout):
        """Waits for the writer to empty the queue, shuts the instance down and
        returns the SETs the server counted since `before`, per second since `start`."""
        settle(s._queue, timeout)
        elapsed = time.perf_counter() - start
        stored = self.set_calls() - before
        s._shutdown_executor()
        return stored / elapsed

    def offered(self, seconds, yield_gil):
        """Producer thread writing frames for `seconds` as fast as it can;
        figure: frames the writer stored per second."""

        def measure():
            s = Stashel(host=self.host, port=self.port)
            before, start = self.set_calls(), time.perf_counter()
            end, n = start + seconds, 0
            while time.perf_counter() < end:
                s.write_kelm_data(frame(n), "bench:pipe")
                n += 1
                if yield_gil:
                    time.sleep(0)
            return self.stored_rate(s, before, start, 5)

        return measure

    def pipeline(self):
        group = "3 threaded pipeline (frames stored/s)"
        plain = self.plain_loop(client_with(self.host, self.port), 300)
        figures = interleave(
            [("writer draining queue", self.drain(300)), ("plain SET+PUBLISH loop", plain)], self.rounds(80)
        )
        self.add(
            group,
            "writer alone (queue pre-filled)",
            "writer draining queue",
            "plain SET+PUBLISH loop",
            figures,
            "frames/s",
            goal=">= 0.95",
        )
        figures = interleave(
            [
                ("writer, producer tight loop", self.offered(0.4, False)),
                ("writer, producer yields GIL", self.offered(0.4, True)),
                ("plain SET+PUBLISH loop", self.plain_loop(client_with(self.host, self.port), 1500)),
            ],
            self.rounds(8),
        )
        self.add(
            group,
            "producer offering in a tight loop",
            "writer, producer tight loop",
            "plain SET+PUBLISH loop",
            figures,
            "frames/s",
            goal=">= 0.95",
            note="the producer holds the GIL, see docs/performance.md",
        )
        self.add(
            group,
            "producer offering, sleep(0) between frames",
            "writer, producer yields GIL",
            "plain SET+PUBLISH loop",
            figures,
            "frames/s",
            goal=">= 0.95",
        )

        # Producer cost per call, threaded (queue) against direct (SET + PUBLISH).
        threaded = Stashel(host=self.host, port=self.port)
        direct = Stashel(thread=False, host=self.host, port=self.port)
        samples = {"threaded": [], "direct": []}

        samples = {"threaded": [], "threaded, queue full": [], "direct": []}

        def per_call(s, name, pause, count=200):
            def measure():
                clock, out = time.perf_counter_ns, samples[name]
                for n in range(count):
                    f = frame(n)
                    t0 = clock()
                    s.write_kelm_data(f, "bench:cost")
                    out.append(clock() - t0)
                    if pause:
                        time.sleep(pause)
                return quantile(out[-count:], 0.5) / 1000

            return measure

        # 1 kHz: the writer keeps up, each frame finds room in the queue. Back to
        # back: the writer falls behind and every call takes the drop-oldest path.
        figures = interleave(
            [
                ("threaded", per_call(threaded, "threaded", 0.001)),
                ("threaded, queue full", per_call(threaded, "threaded, queue full", 0)),
                ("direct", per_call(direct, "direct", 0.001)),
            ],
            self.rounds(12),
        )
        threaded._shutdown_executor()
        group = "3 producer cost of write_kelm_data (median per call)"
        for name, note in (("threaded", "1 kHz, room in the queue"), ("threaded, queue full", "back to back")):
            row = self.add(group, f"direct / {name}", "direct", name, figures, "us/call", goal=">= 20", note=note)
            for who in (name, "direct"):
                row[who + " p50_us"] = quantile(samples[who], 0.5) / 1000
                row[who + " p99_us"] = quantile(samples[who], 0.99) / 1000
        print(
            "    producer cost: "
            + "; ".join(
                f"{who} p50 {quantile(v, 0.5) / 1000:.2f} us, p99 {quantile(v, 0.99) / 1000:.2f} us"
                for who, v in samples.items()
            ),
            flush=True,
        )
        self.producer_cost = {
            who: {"p50_us": quantile(v, 0.5) / 1000, "p99_us": quantile(v, 0.99) / 1000} for who, v in samples.items()
        }

    # 4 -----------------------------------------------------------------
    def parsers(self):
        from redis._parsers import _HiredisParser, _RESP2Parser

        group = "4 parser: pure Python / hiredis"
        hi = client_with(self.host, self.port, _HiredisParser)
        py = client_with(self.host, self.port, _RESP2Parser)
        s = Stashel(thread=False, host=self.host, port=self.port)
        big = {"payload": "y" * 65536, "result": list(range(1000))}
        s.write_kelm_data(big, "bench:big")

        def on(client, stmt, number):
            ns = {"s": s, "client": client}
            timer = ns_per_call(stmt, ns, number)

            def measure():
                s._redis_client = client
                return timer()

            return measure

        cases = [
            ("read_kelm_data (1 KB frame)", "s.read_kelm_data('bench:frame')", 500),
            ("read_kelm_data (70 KB frame)", "s.read_kelm_data('bench:big')", 200),
            ("write_kelm_data (direct)", "s.write_kelm_data({'seq': 1, 'payload': 'x' * 1024}, 'bench:w')", 300),
            ("scan_keys (10,000 keys)", "s.scan_keys('bench:scan:*')", 1),
        ]
        for name, stmt, number in cases:
            figures = interleave(
                [("pure Python parser", on(py, stmt, number)), ("hiredis", on(hi, stmt, number))],
                self.rounds(10 if number == 1 else 20),
            )
            self.add(
                group,
                name + " (time)",
                "pure Python parser",
                "hiredis",
                {k: [x / 1000 for x in v] for k, v in figures.items()},
                "us/call",
            )
        figures = interleave(
            [("pure Python parser", self.drain(1500, py)), ("hiredis", self.drain(1500, hi))], self.rounds(8)
        )
        self.add(group, "writer alone, frames/s (hiredis / pure)", "hiredis", "pure Python parser", figures, "frames/s")

    # 5 -----------------------------------------------------------------
    def watch(self):
        from kelm_sdk.redis.watch import Watcher

        group = "5 Watcher vs plain get_message + GET loop"
        count = 1000  # short turns keep each pair close in time on a machine whose speed drifts
        value = orjson.dumps(frame(0))
        pipe = self.admin.pipeline(transaction=False)
        for side in ("w", "p"):
            for i in range(count):
                pipe.set(f"bench:watch:{side}:{i}", value)
        pipe.execute()
        # decode=False: the value as GET returns it, the same work as the plain loop.
        watcher = Watcher(patterns=["bench:watch:w:*"], host=self.host, port=self.port, decode=False, initial=False)
        client = client_with(self.host, self.port)
        plain = client.pubsub()
        plain.psubscribe("bench:watch:p:*_notify")
        while (plain.get_message(timeout=5) or {}).get("type") != "psubscribe":
            pass
        publisher = client_with(self.host, self.port)

        def plain_next(timeout):
            while True:
                message = plain.get_message(timeout=timeout)
                if message is None:
                    return None
                if message["type"] == "pmessage":
                    return message["channel"], client.get(message["channel"][:-7])

        def rate(side, take):
            def measure():
                pipe = publisher.pipeline(transaction=False)
                for i in range(count):
                    pipe.publish(f"bench:watch:{side}:{i}_notify", "1")
                pipe.execute()
                start = time.perf_counter()
                for _ in range(count):
                    if take(5) is None:
                        raise RuntimeError("a notification was not delivered")
                return count / (time.perf_counter() - start)

            return measure

        figures = interleave(
            [("Watcher", rate("w", watcher.get)), ("plain loop", rate("p", plain_next))], self.rounds(30)
        )
        self.add(
            group,
            "notifications delivered/s (queued burst)",
            "Watcher",
            "plain loop",
            figures,
            "deliv/s",
            goal=">= 0.9",
        )

        # One notification per millisecond from another process (a thread would
        # share the GIL with the consumer it times); per round the p50 and p99
        # of the time from PUBLISH to the value in the consumer's hands.
        latencies = {"Watcher": {}, "plain loop": {}}
        sent = 200
        ctx = multiprocessing.get_context("spawn")
        jobs, done, published = ctx.Queue(), ctx.Event(), ctx.Array("q", sent, lock=False)
        helper = ctx.Process(target=publish_paced, args=(self.host, self.port, jobs, done, published), daemon=True)
        helper.start()

        def latency(name, side, take):
            def measure():
                done.clear()
                jobs.put((f"bench:watch:{side}:lat", sent))
                arrived = []
                while True:
                    item = take(5)
                    if item is None:
                        raise RuntimeError("the paced notifications stopped arriving")
                    arrived.append((int(item[1]), time.monotonic_ns()))
                    if arrived[-1][0] == sent - 1:
                        break
                done.wait(10)
                while take(0.05) is not None:  # a late duplicate stays out of the next round
                    pass
                # A value read through an older notification is not timed.
                samples = [(now - published[seq]) / 1000 for seq, now in arrived if now > published[seq] > 0]
                latencies[name].setdefault("p50", []).append(quantile(samples, 0.5))
                latencies[name].setdefault("p99", []).append(quantile(samples, 0.99))
                return 0.0

            return measure

        interleave(
            [("Watcher", latency("Watcher", "w", watcher.get)), ("plain loop", latency("plain loop", "p", plain_next))],
            self.rounds(8),
        )
        for q in ("p50", "p99"):
            figures = {name: latencies[name][q] for name in latencies}
            self.add(group, f"notify-to-delivery latency {q}", "Watcher", "plain loop", figures, "us")
        jobs.put(None)
        helper.join(10)
        watcher.close()
        plain.close()
        for c in (client, publisher):
            c.close()

    # reference ----------------------------------------------------------
    def machine_limit(self):
        limits = {}
        for label, extra in (("SET", ["-t", "set"]), ("PUBLISH", ["PUBLISH", "bench_notify", "1"])):
            cmd = [
                "redis-benchmark",
                "-h",
                self.host,
                "-p",
                str(self.port),
                "-c",
                "1",
                "-P",
                "1",
                "-n",
                str(int(20000 * max(self.scale, 0.25))),
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


def publish_paced(host, port, jobs, done, published):
    """Bench helper process: for each (key, count) job, SET key i, note the
    time, PUBLISH on <key>_notify, one per millisecond; then sets `done`."""
    client = redis.Redis(host=host, port=port)
    for key, count in iter(jobs.get, None):
        for i in range(count):
            published[i] = 0
        for i in range(count):
            client.set(key, i)
            published[i] = time.monotonic_ns()
            client.publish(key + "_notify", "1")
            time.sleep(0.001)
        done.set()
    client.close()


def format_row(row):
    unit = row["unit"]
    met = "" if row.get("met") is None else ("  ok" if row["met"] else "  MISSED")
    kind = "ratio" if row["how"] == "ratio" else "added ns"
    return (
        f"{row['group'][:1]} {row['name']:<50} {row['a_median']:>10.2f} vs {row['b_median']:>10.2f} {unit:<9}"
        f" {kind} {row['median']:>8.3f} [{row['p25']:.3f}..{row['p75']:.3f}]"
        f"  goal {row['goal'] or '-':<7}{met}"
    )


def markdown(result):
    lines = [
        (
            f"Command: `{result['command']}`, {result['date']} "
            f"({result['machine']['cpus']} cores shared with other jobs, load average {result['machine']['load']})."
        ),
        "",
        "| Row | Comparison (A vs B) | A | B | Unit | A/B (or A-B ns), median [quartiles] | Goal | Met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for r in result["rows"]:
        value = (
            f"{r['median']:.3f} [{r['p25']:.3f}..{r['p75']:.3f}]"
            if r["how"] == "ratio"
            else f"{r['median']:+.0f} ns [{r['p25']:+.0f}..{r['p75']:+.0f}]"
        )
        if r["note"]:
            value += f" ({r['note']})"
        met = "" if r.get("met") is None else ("yes" if r["met"] else "**no**")
        lines.append(
            f"| {r['group'].split()[0]} | {r['name']}: {r['a']} vs {r['b']} | {r['a_median']:.2f} | "
            f"{r['b_median']:.2f} | {r['unit']} | {value} | {r['goal'] or ''} | {met} |"
        )
    limits = result["redis_benchmark"]
    lines += [
        "",
        "redis-benchmark -c 1 -P 1 (same run): " + ", ".join(f"{k} {v:,.0f}/s" for k, v in limits.items() if v),
    ]
    if result.get("producer_cost"):
        lines.append(
            "Producer cost of write_kelm_data per call: "
            + "; ".join(
                f"{who} p50 {v['p50_us']:.2f} us, p99 {v['p99_us']:.2f} us"
                for who, v in result["producer_cost"].items()
            )
        )
    return "\n".join(lines) + "\n"


def chart(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = [r for r in result["rows"] if r["how"] == "ratio"]
    diffs = [r for r in result["rows"] if r["how"] != "ratio"]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(16, 9), gridspec_kw={"width_ratios": [3, 2]})
    names = [textwrap.fill(f"{r['group'].split()[0]} {r['name']}", 34) for r in ratios]
    colors = ["tab:gray" if r.get("met") is None else ("tab:green" if r["met"] else "tab:red") for r in ratios]
    values = [r["median"] for r in ratios]
    errs = [[r["median"] - r["p25"] for r in ratios], [r["p75"] - r["median"] for r in ratios]]
    ax1.barh(names, values, xerr=errs, color=colors)
    ax1.set_xscale("log")
    ax1.axvline(1.0, color="black", lw=0.8)
    ax1.invert_yaxis()
    ax1.set_xlabel("ratio A/B (median, quartiles); green met goal, red missed, grey no goal")
    ax1.tick_params(axis="y", labelsize=7)
    dnames = [textwrap.fill(r["name"], 34) for r in diffs]
    ax2.barh(dnames, [r["median"] for r in diffs], color=["tab:blue" if "C++" in n else "tab:orange" for n in dnames])
    ax2.axvline(100, color="red", lw=0.8, ls="--")
    ax2.invert_yaxis()
    ax2.set_xlabel("ns added per call over inline client calls (goal <= 100 for C++)")
    ax2.tick_params(axis="y", labelsize=7)
    fig.suptitle(f"Stashel benchmark, {result['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--rows", default="1,2,3,4,5", help="comma-separated rows to run (default all)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplier for the number of rounds")
    parser.add_argument("--out", default=str(HERE / "results"), help="directory for the results")
    args = parser.parse_args(argv)
    rows = set(args.rows.split(","))

    started = time.monotonic()
    args_text = " ".join(argv if argv is not None else sys.argv[1:])
    make_args = ' ARGS="' + args_text + '"' if args_text else ""
    run_args = " " + args_text if args_text else ""
    result = {
        "command": f"make bench{make_args} (.venv/bin/python bench/run.py{run_args})",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
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
    with PrivateRedis() as server:
        result["machine"]["redis-server"] = redis.Redis(host=server.host, port=server.port).info()["redis_version"]
        bench = Bench(server.host, server.port, args.scale)
        print(
            f"private redis-server {result['machine']['redis-server']} at {server.host}:{server.port}; "
            f"load average {result['machine']['load']}",
            flush=True,
        )
        if "1" in rows:
            bench.overhead()
        if "2" in rows:
            bench.dispatch()
        if "3" in rows:
            bench.pipeline()
        if "4" in rows:
            bench.parsers()
        if "5" in rows:
            bench.watch()
        result["redis_benchmark"] = bench.machine_limit()
    result["rows"] = bench.rows
    result["producer_cost"] = getattr(bench, "producer_cost", None)
    result["seconds"] = round(time.monotonic() - started, 1)

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.json").write_text(json.dumps(result, indent=2) + "\n")
    (out / "latest.md").write_text(markdown(result))
    try:
        chart(result, out / "latest.png")
        saved = "latest.md, latest.png"
    except ImportError:
        saved = "latest.md (no chart: matplotlib is missing; make bench installs it)"
    print(f"\n{markdown(result)}\nsaved {out / 'latest.json'}, {saved} ({result['seconds']} s)")
    missed = [r["name"] for r in bench.rows if r.get("met") is False]
    if missed:
        print("goals missed: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
