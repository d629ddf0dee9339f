"""Row 3: the threaded pipeline. Frames stored per second by the background
writer (counted by the server's SET statistics) against a plain SET + PUBLISH
loop, and the producer's cost of one `write_kelm_data` call, threaded against
direct."""

import time

import orjson

from harness import interleave, quantile
from kelm_sdk.redis.stashel import Stashel
from shared import client_with, drain, frame, stored_rate


def plain_loop(client, count):
    def measure():
        frames = [frame(n) for n in range(count)]
        start = time.perf_counter()
        for f in frames:
            if client.set("bench:pipe", orjson.dumps(f), ex=None):
                client.publish("bench:pipe_notify", "1")
        return count / (time.perf_counter() - start)

    return measure


def offered(bench, seconds, yield_gil):
    """Producer thread writing frames for `seconds` as fast as it can;
    figure: frames the writer stored per second."""

    def measure():
        s = Stashel(host=bench.host, port=bench.port)
        before, start = bench.set_calls(), time.perf_counter()
        end, n = start + seconds, 0
        while time.perf_counter() < end:
            s.write_kelm_data(frame(n), "bench:pipe")
            n += 1
            if yield_gil:
                time.sleep(0)
        return stored_rate(bench, s, before, start, 5)

    return measure


def run(bench):
    group = "3 threaded pipeline (frames stored/s)"
    plain = plain_loop(client_with(bench.host, bench.port), 300)
    figures = interleave(
        [("writer draining queue", drain(bench, 300)), ("plain SET+PUBLISH loop", plain)], bench.rounds(80)
    )
    bench.add(
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
            ("writer, producer tight loop", offered(bench, 0.4, False)),
            ("writer, producer yields GIL", offered(bench, 0.4, True)),
            ("plain SET+PUBLISH loop", plain_loop(client_with(bench.host, bench.port), 1500)),
        ],
        bench.rounds(8),
    )
    bench.add(
        group,
        "producer offering in a tight loop",
        "writer, producer tight loop",
        "plain SET+PUBLISH loop",
        figures,
        "frames/s",
        goal=">= 0.95",
        note="the producer holds the GIL, see docs/performance.md",
    )
    bench.add(
        group,
        "producer offering, sleep(0) between frames",
        "writer, producer yields GIL",
        "plain SET+PUBLISH loop",
        figures,
        "frames/s",
        goal=">= 0.95",
    )
    producer_cost(bench)


def producer_cost(bench):
    """Producer cost per call, threaded (queue) against direct (SET + PUBLISH)."""
    threaded = Stashel(host=bench.host, port=bench.port)
    direct = Stashel(thread=False, host=bench.host, port=bench.port)
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
        bench.rounds(12),
    )
    threaded._shutdown_executor()
    group = "3 producer cost of write_kelm_data (median per call)"
    for name, note in (("threaded", "1 kHz, room in the queue"), ("threaded, queue full", "back to back")):
        row = bench.add(group, f"direct / {name}", "direct", name, figures, "us/call", goal=">= 20", note=note)
        for who in (name, "direct"):
            row[who + " p50_us"] = quantile(samples[who], 0.5) / 1000
            row[who + " p99_us"] = quantile(samples[who], 0.99) / 1000
    cost = {who: {"p50_us": quantile(v, 0.5) / 1000, "p99_us": quantile(v, 0.99) / 1000} for who, v in samples.items()}
    text = "; ".join(f"{who} p50 {v['p50_us']:.2f} us, p99 {v['p99_us']:.2f} us" for who, v in cost.items())
    print("    producer cost: " + text, flush=True)
    bench.summary("producer_cost", cost, "Producer cost of write_kelm_data per call: " + text)
