"""Row 2: the cost of dispatch, with a do-nothing client in `_redis_client`
(no network): ns per call of each method over the same client calls written
inline, next to the same method in plain Python; and the cost of the Python
function in front of each compiled method."""

import orjson

from harness import interleave, ns_per_call
from kelm_sdk.redis.stashel import Stashel
from pystashel import NullClient, PyStashel

GROUP = "2 dispatch, do-nothing client (ns added per call)"


def run(bench):
    null = NullClient()
    s = Stashel(thread=False, host=bench.host, port=bench.port)
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
            bench.rounds(150),
        )
        bench.add(GROUP, name + ": C++", "C++ method", "inline calls", figures, "ns/call", how="diff", goal="<= 100")
        bench.add(GROUP, name + ": Python (reference)", "Python method", "inline calls", figures, "ns/call", how="diff")
    # Each method is a Python function whose one line hands its arguments
    # to the compiled method: the cost of that frame, by position and by keyword.
    ns["m"] = vars(Stashel)["read_data"].__closure__[0].cell_contents
    for name, call, direct in [
        ("read_data, by position", "s.read_data(k)", "m(s, k)"),
        ("read_data, by keyword", "s.read_data(redis_key=k)", "m(s, redis_key=k)"),
    ]:
        figures = interleave(
            [("method", ns_per_call(call, ns, 2_000)), ("compiled method", ns_per_call(direct, ns, 2_000))],
            bench.rounds(150),
        )
        bench.add(GROUP, name + ": the function's frame", "method", "compiled method", figures, "ns/call", how="diff")
