"""The methods under the standard tools that handle functions: weak
references, pickle and copy, mock's autospec, profilers and the debugger; and
what stays safe when the garbage collector clears a compiled method."""

import copy
import cProfile
import io
import pdb  # noqa: T100 - the debugger is under test
import pickle
import pstats
import subprocess
import sys
import textwrap
import warnings
import weakref
from unittest import mock

import pytest
from line_profiler import LineProfiler

from kelm_sdk.redis.stashel import Stashel


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, check=False
    )


def test_weak_references_pickle_and_copy_treat_methods_as_functions(fake):
    method = Stashel.read_data
    assert weakref.ref(method)() is method
    bound = weakref.WeakMethod(fake.write_kelm_data)
    assert bound() == fake.write_kelm_data
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(method, protocol)) is method
    assert copy.copy(method) is method and copy.deepcopy(method) is method


def test_autospec_enforces_each_signature(fake):
    spec = mock.create_autospec(Stashel, instance=True)
    with pytest.raises(TypeError, match="redis_key"):
        spec.read_data()
    spec.write_kelm_data({"a": 1}, "k", ttl=5)
    assert spec.write_kelm_data.call_args == mock.call({"a": 1}, "k", ttl=5)

    with mock.patch.object(Stashel, "read_data", autospec=True) as read_data:
        fake.read_data("k")
        with pytest.raises(TypeError):
            fake.read_data()
    assert read_data.call_args_list == [mock.call(fake, "k")]
    assert fake._redis_client.calls == []


def test_profilers_and_the_debugger_see_each_method(fake):
    profiler = LineProfiler()
    with warnings.catch_warnings():  # it suggests __wrapped__, which only carries the signature
        warnings.simplefilter("ignore")
        profiler.add_function(Stashel.read_data)
    profiler.runcall(fake.read_data, "k")
    timings = profiler.get_stats().timings  # keyed by qualified name on 3.11+
    assert [n for (_, _, name), lines in timings.items() if name.endswith("read_data") for _, n, _ in lines] == [1]

    profile = cProfile.Profile()
    profile.runcall(lambda: (fake.read_data("k"), fake.delete_data("k"), Stashel.read_data(fake, "k")))
    # read_kelm_data reaches the class's own read_data without its Python function.
    profile.runcall(fake.read_kelm_data, "k")
    calls = {name: stat[1] for (_, _, name), stat in pstats.Stats(profile).stats.items()}
    assert calls["read_data"] == 2 and calls["delete_data"] == 1 and calls["read_kelm_data"] == 1

    out = io.StringIO()
    debugger = pdb.Pdb(stdin=io.StringIO("b Stashel.read_data\nc\np args[1:]\nc\n"), stdout=out, nosigint=True)
    debugger.runcall(lambda: (fake.delete_data("k"), fake.read_data("key")))
    assert "('key',)" in out.getvalue()


def test_a_compiled_method_cleared_by_the_collector_fails_cleanly():
    result = run_python("""
        import ctypes
        from kelm_sdk.redis.stashel import Stashel
        compiled = Stashel.read_data.__closure__[0].cell_contents
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(compiled), 51))  # Py_tp_clear
        clear(compiled)
        try:
            Stashel(thread=False).read_data("k")
        except RuntimeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "read_data() called after the garbage collector cleared it\n"


def test_other_interpreters_get_a_clean_import_error():
    result = run_python("""
        import sys
        try:
            import _interpreters as interpreters
            configs = ["isolated", "legacy"]
        except ImportError:
            import _xxsubinterpreters as interpreters
            configs = [{}, {"isolated": False}] if sys.version_info >= (3, 12) else [{}]
        import kelm_sdk.redis.stashel
        for config in configs:
            interp = interpreters.create(**config) if isinstance(config, dict) else interpreters.create(config)
            interpreters.run_string(interp, "try:\\n import kelm_sdk.redis.stashel\\n"
                                            "except ImportError as e:\\n print(e)")
            interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines and all("does not support loading in subinterpreters" in line for line in lines), lines
