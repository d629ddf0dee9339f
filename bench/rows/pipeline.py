"""Row 3: the threaded pipeline. Frames stored per second by the background
writer (counted by the server's SET statistics) against a plain SET + PUBLISH
loop, and the producer's cost of one `write_kelm_data` call: threaded at 1 kHz
against a plain queue.Queue(2) with a writer thread of its own (the floor of
the queue the module is built on), and back to back against direct mode."""

import queue
import threading
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


class PlainQueueWriter:
    """The floor of the queue the module is built on: a queue.Queue(2) whose
    own thread does the same SET and PUBLISH for each frame, with no rule of
    the module's. Its producer's cost is one put_nowait."""

    def __init__(self, client):
        self.client, self.queue = client, queue.Queue(2)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        for f, key in iter(self.queue.get, None):
            if self.client.set(key, orjson.dumps(f), ex=None):
                self.client.publish(key + "_notify", "1")
            self.queue.task_done()

    def write(self, f, key):
        try:
            self.queue.put_nowait((f, key))
        except queue.Full:
            pass  # the floor keeps no frame it has no room for

    def close(self):
        self.queue.put(None)
        self.thread.join(5)


def producer_cost(bench):
    """Producer cost per call: threaded at 1 kHz against the plain queue's
    floor, and back to back (every call takes the drop path) against direct
    mode (SET + PUBLISH)."""
    threaded = Stashel(host=bench.host, port=bench.port)
    direct = Stashel(thread=False, host=bench.host, port=bench.port)
    plain = PlainQueueWriter(client_with(bench.host, bench.port))
    samples = {"threaded": [], "plain queue.Queue(2)": [], "threaded, queue full": [], "direct": []}
    per_round = {f"{who} {q}": [] for who in samples for q in ("p50", "p99")}

    def per_call(write, name, pause, count=200):
        def measure():
            clock, out = time.perf_counter_ns, []
            for n in range(count):
                f = frame(n)
                t0 = clock()
                write(f, "bench:cost")
                out.append(clock() - t0)
                if pause:
                    time.sleep(pause)
            samples[name] += out
            per_round[name + " p99"].append(quantile(out, 0.99) / 1000)
            p50 = quantile(out, 0.5) / 1000
            per_round[name + " p50"].append(p50)
            return p50

        return measure

    figures = interleave(
        [
            ("threaded", per_call(threaded.write_kelm_data, "threaded", 0.001)),
            ("plain queue.Queue(2)", per_call(plain.write, "plain queue.Queue(2)", 0.001)),
            ("threaded, queue full", per_call(threaded.write_kelm_data, "threaded, queue full", 0)),
            ("direct", per_call(direct.write_kelm_data, "direct", 0.001)),
        ],
        bench.rounds(24),  # the rounds' ratios spread by a quarter or more: many, for a steady median
    )
    threaded._shutdown_executor()
    plain.close()
    group = "3 producer cost of write_kelm_data (median per call)"
    for q, goal in (("p50", "<= 1.25"), ("p99", "<= 2")):
        bench.add(
            group,
            f"threaded / plain queue, {q}",
            f"threaded {q}",
            f"plain queue.Queue(2) {q}",
            per_round,
            "us/call",
            goal=goal,
            note="1 kHz, the floor of the queue itself",
        )
    bench.add(
        group,
        "direct / threaded, queue full",
        "direct",
        "threaded, queue full",
        figures,
        "us/call",
        goal=">= 20",
        note="back to back",
    )
    cost = {who: {"p50_us": quantile(v, 0.5) / 1000, "p99_us": quantile(v, 0.99) / 1000} for who, v in samples.items()}
    text = "; ".join(f"{who} p50 {v['p50_us']:.2f} us, p99 {v['p99_us']:.2f} us" for who, v in cost.items())
    print("    producer cost: " + text, flush=True)
    bench.summary("producer_cost", cost, "Producer cost of write_kelm_data per call: " + text)
