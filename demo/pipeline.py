#!/usr/bin/env python3
"""Frame pipeline demo: producer processes write frames with Stashel, a
consumer process follows every `<key>_notify` channel with a Watcher, which
hands it each changed key with its frame decoded.

Counting, in each producer from kelm_sdk.redis.metrics.writer_stats:
  produced       write_kelm_data calls made by the producers.
  stored         frames the server accepted (SET reply true), by the writer
                 or on the producer's thread (--direct, or past the cap of
                 keys waiting behind the queue).
  superseded     frames replaced by a newer frame of their key before the
                 writer reached them. Always 0 with --direct.
  withdrawn      frames a delete took back (the demo deletes nothing).
  discarded      frames still pending when the producer's shutdown gave up.
  write failures refused or failed SETs; produced = stored + superseded +
                 withdrawn + discarded + write failures.
  queue wait     seconds from a frame's acceptance to the writer taking it,
                 p50 and p99 over each producer's last 1,000 frames.
  notifications  "1" messages the consumer's Watcher received on the notify
                 channels.
  deliveries     (key, frame) pairs the Watcher delivered, each read when
                 delivered; a key notified again before its delivery is
                 delivered once (the notification counts as coalesced).
  reconnects     times the Watcher lost its connection and came back, then
                 delivered every key again.
  frames read    distinct frames (producer, seq) among the deliveries; a
                 frame replaced by a newer one before the consumer's GET is
                 never seen and counts as superseded.
  latency        from the producer's write_kelm_data call (a monotonic
                 timestamp inside the frame) to the frame decoded in the
                 consumer, first read of each frame.

Metrics: --metrics-port PORT serves each process's metrics (OpenTelemetry's
Prometheus exporter) on 127.0.0.1 while it runs: producer N on PORT + N, the
consumer on PORT + the number of producers.

Server: --host/--port, REDIS_HOST or REDIS_URL name a configured server,
which must answer (exit 2 otherwise), logged in to as REDIS_URL,
REDIS_USERNAME and REDIS_PASSWORD say (docs/security.md); only this run's
keys are removed afterwards. Without one, a server answering at
localhost:6379 is used, else a private redis-server is started on a free
127.0.0.1 port and stopped at the end.
"""

import argparse
import json
import multiprocessing
import os
import queue
import secrets
import signal
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from redis.backoff import NoBackoff
from redis.retry import Retry

from redis_server import PrivateRedis, pings

# Layout of the shared counter array: one block per producer, then the consumer.
P_PRODUCED, P_STORED = range(2)
P_WIDTH = 2
C_NOTIFIED, C_READ, C_FAILED = range(3)
C_WIDTH = 3

DRAIN_TIMEOUT = 5.0
KEY_TTL = 300  # leftovers expire even if the run is killed


def serve_metrics(port):
    """This process's metrics, for a Prometheus to scrape at 127.0.0.1:port."""
    from opentelemetry.exporter.prometheus import PrometheusMetricReader
    from opentelemetry.sdk.metrics import MeterProvider
    from prometheus_client import start_http_server

    from kelm_sdk.redis import metrics

    start_http_server(port, addr="127.0.0.1")
    metrics.instrument(MeterProvider(metric_readers=[PrometheusMetricReader()]))


def outcome(stats, produced, refused_calls):
    """Every frame's fate: the writer's counts, plus the frames written on the
    producer's thread (produced but not accepted), of which `refused_calls`
    answered False."""
    written_here = produced - stats["accepted"]
    return {
        "stored": stats["stored"] + written_here - refused_calls,
        "superseded": stats["superseded"],
        "withdrawn": stats["withdrawn"],
        "discarded_at_shutdown": stats["discarded"],
        "write_failures": stats["refused"] + stats["failed"] + refused_calls,
        "publish_failures": stats["publish_failed"],
        "pending": stats["pending"],
        "wait_ms": {"p50": round(stats["wait_p50_s"] * 1e3, 3), "p99": round(stats["wait_p99_s"] * 1e3, 3)},
    }


class LogCounter:
    """Keeps the module's log lines out of the progress display; remembers a few."""

    def __init__(self):
        import logging

        self.lines = []
        self.count = 0
        handler = logging.Handler()
        handler.emit = self._emit
        log = logging.getLogger("kelm_sdk.REDIS")
        log.addHandler(handler)
        log.propagate = False

    def _emit(self, record):
        self.count += 1
        if len(self.lines) < 3:
            self.lines.append(record.getMessage())


def producer_main(index, key, cfg, counters, ready, go, stop, results):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from kelm_sdk.redis.metrics import writer_stats
    from kelm_sdk.redis.stashel import Stashel

    logs = LogCounter()
    base = index * P_WIDTH
    if cfg["metrics_port"]:
        serve_metrics(cfg["metrics_port"] + index)
    stashel = Stashel(thread=not cfg["direct"], **server_arguments(cfg["host"], cfg["port"]))
    payload = "x" * cfg["frame_size"]
    period = 1.0 / cfg["rate"] if cfg["rate"] > 0 else 0.0
    ready.set()
    go.wait(30)

    produced = refused_calls = 0
    start = time.monotonic()
    end = start + cfg["duration"]
    shown = start
    while not stop.is_set():
        now = time.monotonic()
        if period:
            due = start + produced * period
            if due >= end:
                break
            if due > now:
                time.sleep(due - now)
        elif now >= end:
            break
        frame = {
            "producer": index,
            "seq": produced,
            "t_ns": time.monotonic_ns(),
            "width": 640,
            "height": 480,
            "payload": payload,
        }
        if stashel.write_kelm_data(frame, key, KEY_TTL) is not True:
            refused_calls += 1
        produced += 1
        counters[base + P_PRODUCED] = produced
        if now - shown > 0.2:
            counters[base + P_STORED] = outcome(writer_stats(stashel), produced, refused_calls)["stored"]
            shown = now
    elapsed = time.monotonic() - start

    # Let the writer finish what is pending so that shutdown discards nothing.
    q = stashel._queue
    if q is not None:
        deadline = time.monotonic() + DRAIN_TIMEOUT
        while q.unfinished_tasks and time.monotonic() < deadline:
            time.sleep(0.005)
    stashel._shutdown_executor()
    if stashel._worker is not None:
        stashel._worker.join(DRAIN_TIMEOUT)  # a write the shutdown stopped waiting for
    fate = outcome(writer_stats(stashel), produced, refused_calls)
    counters[base + P_STORED] = fate["stored"]
    results.put(
        (
            "producer",
            index,
            {"produced": produced, "elapsed": elapsed, **fate, "log_lines": logs.count, "first_logs": logs.lines},
        )
    )


def consumer_main(keys, cfg, counters, ready, stop, results):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from kelm_sdk.redis.watch import Watcher

    logs = LogCounter()
    base = cfg["producers"] * P_WIDTH
    if cfg["metrics_port"]:
        serve_metrics(cfg["metrics_port"] + cfg["producers"])
    # Returns once the server has confirmed the subscriptions: no frame
    # stored from here on goes unannounced.
    watcher = Watcher(keys, host=cfg["host"], port=cfg["port"], initial=False)
    ready.set()

    latencies, seen = [], set()
    while True:
        item = watcher.get(timeout=0.05)
        counters[base + C_NOTIFIED] = watcher.stats()["notifications"]
        if item is None:  # nothing pending: the place to stop
            if stop.is_set():
                break
            continue
        now = time.monotonic_ns()
        frame = item[1]
        if not isinstance(frame, dict):
            counters[base + C_FAILED] += 1
            continue
        ident = (frame["producer"], frame["seq"])
        if ident not in seen:
            seen.add(ident)
            latencies.append(now - frame["t_ns"])
            counters[base + C_READ] = len(seen)
    stats = watcher.stats()
    watcher.close()
    results.put(
        (
            "consumer",
            0,
            {
                "notifications": stats["notifications"],
                "reads": stats["deliveries"],
                "coalesced": stats["coalesced"],
                "reconnects": stats["reconnects"],
                "frames_read": len(seen),
                "latencies_ns": latencies,
                "log_lines": logs.count,
                "first_logs": logs.lines,
                "error": None,
            },
        )
    )


def percentile(sorted_values, q):
    if not sorted_values:
        return None
    rank = max(0, min(len(sorted_values) - 1, round(q / 100.0 * (len(sorted_values) - 1))))
    return sorted_values[rank]


class ServerUnavailable(Exception):
    pass


def server_arguments(host, port):
    """Stashel's host/port arguments; None leaves the choice to the environment."""
    return {name: value for name, value in (("host", host), ("port", port)) if value is not None}


def own_client(host, port):
    """A client with short timeouts to the server Stashel would reach, logged in alike."""
    import redis

    from kelm_sdk.redis.watch._sync import own_client as watcher_client

    return watcher_client(redis, Retry(NoBackoff(), 0), host, port)


def reachable(host, port):
    try:
        client = own_client(host, port)
    except ValueError:  # a REDIS_URL redis-py cannot use
        return False
    return pings(client)


def resolve_server(args):
    """-> (host, port, PrivateRedis or None, configured, shown as). host and
    port None: REDIS_URL's."""
    from kelm_sdk.redis.watch._sync import _SETTINGS

    env_host = os.environ.get("REDIS_HOST")
    configured = args.host is not None or args.port is not None or env_host is not None or _SETTINGS.configured
    host, port = args.host, args.port
    if _SETTINGS.url is None:
        host = host if host is not None else (env_host if env_host is not None else "localhost")
        port = port if port is not None else 6379
    shown = _SETTINGS.describe(host, port)
    if not args.embedded:
        if reachable(host, port):
            return host, port, None, configured, shown
        if configured:
            raise ServerUnavailable(f"no Redis server answers at {shown}")
    try:
        private = PrivateRedis().start()
    except RuntimeError as exc:
        raise ServerUnavailable(str(exc)) from None
    # The private server has no login: the children must not try one.
    for name in ("REDIS_URL", "REDIS_USERNAME", "REDIS_PASSWORD"):
        os.environ.pop(name, None)
    return private.host, private.port, private, False, f"{private.host}:{private.port}"


def run(args, out=sys.stdout, err=sys.stderr):
    host, port, private, configured, shown = resolve_server(args)
    where = "private redis-server" if private else ("configured server" if configured else "local server")
    print(f"demo: {where} at {shown}", file=err)
    run_id = f"{os.getpid()}-{secrets.token_hex(3)}"
    keys = [f"stashel-demo:{run_id}:cam{i}" for i in range(args.producers)]
    cfg = {
        "host": host,
        "port": port,
        "shown": shown,
        "rate": args.rate,
        "duration": args.duration,
        "frame_size": args.frame_size,
        "direct": args.direct,
        "producers": args.producers,
        "metrics_port": args.metrics_port,
    }

    ctx = multiprocessing.get_context("spawn")
    counters = ctx.Array("q", args.producers * P_WIDTH + C_WIDTH, lock=False)
    results = ctx.Queue()
    go, stop_producers, stop_consumer = ctx.Event(), ctx.Event(), ctx.Event()
    consumer_ready = ctx.Event()
    procs = []
    interrupted = False
    try:
        consumer = ctx.Process(
            target=consumer_main,
            name="demo-consumer",
            args=(keys, cfg, counters, consumer_ready, stop_consumer, results),
        )
        consumer.start()
        procs.append(consumer)
        producer_ready = []
        for i, key in enumerate(keys):
            ready = ctx.Event()
            proc = ctx.Process(
                target=producer_main,
                name=f"demo-producer-{i}",
                args=(i, key, cfg, counters, ready, go, stop_producers, results),
            )
            proc.start()
            procs.append(proc)
            producer_ready.append(ready)
        for event in [consumer_ready, *producer_ready]:
            if not event.wait(60):
                raise RuntimeError("a demo process did not start in time")
        go.set()
        interrupted = show_progress(args, counters, procs[1:])
        if interrupted:
            stop_producers.set()
        for proc in procs[1:]:
            proc.join(DRAIN_TIMEOUT + 30)

        def total(slot):
            return sum(counters[i * P_WIDTH + slot] for i in range(args.producers))

        # Notifications still in flight: wait until the consumer has seen one per stored frame.
        cbase = args.producers * P_WIDTH
        deadline = time.monotonic() + 3.0
        while counters[cbase + C_NOTIFIED] < total(P_STORED) and time.monotonic() < deadline:
            time.sleep(0.02)
        stop_consumer.set()
        reports = {}
        deadline = time.monotonic() + 30
        while len(reports) < len(procs) and time.monotonic() < deadline:
            try:
                role, index, report = results.get(timeout=0.5)
            except queue.Empty:
                if not any(p.is_alive() for p in procs):  # a process that died sends nothing
                    break
                continue
            reports[(role, index)] = report
        for proc in procs:
            proc.join(10)
        summary = summarize(args, cfg, counters, reports, private is not None, keys)
        summary["interrupted"] = interrupted
    finally:
        go.set()
        stop_producers.set()
        stop_consumer.set()
        for proc in procs:
            proc.join(5)
            if proc.is_alive():
                proc.terminate()
                proc.join(5)
        cleanup(host, port, keys)
        if private:
            private.stop()

    if args.json:
        print(json.dumps(summary, indent=2), file=out)
    else:
        print_table(summary, out)
    return summary


def show_progress(args, counters, producers):
    """Live bar over the run's duration; returns True when interrupted."""
    from tqdm import tqdm

    cbase = args.producers * P_WIDTH
    start = time.monotonic()
    bar = tqdm(
        total=round(args.duration, 1),
        unit="s",
        file=sys.stderr,
        disable=None,
        bar_format="{l_bar}{bar}| {n:.1f}/{total:.1f}s{postfix}",
    )
    try:
        while any(p.is_alive() for p in producers):
            elapsed = min(time.monotonic() - start, args.duration)
            bar.n = round(elapsed, 1)
            produced = sum(counters[i * P_WIDTH + P_PRODUCED] for i in range(args.producers))
            stored = sum(counters[i * P_WIDTH + P_STORED] for i in range(args.producers))
            bar.set_postfix_str(f"produced={produced} stored={stored} read={counters[cbase + C_READ]}", refresh=False)
            bar.refresh()
            time.sleep(0.2)
    except KeyboardInterrupt:
        return True
    finally:
        bar.close()
    return False


FATES = ("stored", "superseded", "withdrawn", "discarded_at_shutdown", "write_failures", "publish_failures")


def summarize(args, cfg, counters, reports, embedded, keys):
    per_producer = []
    for i in range(args.producers):
        report = reports.get(("producer", i), {})
        per_producer.append(
            {
                "key": keys[i],
                "produced": counters[i * P_WIDTH + P_PRODUCED],
                **{fate: report.get(fate, 0) for fate in FATES},
                "wait_ms": report.get("wait_ms", {"p50": None, "p99": None}),
                "elapsed_s": report.get("elapsed"),
                "log_lines": report.get("log_lines", 0),
                "first_logs": report.get("first_logs", []),
            }
        )
    consumer = reports.get(("consumer", 0), {})
    latencies = sorted(consumer.get("latencies_ns", []))

    def ms(q):
        value = percentile(latencies, q)
        return None if value is None else round(value / 1e6, 3)

    produced = sum(p["produced"] for p in per_producer)
    stored = sum(p["stored"] for p in per_producer)
    frames_read = consumer.get("frames_read", 0)
    elapsed = max([p["elapsed_s"] or 0 for p in per_producer] + [1e-9])
    return {
        "mode": "direct" if args.direct else "threaded",
        "server": {"host": cfg["host"], "port": cfg["port"], "embedded": embedded, "shown": cfg["shown"]},
        "producers": args.producers,
        "rate_per_producer": args.rate,
        "duration_s": args.duration,
        "frame_size": args.frame_size,
        "produced": produced,
        "produced_per_s": round(produced / elapsed, 1),
        **{fate: sum(p[fate] for p in per_producer) for fate in FATES},
        "notifications": consumer.get("notifications", 0),
        "reads": consumer.get("reads", 0),
        "deliveries": consumer.get("reads", 0),
        "coalesced": consumer.get("coalesced", 0),
        "reconnects": consumer.get("reconnects", 0),
        "frames_read": frames_read,
        "superseded_before_read": max(0, stored - frames_read),
        "read_failures": counters[args.producers * P_WIDTH + C_FAILED],
        "latency_ms": {"p50": ms(50), "p95": ms(95), "p99": ms(99)},
        "per_producer": per_producer,
        "consumer_error": consumer.get("error") if consumer else "the consumer sent no report",
        "consumer_log_lines": consumer.get("log_lines", 0),
        "consumer_first_logs": consumer.get("first_logs", []),
    }


def print_table(s, out):
    lat = s["latency_ms"]

    def fmt(v):
        return "-" if v is None else f"{v:.2f} ms"

    rows = [
        (
            "mode",
            (
                f"{s['mode']}, {s['producers']} producers x {s['rate_per_producer'] or 'max'} fps, "
                f"{s['duration_s']} s, {s['frame_size']} B payload"
            ),
        ),
        ("frames produced", f"{s['produced']}  ({s['produced_per_s']}/s)"),
        ("frames stored", s["stored"]),
        ("superseded in the queue", s["superseded"]),
        ("withdrawn by deletes", s["withdrawn"]),
        ("discarded at shutdown", s["discarded_at_shutdown"]),
        ("write failures", s["write_failures"]),
        ("notifications not sent", s["publish_failures"]),
        ("notifications received", s["notifications"]),
        ("deliveries", s["deliveries"]),
        ("coalesced notifications", s["coalesced"]),
        ("consumer reconnects", s["reconnects"]),
        ("frames read", s["frames_read"]),
        ("superseded before read", s["superseded_before_read"]),
        ("read failures", s["read_failures"]),
        ("latency p50 / p95 / p99", f"{fmt(lat['p50'])} / {fmt(lat['p95'])} / {fmt(lat['p99'])}"),
    ]
    for i, p in enumerate(s["per_producer"]):
        wait = p["wait_ms"]
        fates = (
            f"stored {p['stored']}, superseded {p['superseded']}, withdrawn {p['withdrawn']}, "
            f"discarded {p['discarded_at_shutdown']}, failures {p['write_failures']}, "
            f"queue wait p50 / p99 {fmt(wait['p50'])} / {fmt(wait['p99'])}"
        )
        rows.append((f"producer {i}", fates))
    width = max(len(name) for name, _ in rows)
    print("-" * (width + 40), file=out)
    for name, value in rows:
        print(f"{name:<{width}}  {value}", file=out)
    print("-" * (width + 40), file=out)
    for line in [*(entry for p in s["per_producer"] for entry in p["first_logs"]), *s["consumer_first_logs"]]:
        print(f"log: {line}", file=out)


def cleanup(host, port, keys):
    import redis

    client = own_client(host, port)
    try:
        client.delete(*keys)
    except (redis.RedisError, OSError):
        pass
    finally:
        client.close()


def problems(summary):
    found = []
    if summary["frames_read"] == 0:
        found.append("no frame was read back")
    if summary["write_failures"]:
        found.append(f"{summary['write_failures']} writes failed")
    if summary["read_failures"]:
        found.append(f"{summary['read_failures']} reads failed")
    if summary["consumer_error"]:
        found.append(summary["consumer_error"])
    return found


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1] + "\nExit status: 0 healthy run (frames read > 0, "
        "no failed write or read), 1 unhealthy run, 2 server unavailable, 130 interrupted.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--rate", type=float, default=30.0, help="frames per second per producer; 0 = as fast as possible (default 30)"
    )
    parser.add_argument("--duration", type=float, default=10.0, help="seconds of producing (default 10)")
    parser.add_argument("--producers", type=int, default=2, help="producer processes (default 2)")
    parser.add_argument("--frame-size", type=int, default=1024, help="payload characters per frame (default 1024)")
    parser.add_argument(
        "--direct", action="store_true", help="Stashel(thread=False): write on the producer's thread, no queue"
    )
    parser.add_argument("--json", action="store_true", help="print the summary as JSON on stdout")
    parser.add_argument("--host", help="Redis host (default: REDIS_HOST, else localhost)")
    parser.add_argument("--port", type=int, help="Redis port (default 6379)")
    parser.add_argument(
        "--embedded", action="store_true", help="always use a private redis-server, even if one answers"
    )
    parser.add_argument(
        "--metrics-port",
        type=int,
        help="serve each process's metrics for Prometheus on 127.0.0.1, from this port on (see above)",
    )
    args = parser.parse_args(argv)
    if args.producers < 1 or args.duration <= 0 or args.rate < 0 or args.frame_size < 0:
        parser.error("--producers >= 1, --duration > 0, --rate >= 0 and --frame-size >= 0")
    return args


def main(argv=None):
    args = parse_args(argv)
    try:
        summary = run(args)
    except ServerUnavailable as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130
    if summary["interrupted"]:
        print("demo: interrupted", file=sys.stderr)
        return 130
    found = problems(summary)
    if found:
        print("demo: unhealthy run: " + "; ".join(found), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
