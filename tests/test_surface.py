"""How the module and the class present themselves to Python callers: the
module namespace, the class namespace, function-like methods and the call
rules every method applies before its body runs."""

import inspect
import os
import pydoc
import subprocess
import sys
import types
import typing

import pytest

from kelm_sdk.redis import stashel
from kelm_sdk.redis.stashel import Stashel

METHODS = [
    "__init__",
    "_shutdown_executor",
    "_worker_loop",
    "_write_",
    "write_kelm_data",
    "delete_data",
    "delete_many",
    "scan_keys",
    "write_data",
    "read_data",
    "read_kelm_data",
]

SIGNATURES = {
    "__init__": "(self, thread: 'bool' = True, host: 'str' = {host!r}, port: 'int' = 6379, workers: 'int' = 2)",
    "_shutdown_executor": "(self)",
    "_worker_loop": "(self)",
    "_write_": "(self, data: 'dict', redis_key: 'str', ttl: 'Optional[int]' = None) -> 'bool'",
    "write_kelm_data": "(self, data: 'Optional[dict]', redis_key: 'str', ttl: 'Optional[int]' = None) -> 'bool'",
    "delete_data": "(self, redis_key: 'str') -> 'bool'",
    "delete_many": "(self, redis_keys: 'list') -> 'int'",
    "scan_keys": "(self, pattern: 'str') -> 'list'",
    "write_data": "(self, redis_key: 'str', data: 'Union[str, dict]', ttl: 'Optional[int]' = None) -> 'bool'",
    "read_data": "(self, redis_key: 'str') -> 'Any'",
    "read_kelm_data": "(self, redis_key: 'str')",
}


def run_python(code, env=None, timeout=60):
    full_env = dict(os.environ)
    full_env.pop("REDIS_HOST", None)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=timeout, check=False
    )


def test_module_namespace_in_load_order():
    names = [n for n in vars(stashel) if not n.startswith("__")]
    assert names == [
        "orjson",
        "os",
        "threading",
        "atexit",
        "queue",
        "Any",
        "Optional",
        "Union",
        "redis",
        "ThreadPoolExecutor",
        "get_logger",
        "logger",
        "Stashel",
    ]
    import concurrent.futures
    import queue
    import typing

    import orjson
    import redis

    assert stashel.redis is redis and stashel.orjson is orjson and stashel.queue is queue
    assert stashel.Optional is typing.Optional
    assert stashel.ThreadPoolExecutor is concurrent.futures.ThreadPoolExecutor
    assert stashel.logger is stashel.get_logger("REDIS")


def test_class_namespace_and_docstring():
    assert Stashel.__bases__ == (object,)
    assert Stashel.__module__ == "kelm_sdk.redis.stashel" and Stashel.__qualname__ == "Stashel"
    own = [n for n in vars(Stashel) if n not in ("__dict__", "__weakref__")]
    assert own == ["__module__", "__doc__"] + METHODS
    assert Stashel.__doc__ == (
        "Represents a redis client specified for the containers.\n\n    Args:\n"
        "        thread(bool): Use threading or not\n        host(str): Redis server host\n"
        "        port(int): Redis server port\n    "
    )


def test_methods_look_like_python_functions():
    host = Stashel.__init__.__defaults__[1]
    for name in METHODS:
        method = vars(Stashel)[name]
        assert method.__name__ == name
        assert method.__qualname__ == f"Stashel.{name}"
        assert method.__module__ == "kelm_sdk.redis.stashel"
        assert str(inspect.signature(method)) == SIGNATURES[name].format(host=host)
        assert type(method) is types.FunctionType
        assert getattr(Stashel, name) is method  # unbound access gives the function itself
        assert repr(method).startswith(f"<function Stashel.{name} at 0x")
    assert Stashel._write_.__annotations__ == {
        "data": "dict",
        "redis_key": "str",
        "ttl": "Optional[int]",
        "return": "bool",
    }
    assert Stashel.__init__.__annotations__ == {"thread": "bool", "host": "str", "port": "int", "workers": "int"}
    assert Stashel.read_kelm_data.__annotations__ == {"redis_key": "str"}
    assert Stashel._write_.__defaults__ == (None,) and Stashel.read_data.__defaults__ is None
    assert Stashel.__init__.__doc__ is None and Stashel._worker_loop.__doc__ is None
    assert str(inspect.signature(Stashel)) == SIGNATURES["__init__"].format(host=host).replace("self, ", "")
    typed = inspect.signature(Stashel.write_data, eval_str=True)  # resolved in the module's namespace
    assert typed.parameters["data"].annotation == stashel.Union[str, dict] and typed.return_annotation is bool
    assert typing.get_type_hints(Stashel._write_)["ttl"] == stashel.Optional[int]

    instance = Stashel(thread=False)
    bound = instance.read_data
    assert bound.__self__ is instance and bound.__func__ is Stashel.read_data
    assert str(inspect.signature(bound)) == "(redis_key: 'str') -> 'Any'"
    Stashel.read_data.note = "function attributes work"
    assert vars(Stashel.read_data)["note"] == "function attributes work"
    del Stashel.read_data.note


def test_docstrings_exact():
    assert Stashel._write_.__doc__ == (
        "\n        Internal function that is executed in background thread\n        Args:\n            data,\n"
        "            redis_key:\n        Returns:\n\n        "
    )
    assert Stashel.write_kelm_data.__doc__ == (
        "\n        Write video frame to the target redis key. If data is None, deletes the key.\n        Args:\n"
        "                data: Data dict to write, or None to delete the key.\n"
        "                redis_key(str): Target redis key.\n"
        "                ttl(int): Optional time-to-live in seconds.\n        "
    )
    assert Stashel.write_data.__doc__ == (
        "Write data to the target redis location\n\n        Args:\n            redis_key(str): Target redis key.\n"
        "            data(str): Data to be written.\n        "
    )
    assert Stashel.delete_many.__doc__ == (
        "Delete multiple keys in a single Redis command.\n\n        Args:\n"
        "            redis_keys(list): List of Redis keys to delete.\n\n        Returns:\n"
        "            int: Number of keys that were deleted.\n        "
    )
    assert Stashel.scan_keys.__doc__.startswith(
        "Return all existing keys matching a glob pattern using SCAN (non-blocking).\n\n        Args:\n"
        "            pattern(str): Redis glob pattern, e.g. ``'redis_<node_id>_*'``."
    )
    for name, first in [
        ("delete_data", "Delete data from the target redis location"),
        ("read_data", "Read data from the target redis location"),
        ("read_kelm_data", "Read video frame from a given redis key"),
    ]:
        assert getattr(Stashel, name).__doc__ == (
            f"{first}\n\n        Args:\n            redis_key(str): Target redis key.\n        "
        )


def test_help_shows_signatures_and_docs():
    rendered = pydoc.render_doc(Stashel, renderer=pydoc.plaintext)

    # pydoc versions differ in line wrapping, margins and whether string
    # annotations keep their quotes; none of that is compared.
    def packed(text):
        return "".join(ch for ch in text if not ch.isspace() and ch not in "|'\"")

    shown = packed(rendered)
    assert packed(Stashel.__doc__) in shown
    for name in METHODS:
        method = vars(Stashel)[name]
        if name.startswith("_") and name != "__init__":
            continue  # pydoc leaves private names out
        assert packed(name + str(inspect.signature(method))) in shown, name
        assert packed(method.__doc__ or "") in shown, name
    assert (
        packed("write_kelm_data(self, data: Optional[dict], redis_key: str, ttl: Optional[int] = None) -> bool")
        in shown
    )


# ---------------------------------------------------------------- call rules

COUNT_ERRORS = [
    (lambda s: Stashel(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda s: Stashel.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda s: s._write_({}), "_write_() takes at least 3 positional arguments (2 given)"),
    (lambda s: s._write_(redis_key="k"), "_write_() takes at least 3 positional arguments (1 given)"),
    (lambda s: s._write_({}, "k", None, 1), "_write_() takes at most 4 positional arguments (5 given)"),
    (lambda s: s._shutdown_executor(1), "_shutdown_executor() takes exactly 1 positional argument (2 given)"),
    (lambda s: Stashel._worker_loop(), "_worker_loop() takes exactly 1 positional argument (0 given)"),
    (lambda s: s.read_data(), "read_data() takes exactly 2 positional arguments (1 given)"),
    (lambda s: Stashel.read_data(redis_key="k"), "read_data() takes exactly 2 positional arguments (0 given)"),
    (lambda s: s.write_data("k"), "write_data() takes at least 3 positional arguments (2 given)"),
    (lambda s: s.write_data("k", "v", 1, 2, 3), "write_data() takes at most 4 positional arguments (6 given)"),
    (lambda s: s.write_kelm_data(ttl=1), "write_kelm_data() takes at least 3 positional arguments (1 given)"),
    (lambda s: s.delete_many(), "delete_many() takes exactly 2 positional arguments (1 given)"),
    (lambda s: s.scan_keys("a", "b"), "scan_keys() takes exactly 2 positional arguments (3 given)"),
    (lambda s: s._write_({}, "k", None, x=1), "_write_() got an unexpected keyword argument 'x'"),
    (lambda s: s._write_({}, "k", redis_key="k"), "_write_() got multiple values for keyword argument 'redis_key'"),
    (lambda s: s.read_kelm_data("k", key="k"), "read_kelm_data() got an unexpected keyword argument 'key'"),
    (lambda s: Stashel(thread=False, bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
]


class StrSub(str):
    pass


class DictSub(dict):
    pass


TYPE_ERRORS = [
    (lambda s: Stashel(port="1"), "port", "int", "str"),
    (lambda s: Stashel(port=True), "port", "int", "bool"),
    (lambda s: Stashel(workers=True), "workers", "int", "bool"),
    (lambda s: Stashel(host=None), "host", "str", "NoneType"),
    (lambda s: Stashel(host=StrSub("h")), "host", "str", "StrSub"),
    (lambda s: Stashel(host=1, port="x"), "host", "str", "int"),  # the first breach is the one reported
    (lambda s: s._write_(None, "k"), "data", "dict", "NoneType"),
    (lambda s: s._write_(DictSub(), "k"), "data", "dict", "DictSub"),
    (lambda s: s._write_({}, b"k"), "redis_key", "str", "bytes"),
    (lambda s: s._write_({}, "k", 1.5), "ttl", "int", "float"),
    (lambda s: s.write_kelm_data({}, "k", True), "ttl", "int", "bool"),
    (lambda s: s.write_kelm_data([], "k"), "data", "dict", "list"),
    (lambda s: s.write_data(StrSub("k"), "v"), "redis_key", "str", "StrSub"),
    (lambda s: s.write_data("k", "v", True), "ttl", "int", "bool"),
    (lambda s: s.delete_data(None), "redis_key", "str", "NoneType"),
    (lambda s: s.delete_many(("a",)), "redis_keys", "list", "tuple"),
    (lambda s: s.delete_many(None), "redis_keys", "list", "NoneType"),
    (lambda s: s.scan_keys(b"*"), "pattern", "str", "bytes"),
    (lambda s: s.read_data(None), "redis_key", "str", "NoneType"),
    (lambda s: s.read_kelm_data(b"k"), "redis_key", "str", "bytes"),
]


def snapshot(instance):
    return dict(vars(instance))


@pytest.mark.parametrize("call, message", COUNT_ERRORS)
def test_argument_count_and_keyword_errors(fake, call, message):
    before = snapshot(fake)
    with pytest.raises(TypeError) as info:
        call(fake)
    assert str(info.value) == message
    assert fake._redis_client.calls == [] and snapshot(fake) == before


@pytest.mark.parametrize("call, param, expected, got", TYPE_ERRORS)
def test_argument_type_errors(fake, call, param, expected, got):
    before = snapshot(fake)
    with pytest.raises(TypeError) as info:
        call(fake)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert fake._redis_client.calls == [] and snapshot(fake) == before


def test_accepted_argument_forms(fake):
    """Every parameter binds by position or keyword; None passes where allowed."""
    fake._redis_client.replies["get"] = b"[1]"
    assert fake.read_kelm_data(redis_key="k") == [1]
    assert fake.write_kelm_data(redis_key="k", data={"a": 1}, ttl=None) is True
    assert fake.write_data("k", None) is True  # write_data does not examine data
    assert Stashel.delete_data(fake, "k") is True
    assert fake._redis_client.names() == ["get", "set", "publish", "set", "publish", "delete"]


# ---------------------------------------------------------------- module load


def test_redis_host_is_read_once_at_load():
    code = (
        "import os; from kelm_sdk.redis.stashel import Stashel; os.environ['REDIS_HOST']='later'; "
        "s = Stashel(thread=False); print(Stashel.__init__.__defaults__[1]); "
        "print(s._redis_client.connection_pool.connection_kwargs['host'])"
    )
    assert run_python(code).stdout.split() == ["localhost", "localhost"]
    assert run_python(code, {"REDIS_HOST": "cache.internal"}).stdout.split() == ["cache.internal"] * 2
    empty = run_python(code.replace("print(s.", "print(repr(s.").replace("['host'])", "['host']))"), {"REDIS_HOST": ""})
    assert empty.stdout.splitlines() == ["", "''"]


def test_reinitialisation_is_refused_and_reload_is_harmless():
    code = """
import importlib, sys
import kelm_sdk.redis.stashel as first
cls = first.Stashel
assert importlib.reload(first) is first and first.Stashel is cls
del sys.modules['kelm_sdk.redis.stashel']
try:
    import kelm_sdk.redis.stashel
except RuntimeError as e:
    print(e)
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("Module 'stashel' has already been imported. Re-initialisation is not supported.")


def test_failed_load_reaches_the_importer_and_defines_nothing():
    code = """
import sys
sys.modules['orjson'] = None
try:
    import kelm_sdk.redis.stashel
except ImportError as e:
    print('ImportError', 'kelm_sdk.redis.stashel' in sys.modules)
del sys.modules['orjson']
from kelm_sdk.redis.stashel import Stashel  # a later, successful load still works
print(Stashel.__name__)
"""
    result = run_python(code)
    assert result.stdout.split() == ["ImportError", "False", "Stashel"], result.stderr


def test_type_stub_ships_with_the_module_and_declares_every_method():
    """stubtest (make typecheck) compares the stub's signatures with the
    module's; it does not report private methods that the stub leaves out."""
    import ast
    import pathlib

    stub_path = pathlib.Path(stashel.__file__).with_name("stashel.pyi")
    assert stub_path.with_name("py.typed").exists()
    tree = ast.parse(stub_path.read_text())
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Stashel"]
    assert [f.name for f in cls.body if isinstance(f, ast.FunctionDef)] == METHODS
