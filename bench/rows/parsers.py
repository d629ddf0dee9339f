"""Row 4: the same operations with redis-py's pure-Python RESP parser against
hiredis, each passed as `parser_class` to a pool whose client is swapped into
`_redis_client`."""

from redis._parsers import _HiredisParser, _RESP2Parser

from harness import interleave, ns_per_call
from kelm_sdk.redis.stashel import Stashel
from shared import client_with, drain, seed


def run(bench):
    group = "4 parser: pure Python / hiredis"
    hi = client_with(bench.host, bench.port, _HiredisParser)
    py = client_with(bench.host, bench.port, _RESP2Parser)
    s = Stashel(thread=False, host=bench.host, port=bench.port)
    seed(s._redis_client)
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
            bench.rounds(10 if number == 1 else 20),
        )
        bench.add(
            group,
            name + " (time)",
            "pure Python parser",
            "hiredis",
            {k: [x / 1000 for x in v] for k, v in figures.items()},
            "us/call",
        )
    figures = interleave(
        [("pure Python parser", drain(bench, 1500, py)), ("hiredis", drain(bench, 1500, hi))], bench.rounds(8)
    )
    bench.add(group, "writer alone, frames/s (hiredis / pure)", "hiredis", "pure Python parser", figures, "frames/s")
