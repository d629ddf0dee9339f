"""Row 1: each operation on a direct-mode Stashel against the same commands
written inline with redis-py and orjson on the same client, over loopback
TCP and, for the frame operations, over a Unix socket (a Stashel made from
REDIS_URL alone, bench/run.py)."""

import orjson

from harness import interleave, ns_per_call
from kelm_sdk.redis.stashel import Stashel
from shared import frame, seed


def run(bench):
    over_tcp = Stashel(thread=False, host=bench.host, port=bench.port)
    compare(bench, over_tcp, "")
    over_socket = Stashel(thread=False)
    assert "path" in over_socket._redis_client.connection_pool.connection_kwargs
    compare(bench, over_socket, " over a Unix socket", only=UNIX_CASES)


UNIX_CASES = ("write_data (dict)", "write_kelm_data (direct)", "read_kelm_data", "delete_many (100 keys)")


def compare(bench, s, transport, only=None):
    c = s._redis_client
    seed(c)
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
            "try:\n    " + inline_write.format(v="dumps(d)").replace("\n", "\n    ") + "\nexcept Exception:\n    pass",
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
        if only is not None and name not in only:
            continue
        rounds = bench.rounds(16 if number == 1 else 200)
        figures = interleave(
            [("Stashel", ns_per_call(method, ns, number)), ("inline redis-py", ns_per_call(inline, ns, number))],
            rounds,
        )
        figures = {k: [x / 1000 for x in v] for k, v in figures.items()}
        bench.add(
            "1 overhead vs inline redis-py",
            name + transport,
            "Stashel",
            "inline redis-py",
            figures,
            "us/call",
            goal="<= 1.03",
        )
