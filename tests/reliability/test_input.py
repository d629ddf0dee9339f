"""Property tests over the arguments of all eleven methods: a call that breaks
the call rules raises its exact TypeError and does nothing else; an accepted
call does what the method promises, or raises the error it names."""

import threading

import orjson
import pytest
import redis
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import FakeClient
from kelm_sdk.redis import stashel
from kelm_sdk.redis.stashel import Stashel

ANY, STR, INT, DICT, OPT_DICT, LIST, OPT_INT = "any", "str", "int", "dict", "opt_dict", "list", "opt_int"

# (parameters after self, how many of them have defaults), from the call rules.
METHODS = {
    "__init__": ([("thread", ANY), ("host", STR), ("port", INT), ("workers", INT)], 4),
    "_shutdown_executor": ([], 0),
    "_worker_loop": ([], 0),
    "_write_": ([("data", DICT), ("redis_key", STR), ("ttl", OPT_INT)], 1),
    "write_kelm_data": ([("data", OPT_DICT), ("redis_key", STR), ("ttl", OPT_INT)], 1),
    "delete_data": ([("redis_key", STR)], 0),
    "delete_many": ([("redis_keys", LIST)], 0),
    "scan_keys": ([("pattern", STR)], 0),
    "write_data": ([("redis_key", STR), ("data", ANY), ("ttl", OPT_INT)], 1),
    "read_data": ([("redis_key", STR)], 0),
    "read_kelm_data": ([("redis_key", STR)], 0),
}
EXPECTED_TYPE = {STR: "str", INT: "int", OPT_INT: "int", DICT: "dict", OPT_DICT: "dict", LIST: "list"}
EXACT = {STR: str, INT: int, OPT_INT: int, DICT: dict, OPT_DICT: dict, LIST: list}


def breach(method, args, kwargs):
    """The TypeError message the call rules give for this call, or None."""
    params, ndefaults = METHODS[method]
    names = ["self"] + [p for p, _ in params]
    n = len(names)
    required = n - ndefaults
    given_ = 1 + len(args)

    def count(given):
        expected = required if given < required else n
        bound = "exactly" if required == n else ("at least" if given < required else "at most")
        return f"{method}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"

    if given_ > n:
        return count(given_)
    if not kwargs:
        if given_ < required:
            return count(given_)
    else:
        for i in range(given_, n):
            if names[i] not in kwargs and i < required:
                return count(i)
        for key in kwargs:
            if key not in names:
                return f"{method}() got an unexpected keyword argument '{key}'"
            if names.index(key) < given_:
                return f"{method}() got multiple values for keyword argument '{key}'"
    bound_values = {}
    for i, (name, _) in enumerate(params, start=1):
        if i < given_:
            bound_values[name] = args[i - 1]
        elif name in kwargs:
            bound_values[name] = kwargs[name]
    for name, rule in params:
        if rule == ANY or name not in bound_values:
            continue
        value = bound_values[name]
        if value is None and rule in (OPT_INT, OPT_DICT):
            continue
        if type(value) is not EXACT[rule]:
            return f"Argument '{name}' has incorrect type (expected {EXPECTED_TYPE[rule]}, got {type(value).__name__})"
    return None


def bound_arguments(method, args, kwargs):
    params, _ndefaults = METHODS[method]
    defaults = {"thread": True, "host": "localhost", "port": 6379, "workers": 2, "ttl": None}
    out = {}
    for i, (name, _) in enumerate(params):
        out[name] = args[i] if i < len(args) else kwargs.get(name, defaults.get(name))
    return out


class Text(str):
    pass


class Mapping(dict):
    pass


json_leaf = st.one_of(st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=6))
json_like = st.recursive(
    json_leaf,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=6,
)
frames = st.one_of(
    st.dictionaries(st.text(max_size=6), json_like, max_size=4),
    st.dictionaries(
        st.one_of(st.integers(), st.none(), st.tuples(st.integers())), st.integers(), min_size=1, max_size=2
    ),
)
values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 3),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.text(max_size=8),
    st.binary(max_size=6),
    st.builds(Text, st.text(max_size=4)),
    frames,
    st.builds(Mapping, st.dictionaries(st.text(max_size=3), st.integers(), max_size=2)),
    st.lists(st.text(max_size=4), max_size=3),
    st.tuples(st.text(max_size=3)),
    st.sampled_from(["127.0.0.1", "localhost", ""]),
)


keys = st.text(max_size=8)
VALID = {
    ANY: values,
    STR: keys,
    INT: st.integers(-5, 2**70),
    OPT_INT: st.one_of(st.none(), st.integers(-5, 2**40)),
    DICT: frames,
    OPT_DICT: st.one_of(st.none(), frames),
    LIST: st.lists(st.one_of(keys, st.binary(max_size=3), st.integers()), max_size=4),
}


@st.composite
def calls(draw, method):
    """Mostly well-formed calls, with now and then a value of any type, a
    parameter left out, one positional too many or a stray keyword."""
    params, ndefaults = METHODS[method]
    names = [p for p, _ in params]
    required = len(params) - ndefaults
    chosen = [draw(values if draw(st.integers(0, 9)) == 0 else VALID[rule]) for _, rule in params]
    npos = draw(st.integers(0, len(params)))
    args = chosen[:npos]
    kwargs = {}
    for i in range(npos, len(params)):
        if draw(st.integers(0, 9)) > (0 if i < required else 4):
            kwargs[names[i]] = chosen[i]
    mutation = draw(st.integers(0, 9))
    if mutation == 0:
        args.append(draw(values))
    elif mutation == 1:
        kwargs[draw(st.sampled_from(names + ["self", "key", "extra", "data"]))] = draw(values)
    if method == "__init__" and "host" not in kwargs and len(args) < 2:
        kwargs["host"] = "127.0.0.1"  # never the default host: nothing may leave loopback
    return args, kwargs


class Lines:
    def __init__(self):
        self.lines = []

    def warning(self, message):
        self.lines.append(("WARNING", message))

    def error(self, message):
        self.lines.append(("ERROR", message))


@pytest.fixture
def lines(monkeypatch):
    logger = Lines()
    monkeypatch.setattr(stashel, "logger", logger)
    return logger.lines


def snapshot(instance):
    return {name: (id(value), value) for name, value in vars(instance).items()}, instance._stop_evt.is_set()


def fresh(down):
    instance = Stashel(thread=False, host="127.0.0.1", port=1)
    client = FakeClient()
    if down:
        client.raises = {
            name: redis.ConnectionError("down") for name in ("set", "get", "delete", "publish", "scan_iter")
        }
    instance._redis_client = client
    return instance, client


def encoded(data):
    try:
        return orjson.dumps(data), None
    except TypeError as exc:
        return None, exc


def expect_accepted(method, instance, client, a, down, lines, outcome, raised):
    """What the method promises for the bound arguments `a`."""

    def set_call(key, value):
        return ("set", (key, value), {"ex": a.get("ttl")})

    def ok_or(error_type):
        assert isinstance(raised, error_type), (method, a, raised, outcome)

    if method in ("_write_", "write_kelm_data") and not (method == "write_kelm_data" and a["data"] is None):
        value, encoder_error = encoded(a["data"])
        if encoder_error is not None:
            ok_or(TypeError)
            assert str(raised) == str(encoder_error) and client.calls == [] and lines == []
            return
        assert raised is None
        key = a["redis_key"]
        assert client.calls[0] == set_call(key, value)
        if down:
            assert outcome is False and client.names() == ["set"]
            assert lines == [("ERROR", f"Failed to write data to redis`{key}` - down")]
        else:
            assert outcome is True and client.calls[1] == ("publish", (key + "_notify", "1"), {})
            assert len(client.calls) == 2 and lines == []
    elif method == "write_kelm_data" or method == "delete_data":
        assert client.calls == [("delete", (a["redis_key"],), {})] and lines == []
        if down:
            ok_or(redis.ConnectionError)
        else:
            assert raised is None and outcome is True
    elif method == "write_data":
        data = a["data"]
        value, encoder_error = encoded(data) if isinstance(data, dict) else (data, None)
        if encoder_error is not None:
            ok_or(TypeError)
            assert client.calls == []
            return
        assert client.calls[0] == set_call(a["redis_key"], value) and lines == []
        if down:
            ok_or(redis.ConnectionError)
            assert client.names() == ["set"]
        else:
            assert raised is None and outcome is True and client.names() == ["set", "publish"]
    elif method in ("read_data", "read_kelm_data"):
        assert client.calls == [("get", (a["redis_key"],), {})]
        if down and method == "read_data":
            ok_or(redis.ConnectionError)
        else:
            assert raised is None and outcome is None
            expected = [("WARNING", f"Failed to get redis frame from {a['redis_key']} - down")]
            assert lines == (expected if down else [])
    elif method == "delete_many":
        keys = a["redis_keys"]
        if not keys:
            assert raised is None and outcome == 0 and client.calls == []
            return
        assert client.calls == [("delete", tuple(keys), {})]
        if down:
            ok_or(redis.ConnectionError)
        else:
            assert raised is None and outcome == 1
    elif method == "scan_keys":
        assert client.calls == [("scan_iter", (), {"match": a["pattern"]})]
        if down:
            ok_or(redis.ConnectionError)
        else:
            assert raised is None and outcome == []
    elif method in ("_shutdown_executor", "_worker_loop"):
        assert raised is None and outcome is None and client.calls == [] and lines == []
        if method == "_shutdown_executor":
            assert instance._use_thread is False and instance._queue is None and instance._stop_evt.is_set()
    else:
        raise AssertionError(method)


def check_call(method, call, down, lines):
    args, kwargs = call
    message = breach(method, args, kwargs)
    del lines[:]
    if method == "__init__":
        check_construction(args, kwargs, message)
        return
    instance, client = fresh(down)
    if method == "_worker_loop" and message is None:
        instance._stop_evt.set()  # otherwise it would wait for frames forever
    before = snapshot(instance)
    outcome = raised = None
    try:
        outcome = getattr(instance, method)(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - compared below
        raised = exc
    if message is not None:
        assert type(raised) is TypeError and str(raised) == message, (method, args, kwargs, raised)
        assert client.calls == [] and lines == []
        assert snapshot(instance) == before
        return
    assert not (type(raised) is TypeError and str(raised).startswith(("Argument '", method + "()"))), raised
    expect_accepted(method, instance, client, bound_arguments(method, args, kwargs), down, lines, outcome, raised)


def check_construction(args, kwargs, message):
    writers = {t for t in threading.enumerate() if t.name == "StashelWorker"}
    try:
        instance = Stashel(*args, **kwargs)
    except TypeError as exc:
        assert message is not None and str(exc) == message, (args, kwargs, exc)
        assert {t for t in threading.enumerate() if t.name == "StashelWorker"} == writers
        return
    assert message is None, (args, kwargs, message)
    a = bound_arguments("__init__", args, kwargs)
    try:
        assert instance._use_thread is a["thread"]
        pool = instance._redis_client.connection_pool
        assert pool.max_connections == max(10, 5 * a["workers"])
        assert pool.connection_kwargs["host"] == a["host"] and pool.connection_kwargs["port"] == a["port"]
        if a["thread"]:
            assert instance._queue.maxsize == max(1, a["workers"]) and instance._worker.is_alive()
        else:
            assert instance._queue is None and instance._worker is None
    finally:
        if instance._queue is not None:
            # Wake the writer at once instead of after its 0.2 s wait.
            instance._redis_client = FakeClient()
            instance._stop_evt.set()
            instance._queue.put_nowait(({}, "k", None))
        instance._shutdown_executor()


FAST = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
LONG = settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize("method", list(METHODS))
@FAST
@given(data=st.data(), down=st.booleans())
def test_call_rules_and_outcomes(method, data, down, lines):
    check_call(method, data.draw(calls(method)), down, lines)


@pytest.mark.stress
@pytest.mark.parametrize("method", list(METHODS))
@LONG
@given(data=st.data(), down=st.booleans())
def test_call_rules_and_outcomes_long(method, data, down, lines):
    check_call(method, data.draw(calls(method)), down, lines)


def test_reference_rules_match_known_messages():
    """The reference above, checked against messages the rules spell out."""
    assert breach("read_data", (), {}) == "read_data() takes exactly 2 positional arguments (1 given)"
    assert breach("write_data", ("k",), {}) == "write_data() takes at least 3 positional arguments (2 given)"
    assert breach("write_data", (1, 2, 3, 4, 5), {}) == "write_data() takes at most 4 positional arguments (6 given)"
    assert breach("_write_", (None, "k"), {}) == "Argument 'data' has incorrect type (expected dict, got NoneType)"
    assert breach("write_kelm_data", (None, "k"), {}) is None
    assert breach("delete_many", ((),), {}) == "Argument 'redis_keys' has incorrect type (expected list, got tuple)"
    assert breach("__init__", (True, "h", True), {}) == "Argument 'port' has incorrect type (expected int, got bool)"
